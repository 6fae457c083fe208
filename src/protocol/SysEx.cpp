#include "SysEx.h"

namespace Tarsyn {

int packSevenBit(const std::uint8_t *data, int dataLength, std::uint8_t *wire)
{
    int w = 0;
    for (int i = 0; i + 4 <= dataLength; i += 4) {
        std::uint8_t flags = 0;
        for (int k = 0; k < 4; ++k) {
            wire[w++] = data[i + k] & 0x7F;
            if (data[i + k] & 0x80)
                flags |= std::uint8_t(1u << k);
        }
        wire[w++] = flags;
    }
    return w;
}

int unpackSevenBit(int wireLength, const std::uint8_t *wire, std::uint8_t *out)
{
    int n = 0;
    for (int offset = 0; offset < wireLength; offset += 5) {
        const std::uint8_t flags = offset + 4 < wireLength ? wire[offset + 4] : 0;
        for (int k = 0; k < 4; ++k) {
            std::uint8_t b = offset + k < wireLength ? wire[offset + k] : 0;
            if (flags & (1u << k))
                b |= 0x80;
            out[n++] = b;
        }
    }
    return n;
}

} // namespace Tarsyn

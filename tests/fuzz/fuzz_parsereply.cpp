// libFuzzer target: the decoding of messages from the unit (DeviceLink::parseReply) and the
// 7-bit unpacking, on arbitrary bytes. Each input arrives in a heap block of its own size,
// so AddressSanitizer reports any read past its end.
#include "DeviceLink.h"
#include "SysEx.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace Tarsyn;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // One link for every input, so that each reply meets the state earlier ones left.
    static DeviceLink link;

    const std::uint8_t presetBefore = link.presetData()[0];
    const QString serialBefore = link.serialText();
    const bool formBefore = link.multiPart();
    const ReplyCode code = link.parseReply(data, qsizetype(size));
    require(code >= ReplyNone && code <= ReplyPresetWritten);
    // Decoding never changes the accepted identity: only acceptIdentity() does.
    require(link.serialText() == serialBefore && link.multiPart() == formBefore);
    if (code == ReplyIdentity) {
        // Only a reply that holds its version is one; decoding it changes no accepted field.
        require(size >= std::size_t(HeaderLength + 3));
        require(link.reported().deviceName.size() <= 16);
        link.acceptIdentity();
        require(link.serialText().size() == 11);
        require(link.deviceName() == link.reported().deviceName);
        require(link.multiPart() == DeviceLink::selectsMultiPart(link.firmwareVersion()));
    }
    if (code == ReplyPresetData)
        require(link.presetLength() == (size == std::size_t(PresetDataLength) ? PresetSize : 0));
    if (code == ReplyPresetData && link.presetLength() == 0)
        require(link.presetData()[0] == presetBefore);

    // Unpacking writes exactly 4 bytes per started group of 5 into an output of that size.
    const int wireLength = int(size < 0x10000 ? size : 0x10000);
    std::vector<std::uint8_t> out(std::size_t(wireLength + 4) / 5 * 4);
    require(unpackSevenBit(wireLength, data, out.data()) == int(out.size()));

    // Packing any bytes gives 7-bit wire bytes that unpack to the same bytes.
    const int dataLength = wireLength & ~3;
    std::vector<std::uint8_t> wire(std::size_t(dataLength) / 4 * 5);
    require(packSevenBit(data, dataLength, wire.data()) == int(wire.size()));
    for (std::uint8_t b : wire)
        require(b < 0x80);
    std::vector<std::uint8_t> back(static_cast<std::size_t>(dataLength));
    require(unpackSevenBit(int(wire.size()), wire.data(), back.data()) == dataLength);
    require(dataLength == 0 || std::memcmp(back.data(), data, std::size_t(dataLength)) == 0);
    return 0;
}

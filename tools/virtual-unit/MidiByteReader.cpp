#include "MidiByteReader.h"

namespace Tarsyn {

std::optional<QByteArray> MidiByteReader::push(char byte)
{
    const auto value = quint8(byte);
    if (value >= 0xF8)
        return std::nullopt;   // real time: clock, start, stop, active sensing, reset
    if (value < 0x80) {
        if (inMessage_ && !overflowed_) {
            if (message_.size() < MaxMessageSize - 1)   // room left for the 0xF7
                message_.append(byte);
            else
                overflowed_ = true;
        }
        return std::nullopt;
    }
    // A status byte: whatever it is, the message in progress ends here.
    std::optional<QByteArray> ended;
    if (inMessage_ && !overflowed_) {
        if (value == 0xF7)
            message_.append(byte);
        ended = message_;
    }
    message_.clear();
    overflowed_ = false;
    inMessage_ = value == 0xF0;
    if (inMessage_)
        message_.append(byte);
    return ended;
}

} // namespace Tarsyn

#pragma once
// The narrow seam between the protocol engine and a MIDI output: whatever can take one
// complete SysEx message. MidiPort implements it; tests capture messages with their own.

#include <QByteArray>

namespace Tarsyn {

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Sends one complete SysEx message (0xF0 .. 0xF7). True when it was handed to the
    // MIDI system. Called on the GUI thread.
    virtual bool sendLongMessage(const QByteArray &message) = 0;
};

} // namespace Tarsyn

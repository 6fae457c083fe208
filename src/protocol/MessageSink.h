#pragma once
// The narrow seam between the protocol engine and a MIDI output: whatever can take one
// complete SysEx message. MidiPort implements it; tests capture messages with their own.

#include <QByteArray>
#include <QtGlobal>

namespace Tarsyn {

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Sends one complete SysEx message (0xF0 .. 0xF7). True when it was handed to the
    // MIDI system. Called on the thread that owns the link (the GUI thread in the window,
    // the main thread in tarsyn-flash).
    virtual bool sendLongMessage(const QByteArray &message) = 0;
};

// Counts what goes out on its way to `next`; the transfer benchmark divides by it.
struct CountingSink : MessageSink {
    MessageSink *next = nullptr;
    quint64 count = 0;
    quint64 bytes = 0;
    bool sendLongMessage(const QByteArray &message) override
    {
        ++count;
        bytes += quint64(message.size());
        return next && next->sendLongMessage(message);
    }
};

} // namespace Tarsyn

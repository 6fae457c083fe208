#pragma once
// MidiByteReader: the SysEx messages in a MIDI byte stream, as the MIDI input of a unit at
// the end of a cable sees them. No I/O: RawMidiDevice feeds it the bytes it reads.
//
// The rules of the MIDI wire: real-time bytes (0xF8..0xFF) may come anywhere, even inside a
// SysEx message, and are dropped without touching it; 0xF0 starts a message; 0xF7 ends it;
// any other status byte ends a message in progress early, which is then passed on as it is
// (without its 0xF7, so that the unit's frame check refuses it, as a unit's would); channel
// and common messages and stray data bytes are ignored (the unit listens only to SysEx).

#include <QByteArray>

#include <optional>

namespace Tarsyn {

class MidiByteReader {
public:
    // A message longer than this (0xF0 and 0xF7 included) is dropped up to its end: no message of the unit's
    // protocol comes near it, and the buffer must not grow without bound on a noisy line.
    static constexpr qsizetype MaxMessageSize = 4096;

    // Takes one byte off the wire; returns the message that it completes, if any.
    std::optional<QByteArray> push(char byte);

private:
    QByteArray message_;
    bool inMessage_ = false;
    bool overflowed_ = false;
};

} // namespace Tarsyn

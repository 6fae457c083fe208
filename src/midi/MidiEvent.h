#pragma once
// MidiEvent: one received SysEx message, posted from the MIDI system's thread to the
// receiver's thread. The event owns its copy of the bytes; the event queue deletes it. It
// also carries when it arrived (made on the MIDI system's thread): the receiver's thread may
// take it up a while later, and the reply timing should not count that wait.

#include "Clock.h"

#include <QByteArray>
#include <QEvent>

namespace Tarsyn {

class MidiEvent : public QEvent {
public:
    static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User); // 1000

    explicit MidiEvent(QByteArray message)
        : QEvent(EventType)
        , message_(std::move(message))
        , arrivedNs_(Clock::system().nowNs())
    {
    }
    const QByteArray &message() const { return message_; }
    // The time of arrival on the system clock (Clock::system()), in nanoseconds.
    qint64 arrivedNs() const { return arrivedNs_; }

private:
    QByteArray message_;
    qint64 arrivedNs_;
};

} // namespace Tarsyn

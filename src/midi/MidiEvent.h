#pragma once
// MidiEvent: one received SysEx message, posted from the MIDI system's thread to the
// receiver's thread. The event owns its copy of the bytes; the event queue deletes it.

#include <QByteArray>
#include <QEvent>

namespace Tarsyn {

class MidiEvent : public QEvent {
public:
    static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User); // 1000

    explicit MidiEvent(QByteArray message) : QEvent(EventType), message_(std::move(message)) {}
    const QByteArray &message() const { return message_; }

private:
    QByteArray message_;
};

} // namespace Tarsyn

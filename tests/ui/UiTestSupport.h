#pragma once
// Helpers for the window's tests: a sink that records what the window sends, the unit's
// replies as wire messages, and a closer for the modal message boxes.

#include "MessageSink.h"
#include "MidiEvent.h"
#include "SysEx.h"

#include <QAbstractButton>
#include <QApplication>
#include <QByteArray>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>

class CaptureSink : public Tarsyn::MessageSink {
public:
    bool sendLongMessage(const QByteArray &message) override
    {
        sent.append(message);
        return true;
    }
    int command(qsizetype i) const { return std::uint8_t(sent.at(i).at(Tarsyn::CommandPos)); }
    int lastCommand() const { return sent.isEmpty() ? -1 : command(sent.size() - 1); }
    QList<QByteArray> sent;
};

namespace Unit {

inline QByteArray header(std::uint8_t command)
{
    QByteArray m;
    for (std::uint8_t b : Tarsyn::FrameStart)
        m.append(char(b));
    m.append(4, '\0');
    m.append(char(command));
    return m;
}

inline QByteArray reply(std::uint8_t command, QByteArray payload = {})
{
    return header(command) + payload + char(Tarsyn::SysExEnd);
}

// Identity reply: serial in four 7-bit groups, version word major | minor << 8.
inline QByteArray identity(std::uint32_t serial, int major, int minor, const QByteArray &name)
{
    QByteArray m = header(Tarsyn::UnitIdentity);
    for (int g = 0; g < 4; ++g)
        m[5 + g] = char((serial >> (7 * g)) & 0x7F);
    const std::uint32_t word = std::uint32_t(major) | (std::uint32_t(minor) << 8);
    m.append(char(word & 0x7F));
    m.append(char((word >> 7) & 0x7F));
    m.append(name.left(16));
    if (name.size() < 16)
        m.append(char(0x7F));
    m.append(char(Tarsyn::SysExEnd));
    return m;
}

inline QByteArray presetData(const std::uint8_t *preset)
{
    QByteArray wire(Tarsyn::PackedPresetSize, '\0');
    Tarsyn::packSevenBit(preset, Tarsyn::PresetSize, reinterpret_cast<std::uint8_t *>(wire.data()));
    return reply(Tarsyn::UnitPresetData, wire);
}

} // namespace Unit

// Delivers one message from the unit to `receiver` at once, as the event loop would.
inline void deliver(QObject &receiver, const QByteArray &message)
{
    Tarsyn::MidiEvent event(message);
    QCoreApplication::sendEvent(&receiver, &event);
}

// Watches for modal message boxes, records each one's title, text and OK text and presses OK.
class BoxCloser : public QObject {
public:
    BoxCloser()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            titles << box->windowTitle();
            texts << box->text();
            QAbstractButton *ok = box->button(QMessageBox::Ok);
            buttons << (ok ? ok->text() : QString());
            buttonCount << box->buttons().size();
            if (whileOpen)
                whileOpen();
            if (ok)
                ok->click();
            else
                box->close();
        });
        timer.start();
    }
    qsizetype count() const { return texts.size(); }
    QStringList titles, texts, buttons;
    QList<qsizetype> buttonCount;
    std::function<void()> whileOpen;   // runs while each box is open, before OK is pressed
    QTimer timer;
};

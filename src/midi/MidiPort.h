#pragma once
// MidiPort: one MIDI input and one MIDI output used as a pair, over RtMidi.
//
// Port indices run over every MIDI system (RtMidi API) that could be started: the ports of
// the first, then those of the next. TARSYN_MIDI_API (alsa, jack, ...) selects one. With no
// MIDI system at all the lists are empty; nothing is printed.
//
// Threads: every member runs on the owner's thread (the GUI thread). The input callback runs
// on the MIDI system's thread: it copies each received SysEx message into a MidiEvent and
// posts it to the receiver; short messages are ignored and nothing is posted once closing
// has begun. close() returns only when no callback can run any more, so the receiver may be
// destroyed after it.

#include "../protocol/MessageSink.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

namespace Tarsyn {

class MidiPort : public MessageSink {
public:
    MidiPort();
    ~MidiPort() override;   // closes the pair
    MidiPort(const MidiPort &) = delete;
    MidiPort &operator=(const MidiPort &) = delete;

    // Device names by index; a null QString when there is no such device. Index 0 takes a
    // fresh look at the MIDI systems; later indices read that snapshot.
    QString inputDeviceName(unsigned index);
    QString outputDeviceName(unsigned index);
    QStringList inputDeviceNames();
    QStringList outputDeviceNames();

    // Closes whatever is open, then opens input `inputIndex` and output `outputIndex`. True
    // only when both opened; a half that opened stays open until the next open() or close().
    bool open(int inputIndex, int outputIndex);
    // Opens a virtual input and output that other programs connect to (the virtual unit).
    // Their names are `name` + " in" and `name` + " out".
    bool openVirtual(const QString &name);
    // Closes both halves. Returns 0 (kept for callers of the original interface).
    int close();
    bool inputOpen() const;
    bool outputOpen() const;

    // Sends one complete SysEx message. False when no output is open or the send failed.
    bool sendLongMessage(const QByteArray &message) override;

    // The object that receives every MidiEvent (not owned). Set before open().
    void setReceiver(QObject *receiver);

    // The name of the MIDI system that the open ports use, or of the first that started.
    QString apiName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace Tarsyn

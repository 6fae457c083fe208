#pragma once
// RawMidiDevice: the virtual unit behind a raw MIDI device (/dev/snd/midiC*D*), the way a
// unit sits at the end of a MIDI cable. The device is a byte stream: what is written leaves
// as bytes, what is read is reassembled into SysEx messages by a MidiByteReader. An
// snd-virmidi device's other end is an ALSA sequencer port ("VirMIDI n-m"), the shape of a
// USB MIDI interface: the host picks that port and long SysEx reaches it in pieces.
//
// At DIN speed (31,250 baud, ten bits a byte: 3,125 bytes/s each way) the output is written
// byte by byte at the pace of the cable, and a received message reaches the receiver only
// once its last byte could have crossed the cable.
//
// Threads: everything runs on the owner's thread (its event loop); received messages are
// posted to the receiver as MidiEvents, as MidiPort does.

#include "MessageSink.h"
#include "MidiByteReader.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>

namespace Tarsyn {

class RawMidiDevice : public QObject, public MessageSink {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds DinByteTime{320};   // 10 bits at 31,250 baud

    explicit RawMidiDevice(QObject *parent = nullptr);
    ~RawMidiDevice() override;   // closes the device

    // Opens the device for reading and writing. False with `error` set (in the user's terms)
    // when it cannot be opened.
    bool open(const QString &path, bool dinSpeed, QString *error);
    // Writes what is still queued (for at most a second, at the cable's pace at DIN speed)
    // and closes the device.
    void close();

    // The object that receives a MidiEvent per SysEx message read (not owned).
    void setReceiver(QObject *receiver) { receiver_ = receiver; }

    // Queues any bytes (a SysEx message, short messages) for the device. False when the
    // device is not open or has failed.
    bool sendLongMessage(const QByteArray &message) override;

signals:
    // The device failed (read or write error, or it went away); it is closed. `reason` is in
    // the user's terms.
    void failed(const QString &reason);

private:
    void readAvailable();
    void writeDue();
    void deliverDue();
    void fail(const QString &reason);
    void scheduleWrite();

    int fd_ = -1;
    QString path_;
    bool dinSpeed_ = false;
    QPointer<QObject> receiver_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    MidiByteReader reader_;

    QByteArray outQueue_;
    Clock::time_point outFree_{};   // at DIN speed: when the last byte written has crossed
    QTimer writeTimer_;

    struct Arrival {
        Clock::time_point at;
        QByteArray message;
    };
    Clock::time_point inFree_{};    // at DIN speed: when the last byte read has crossed
    std::deque<Arrival> arrivals_;
    QTimer deliverTimer_;
};

} // namespace Tarsyn

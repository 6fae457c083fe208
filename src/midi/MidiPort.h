#pragma once
// MidiPort: one MIDI input and one MIDI output used as a pair, over RtMidi.
//
// Port indices run over every MIDI system (RtMidi API) that could be started: the ports of
// the first, then those of the next. TARSYN_MIDI_API (alsa, jack, ...) selects one. With no
// MIDI system at all the lists are empty; nothing is printed. Which system a port belongs to
// is this class's business alone.
//
// Threads: every member runs on the owner's thread (the GUI thread). The input callback runs
// on the MIDI system's thread: it copies each received SysEx message into a MidiEvent and
// posts it to the receiver; short messages are ignored and nothing is posted once closing
// has begun. close() returns only when no callback can run any more, so the receiver may be
// destroyed after it.

#include "../protocol/MessageSink.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace Tarsyn {

class MidiPort : public QObject, public MessageSink {
    Q_OBJECT
public:
    explicit MidiPort(QObject *parent = nullptr);
    ~MidiPort() override;   // closes the pair
    MidiPort(const MidiPort &) = delete;
    MidiPort &operator=(const MidiPort &) = delete;

    // Device names by index; a null QString when there is no such device. Index 0 takes a
    // fresh look at the MIDI systems; later indices read that snapshot.
    QString inputDeviceName(unsigned index);
    QString outputDeviceName(unsigned index);
    // A fresh look at the MIDI systems.
    QStringList inputDeviceNames();
    QStringList outputDeviceNames();
    // The snapshot that open() indexes, as last taken (by the calls above or by watching).
    QStringList listedInputs() const;
    QStringList listedOutputs() const;

    // Closes whatever is open, then opens input `inputIndex` and output `outputIndex` of the
    // snapshot. True only when both opened; a half that opened stays open until the next
    // open() or close().
    bool open(int inputIndex, int outputIndex);
    // Opens a virtual input and output that other programs connect to (the virtual unit).
    // Their names are `name` + " in" and `name` + " out".
    bool openVirtual(const QString &name);
    // Closes both halves. Returns 0 (kept for callers of the original interface).
    int close();
    bool inputOpen() const;
    bool outputOpen() const;
    // The names of the ports that the open halves are connected to (null when closed).
    QString openInputName() const;
    QString openOutputName() const;

    // Sends one complete SysEx message. False when no output is open or the send failed.
    bool sendLongMessage(const QByteArray &message) override;

    // The object that receives every MidiEvent (not owned). Set before open().
    void setReceiver(QObject *receiver);

    // The name of the MIDI system that the open ports use, or of the first that started.
    QString apiName() const;

    // TARSYN_MIDI_API as given when it names no MIDI system of this build (an empty string
    // when it is unset or names one), and the names it takes ("alsa", "jack", ...).
    static QString unknownApiChoice();
    static QStringList apiChoices();

    // What a fresh look found on one MIDI system: for a front end that explains why no port
    // of a unit is listed. Systems in the order of the port lists; only the one that
    // TARSYN_MIDI_API names when it is set.
    struct SystemLook {
        enum Found {
            Ports,          // ports other than the system's own
            OnlySystemPorts,// it runs, with none (ALSA: only "Midi Through")
            NotRunning,     // JACK: no server of that name answers
            NoDevice,       // ALSA: no sequencer device (/dev/snd/seq)
            DeviceRefused,  // ALSA: the device is there but would not open (`reason`)
        };
        QString system;     // "ALSA", "JACK", or RtMidi's name of another system
        QString server;     // JACK: the server asked for (JACK_DEFAULT_SERVER, else "default")
        QString reason;     // DeviceRefused: the system's error text
        Found found = Ports;
    };
    static std::vector<SystemLook> lookAtSystems();
    // True for a port that a system gives without any unit or interface (ALSA's "Midi
    // Through"): its presence does not mean that anything is connected.
    static bool isSystemPort(const QString &name);

    // From now on, follows the MIDI systems' ports (their own notices where they have them,
    // else a poll twice a second): the snapshot is kept current, portsChanged() tells of
    // each change and openPortGone() of a port of the open pair that has gone, some tens of
    // milliseconds after the system took it away. (A JACK server takes a killed program's
    // ports away only after its client timeout, jackd's -t.) Both signals are emitted on the
    // owner's thread, which needs an event loop.
    void watchPorts();

signals:
    // The snapshot changed: ports came, went or were renamed. Emitted only on a change.
    void portsChanged();
    // A port that an open half is connected to has gone (the unit was unplugged or its
    // program ended, or the MIDI server stopped): nothing will arrive through it any more.
    // Emitted once per open(), after portsChanged(); the pair stays open until closed.
    void openPortGone(const QString &name);

private:
    void lookAgain();

    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace Tarsyn

#pragma once
// UnitSession: the jobs a front end runs on a unit, written once for the window and
// tarsyn-flash. It holds the port lock, opens and closes the pair, decodes what the unit
// sends and drives the protocol classes: identify, firmware update, preset backup and
// restore, and the preset passes that the unit itself drives (the window's). It decides
// when a job has ended and why (the unit answered, went silent, kept asking for a block, a
// port went, a send failed) and reports that as one Outcome; the front end only turns it
// into texts, boxes, bars and exit statuses. How replies are kept in step is told in
// docs/architecture.md and README's "Staying in step".
//
// Threads: everything runs on the owner's thread. Received messages come in as MidiEvents
// posted to the pair's receiver, which hands them to messageReceived() (this object when
// nothing else is set).

#include "DeviceLink.h"
#include "FirmwareTransfer.h"
#include "PortLock.h"
#include "PortPair.h"
#include "PresetExchange.h"
#include "PresetSet.h"

#include <QObject>

namespace Tarsyn {

class UnitSession : public QObject {
    Q_OBJECT
public:
    enum class Job { None, Identify, Update, Backup, Restore, PresetPass };
    Q_ENUM(Job)

    // What ended a job.
    enum class End {
        Success,
        NoUnit,         // no identity reply within the identify patience
        Silent,         // the unit stopped answering mid-job
        KeepsAsking,    // the unit asked for `block` again too often in a row
        PresetFailed,   // the preset at `bank`, `slot` did not stick
        Incomplete,     // a backup pass ended without every preset
        PortGone,       // `port` of the open pair went away (also with no job running)
        SendFailed,     // `port` refused a message (also with no job running)
        Stopped,        // stop() or close()
    };
    Q_ENUM(End)

    struct Outcome {
        Job job = Job::None;
        End end = End::Success;
        std::uint32_t block = 0;
        int bank = -1;
        int slot = -1;
        QString port;
        int progress = 0;        // where the job stood, of `maximum`
        int maximum = 0;
        bool receive = false;    // a preset pass that stored (else compared and wrote)
        int resendRequests = 0;  // the unit's, in an update
        int repeats = 0;         // messages sent again on a reply timeout
        int heldReplies = 0;     // replies of an update held for a drain
        int presetRetries = 0;   // read-backs of written presets that still differed
        int presetsWritten = 0;
    };

    enum class OpenResult { Opened, Busy, Failed };

    // Identifying with this patience waits until stop() or close().
    static constexpr int UntilStopped = 0;

    // `pair` is not owned and must outlive the session.
    explicit UnitSession(PortPair &pair, QObject *parent = nullptr);
    ~UnitSession() override;

    // Takes the port lock on both ports (one host per unit on this computer), then opens
    // the pair. Busy: another program holds busyPort(). Without a usable lock folder the
    // pair is opened unguarded.
    OpenResult open(int inputIndex, int outputIndex);
    QString busyPort() const { return busyPort_; }
    // Ends a running job (Stopped), closes the pair and releases the lock. Nothing that
    // arrives afterwards is acted on.
    void close();
    bool isOpen() const { return open_; }

    // The reply timeout before the link's round trip is known, repeats in a row before
    // giving up (0: no limit) and the silence span of a job; taken when a job starts.
    void setTimeout(int milliseconds) { timeoutMs_ = qMax(1, milliseconds); }
    void setMaxRepeats(int repeats) { maxRepeats_ = qMax(0, repeats); }
    void setSilenceSpan(int milliseconds) { silenceMs_ = qMax(1, milliseconds); }
    // Replies come through a real MIDI link: one that arrives too soon is not an answer.
    void setRealLink(bool on) { realLink_ = on; }
    // Preset replies with no job running start or continue a pass (the window's unit-driven
    // passes); off, they are dropped.
    void setUnitDrivenPasses(bool on) { unitDriven_ = on; }

    bool loadFirmware(const QString &path);

    // The jobs. identify() sends the identify request until the unit answers or
    // `patienceMs` have passed without any reply (UntilStopped: no bound). update() sends
    // the loaded firmware; backup() reads every preset into `target` (not owned, alive
    // until the outcome); restore() writes the presets of `presets` where the unit's
    // differ. Given an `identifyFirst` patience, each identifies the unit first.
    // startPresetPass() starts a pass in either direction over the session's own store.
    static constexpr int NoIdentify = -1;
    void identify(int patienceMs);
    void update(int identifyFirst = NoIdentify);
    void backup(PresetSet *target, int identifyFirst = NoIdentify);
    void restore(const PresetSet &presets, int identifyFirst = NoIdentify);
    void startPresetPass(bool receive);
    // Ends the running job (Stopped).
    void stop();

    Job job() const { return job_; }
    bool running() const { return job_ != Job::None; }

    // The unit's identity, as accepted by the last identification.
    std::uint32_t serialNumber() const { return link_.serialNumber(); }
    QString serialText() const { return link_.serialText(); }
    QString deviceName() const { return link_.deviceName(); }
    std::uint32_t firmwareVersion() const { return link_.firmwareVersion(); }
    bool multiPart() const { return link_.multiPart(); }
    // "2.10" for the version word 0x0A02.
    static QString versionText(std::uint32_t versionWord);

    quint64 messagesSent() const { return counter_.count; }
    quint64 bytesSent() const { return counter_.bytes; }

    // A received SysEx message, on the owner's thread; `arrivedNs`: when it arrived
    // (MidiEvent::arrivedNs()), -1 for now.
    void messageReceived(const QByteArray &message, qint64 arrivedNs = -1);

    // For tests: the protocol classes the session drives.
    DeviceLink &deviceLink() { return link_; }
    FirmwareTransfer &firmwareTransfer() { return transfer_; }
    PresetExchange &presetExchange() { return exchange_; }
    StallGuard &identifyGuard() { return identifyGuard_; }

signals:
    // The unit answered the identify request (serialText() and the rest are set).
    void identified();
    // The job moved on: `value` is what a bar shows (an update's count before the block
    // just completed), `count` the count now, of `maximum`.
    void progressed(int value, int count, int maximum);
    // The unit sent status 0 (the window gives its controls back; an update goes on).
    void statusZero();
    // A job ended; also a port gone or a refused send with no job running.
    void finished(const Tarsyn::UnitSession::Outcome &outcome);

protected:
    bool event(QEvent *event) override;

private:
    // Between the link and the pair: notices a refused send.
    class CheckedSink : public MessageSink {
    public:
        explicit CheckedSink(UnitSession &session) : session_(session) {}
        bool sendLongMessage(const QByteArray &message) override;

    private:
        UnitSession &session_;
    };

    void begin(Job job);
    void configure(StallGuard &guard) const;
    void run(Job job, int identifyFirst);
    void identifyThen(int patienceMs, Job then);
    void unitIdentified();
    void startJob(Job job);
    void startPass(Job job, bool receive);
    void presetReply(ReplyCode code, const QByteArray &message);
    void presetOutcome(const PresetExchange::Outcome &outcome);
    void sendRefused();
    void finish(End end);
    Outcome outcomeFor(End end);

    PortPair &pair_;
    CountingSink counter_;
    CheckedSink sink_{*this};
    DeviceLink link_{&sink_};
    FirmwareTransfer transfer_{link_};
    PresetExchange exchange_{link_};
    StallGuard identifyGuard_{link_};
    PortLock portLock_;
    QString busyPort_;
    QString outputName_;
    bool open_ = false;

    int timeoutMs_ = ReplyTimer::InitialTimeoutMs;
    int maxRepeats_ = StallGuard::DefaultMaxRepeats;
    int silenceMs_ = StallGuard::DefaultSilenceMs;
    bool realLink_ = false;
    bool unitDriven_ = false;

    Job job_ = Job::None;
    Job then_ = Job::None;
    bool sendFailed_ = false;      // a send was refused; the job ends once its handler returns
    bool passEnded_ = false;       // a unit-driven pass ended: no other until the pair reopens
    PresetSet *backupTarget_ = nullptr;
    const QByteArray *currentMessage_ = nullptr;   // the reply being handled
    int progress_ = 0;
    int maximum_ = 0;
    std::uint32_t failedBlock_ = 0;
    int failedBank_ = -1;
    int failedSlot_ = -1;
    QString gonePort_;
};

} // namespace Tarsyn

Q_DECLARE_METATYPE(Tarsyn::UnitSession::Outcome)

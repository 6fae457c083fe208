#pragma once
// FlashSession: one connection to a unit over a MIDI port pair and the one job that
// tarsyn-flash runs on it: identify, firmware update, preset backup or preset restore.
// Every job first identifies the unit; then it runs on the unit's replies, which arrive as
// MidiEvents posted to this object. Each job ends with exactly one finished() signal, and
// the ports are closed by then.
//
// Runs on the main thread. Library code: it prints nothing; the caller reports.

#include "DeviceLink.h"
#include "FirmwareTransfer.h"
#include "MessageSink.h"
#include "MidiPort.h"
#include "PortLock.h"
#include "PresetExchange.h"
#include "SyxFile.h"

#include <QObject>

namespace Tarsyn {

class FlashSession : public QObject {
    Q_OBJECT
public:
    // How a job ended; also tarsyn-flash's exit status.
    enum Status {
        Success = 0,
        Failed = 1,        // the unit failed, stopped answering or the job did not complete
        BadInput = 2,      // usage, a bad file
        PortError = 3,     // no such port, several such ports, or the ports would not open
        NoUnit = 4,        // no identity reply
        Interrupted = 130, // SIGINT / SIGTERM
    };
    Q_ENUM(Status)

    enum class Job { None, Identify, Update, Backup, Restore };

    explicit FlashSession(QObject *parent = nullptr);
    ~FlashSession() override;

    MidiPort &port() { return port_; }
    DeviceLink &link() { return link_; }
    FirmwareTransfer &transfer() { return transfer_; }
    PresetExchange &exchange() { return exchange_; }

    // The reply timeout before the link's round trip is known; after that it follows the
    // link (ReplyTimer). Repeats of one message in a row before giving up (0: no limit), and
    // the span without any reply after which the unit is taken as not answering.
    // Identifying gives up after IdentifySilenceMs at most.
    static constexpr int IdentifySilenceMs = 5000;
    void setTimeout(int milliseconds);
    void setRetries(int repeats);
    void setSilenceSpan(int milliseconds);
    int timeout() const { return timeoutMs_; }
    int retries() const { return retries_; }
    int silenceSpan() const { return silenceMs_; }

    // Opens the pair once no other host on this computer holds either port; false when a
    // port is in use (busyPort() names it) or would not open.
    bool openPorts(int inputIndex, int outputIndex);
    QString busyPort() const { return busyPort_; }

    // Loads the firmware file into the image (before update()).
    bool loadFirmware(const QString &path);

    // The jobs; each needs openPorts() first. Backup fills `presets` (not owned, must live
    // until finished()); restore writes `presets` back where the unit differs.
    void identify();
    void update();
    void backup(PresetSet *presets);
    void restore(const PresetSet &presets);

    // Ends the running job with `status` (Interrupted from a signal handler's watcher).
    void stop(Status status);

    Job job() const { return job_; }
    bool running() const { return job_ != Job::None; }

    // Results.
    QString versionText() const;      // "2.10"
    QString blockFormText() const;    // "multi-part" / "single message"
    quint64 messagesSent() const { return sink_.count; }
    quint64 bytesSent() const { return sink_.bytes; }
    int resendRequests() const { return resendRequests_; }
    int repeats() const { return repeats_; }
    // Replies of the last update that came too soon or after a repeat (each cost a drain).
    int heldReplies() const { return transfer_.guard().heldReplies(); }
    int progressValue() const { return progressValue_; }
    int progressMaximum() const { return progressMaximum_; }
    int presetsWritten() const { return exchange_.presetsWritten; }
    int presetRetries() const { return exchange_.presetRetries; }
    int failedBank() const { return failedBank_; }
    int failedSlot() const { return failedSlot_; }
    bool unitWentSilent() const { return unitSilent_; }
    // The unit kept asking for one block again (the update ended); its offset.
    bool unitKeptAsking() const { return keptAsking_; }
    std::uint32_t failedBlock() const { return transfer_.failedBlock(); }
    // The port of the open pair that went away mid-job (empty unless that ended the job).
    QString gonePort() const { return gonePort_; }

    // Counts what goes out on its way to `next`; the benchmark divides by it.
    struct CountingSink : MessageSink {
        MessageSink *next = nullptr;
        quint64 count = 0;
        quint64 bytes = 0;
        bool sendLongMessage(const QByteArray &message) override
        {
            ++count;
            bytes += quint64(message.size());
            return next->sendLongMessage(message);
        }
    };

signals:
    void identified();
    void progress(int value, int maximum);
    void finished(int status);

protected:
    bool event(QEvent *event) override;

private:
    void startJob(Job job);
    void unitIdentified();
    void configure(StallGuard &guard) const;
    void handleReply(ReplyCode code, const QByteArray &message);
    void handlePresetOutcome(const PresetExchange::Outcome &outcome);
    void reportProgress(int value, int maximum);
    void finish(Status status);
    void portGone(const QString &name);

    MidiPort port_;
    PortLock portLock_;   // held while this session may use the pair
    QString busyPort_;
    CountingSink sink_;
    DeviceLink link_;
    FirmwareTransfer transfer_;
    PresetExchange exchange_;
    StallGuard identifyGuard_{link_};
    bool identifiedOnce_ = false;
    const QByteArray *currentMessage_ = nullptr;   // the reply being handled

    int timeoutMs_ = ReplyTimer::InitialTimeoutMs;
    int retries_ = StallGuard::DefaultMaxRepeats;
    int silenceMs_ = StallGuard::DefaultSilenceMs;
    Job job_ = Job::None;
    Job pendingJob_ = Job::None;
    PresetSet *backupTarget_ = nullptr;

    int resendRequests_ = 0;
    int repeats_ = 0;
    int progressValue_ = 0;
    int progressMaximum_ = 0;
    int failedBank_ = -1;
    int failedSlot_ = -1;
    bool unitSilent_ = false;
    bool keptAsking_ = false;
    QString gonePort_;
};

} // namespace Tarsyn

#pragma once
// FlashSession: tarsyn-flash's side of a UnitSession: the MIDI port pair, the command's
// timing options, and the outcome of its one job as an exit status and the figures that
// FlashCommand reports. The job logic is the session's (docs/architecture.md).
//
// Runs on the main thread. Library code: it prints nothing; the caller reports. The ports
// stay open after finished(): the owner closes them once the result has been told, since
// closing can block inside a MIDI system that no longer answers.

#include "MidiPortPair.h"
#include "PresetSet.h"
#include "UnitSession.h"

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

    explicit FlashSession(QObject *parent = nullptr);
    ~FlashSession() override;

    MidiPort &port() { return pair_.midiPort(); }
    UnitSession &session() { return session_; }

    // The reply timeout before the link's round trip is known (after that it follows the
    // link), repeats of one message in a row before giving up (0: no limit), and the span
    // without any reply after which the unit is taken as not answering. Identifying gives
    // up after IdentifySilenceMs at most.
    static constexpr int IdentifySilenceMs = 5000;
    void setTimeout(int milliseconds) { session_.setTimeout(milliseconds); }
    void setRetries(int repeats) { session_.setMaxRepeats(repeats); }
    void setSilenceSpan(int milliseconds);
    // After --wait: identifying keeps asking for this long at least (a unit's ports come up
    // before the unit answers: one plugged in, or restarting).
    void setUnitWait(int milliseconds) { unitWaitMs_ = qMax(0, milliseconds); }

    // Opens the pair (indices of the lists just taken) once no other host on this computer
    // holds either port, and follows the ports from then on; false when a port is in use
    // (busyPort() names it) or would not open.
    bool openPorts(int inputIndex, int outputIndex);
    QString busyPort() const { return session_.busyPort(); }

    bool loadFirmware(const QString &path) { return session_.loadFirmware(path); }

    // The jobs, each after identifying the unit; each needs openPorts() first. Backup fills
    // `presets` (not owned, must live until finished()); restore writes `presets` back where
    // the unit differs.
    void identify() { session_.identify(identifyPatience()); }
    void update() { session_.update(identifyPatience()); }
    void backup(PresetSet *presets) { session_.backup(presets, identifyPatience()); }
    void restore(const PresetSet &presets) { session_.restore(presets, identifyPatience()); }

    // Ends the running job with `status` (Interrupted from a signal handler's watcher).
    void stop(Status status);
    bool running() const { return session_.running(); }

    // Results.
    QString versionText() const { return UnitSession::versionText(session_.firmwareVersion()); }
    QString blockFormText() const;    // "multi-part" / "single message"
    quint64 messagesSent() const { return session_.messagesSent(); }
    quint64 bytesSent() const { return session_.bytesSent(); }
    // The outcome of the last job: what ended it and the figures of its report.
    const UnitSession::Outcome &outcome() const { return outcome_; }

signals:
    void identified();
    void progress(int value, int maximum);
    void finished(int status);

private:
    int identifyPatience() const;
    void ended(const UnitSession::Outcome &outcome);

    MidiPortPair pair_;
    UnitSession session_{pair_};
    int silenceMs_ = StallGuard::DefaultSilenceMs;
    int unitWaitMs_ = 0;
    Status stopStatus_ = Interrupted;
    UnitSession::Outcome outcome_;
};

} // namespace Tarsyn

#pragma once
// FirmwareTransfer: one firmware update over a DeviceLink, as the window and tarsyn-flash
// both run it. It keeps the progress counter (1 per 256-byte block, 10 per 512-byte block,
// 10848 at the end), decides completion, serves resend requests and recovers from lost
// messages through its StallGuard.
//
// Completion is reported only once the unit has acknowledged the payload's last block:
// in the single-message form that is the acknowledgement that brings the counter to 10848;
// in the multi-part form the counter reaches 10848 when the last block's part 0 goes out,
// and the transfer finishes with the acknowledgement of that part (resend requests for the
// block are served until then).
//
// Runs on the thread that owns it.

#include "StallGuard.h"
#include "SysEx.h"

#include <QObject>

namespace Tarsyn {

class DeviceLink;

class FirmwareTransfer : public QObject {
    Q_OBJECT
public:
    static constexpr int EndCount = 10848;      // 2048 x 1 + 880 x 10
    static constexpr int SmallBlockCount = 2048;

    explicit FirmwareTransfer(DeviceLink &link, QObject *parent = nullptr);

    // What one block acknowledgement leads to.
    struct Step {
        int barValue = -1;     // >= 0: the progress bar shows this value (the count before the step)
        bool counted = false;  // the counter advanced
        bool finished = false; // the transfer is complete: report success
    };

    // Sets the counter to 0 and sends the first block (the image must be loaded).
    void start();
    // A block acknowledgement (ReplyBlockOk24 / ReplyBlockOk25).
    Step blockAcknowledged();
    // A resend request (ReplyResendLarge / ReplyResendSmall): the block goes out again.
    // Served in every state, as the unit asks. In the multi-part form a request that comes
    // while a block's parts are going out sends the next part, as an acknowledgement would;
    // when that part completes the block, it is counted here.
    Step resendRequested(ReplyCode code);
    // Stops the transfer without completing it (ports closed, or the unit gave up): the
    // counter goes to its end value, so later acknowledgements send nothing.
    void abandon();

    int progressCount() const { return progressCount_; }
    // True from start() until completion or abandon().
    bool running() const { return progressCount_ < EndCount || awaitingFinal_; }
    // True after the counter reached its end, until the final acknowledgement.
    bool awaitingFinalAck() const { return awaitingFinal_; }
    int resendRequests() const;          // the unit's resend requests since start()
    int repeats() const { return guard_.repeats(); }

    StallGuard &guard() { return guard_; }

signals:
    // The unit did not answer after the allowed repeats; the transfer has been abandoned.
    void unitSilent();

private:
    Step count(Step step);

    DeviceLink &link_;
    StallGuard guard_;
    int progressCount_ = EndCount;   // no transfer running
    bool awaitingFinal_ = false;
};

} // namespace Tarsyn

#include "FirmwareTransfer.h"

#include "DeviceLink.h"

namespace Tarsyn {

FirmwareTransfer::FirmwareTransfer(DeviceLink &link, QObject *parent)
    : QObject(parent)
    , link_(link)
    , guard_(link, this)
{
    connect(&guard_, &StallGuard::unitSilent, this, [this] {
        abandon();
        emit unitSilent();
    });
}

void FirmwareTransfer::start()
{
    progressCount_ = 0;
    awaitingFinal_ = false;
    guard_.resetCount();
    link_.startTransfer();
    guard_.watch();
}

FirmwareTransfer::Step FirmwareTransfer::blockAcknowledged()
{
    Step step;
    if (guard_.tooSoon())
        return step; // a second copy of the previous reply
    if (awaitingFinal_) {
        guard_.settle();
        if (link_.phase != 0) {
            // The unit asked for the last block again: its parts go out until its part 0.
            link_.advanceTransfer();
            guard_.watch();
            return step;
        }
        // The unit acknowledged the last block's part 0: the payload is in.
        awaitingFinal_ = false;
        step.finished = true;
        return step;
    }
    if (progressCount_ == EndCount)
        return step; // no transfer running: later acknowledgements send nothing

    guard_.settle();
    step.barValue = progressCount_;
    if (!link_.advanceTransfer()) {
        guard_.watch();
        return step;
    }
    return count(step);
}

// One more block of the payload is complete.
FirmwareTransfer::Step FirmwareTransfer::count(Step step)
{
    progressCount_ += progressCount_ < SmallBlockCount ? 1 : 10;
    step.counted = true;
    if (progressCount_ < EndCount) {
        guard_.watch();
    } else if (link_.multiPart) {
        // The last block's part 0 has just gone out; its acknowledgement ends the transfer.
        awaitingFinal_ = true;
        guard_.watch();
    } else {
        // This acknowledgement was the last payload block's. The block sent for it now lies
        // behind the payload; its reply is not awaited.
        guard_.stop();
        step.finished = true;
    }
    return step;
}

FirmwareTransfer::Step FirmwareTransfer::resendRequested(ReplyCode code)
{
    if (code != ReplyResendLarge && code != ReplyResendSmall)
        return {};
    if (guard_.tooSoon()) {
        --link_.retryCount; // counted by the decoder, but a second copy of the previous reply
        return {};
    }
    const bool partsGoingOut = link_.multiPart && link_.phase != 0;
    const int before = progressCount_;
    const bool completed = code == ReplyResendLarge ? link_.sendLargeBlock(false) : link_.sendSmallBlock(false);
    if (!running())
        return {};
    guard_.settle();
    if (partsGoingOut && completed && link_.phase == 0 && !awaitingFinal_) {
        Step step;
        step.barValue = before;
        return count(step);
    }
    guard_.watch();
    return {};
}

void FirmwareTransfer::abandon()
{
    progressCount_ = EndCount;
    awaitingFinal_ = false;
    guard_.stop();
}

int FirmwareTransfer::resendRequests() const
{
    return link_.retryCount;
}

} // namespace Tarsyn

#include "FirmwareTransfer.h"

#include "DeviceLink.h"

#include <algorithm>

namespace Tarsyn {

namespace {
// Messages remembered for matching replies after a drain; far more than can be in flight.
constexpr std::size_t LogLength = 4096;

bool isResend(ReplyCode code)
{
    return code == ReplyResendLarge || code == ReplyResendSmall;
}
} // namespace

FirmwareTransfer::FirmwareTransfer(DeviceLink &link, QObject *parent)
    : QObject(parent)
    , link_(link)
    , guard_(link, this)
{
    connect(&guard_, &StallGuard::drained, this, &FirmwareTransfer::drained);
    // A repeat is one more message of the same block: the unit may answer each copy.
    connect(&guard_, &StallGuard::repeated, this, [this] {
        if (!log_.empty())
            log_.push_back(log_.back());
    });
    connect(&guard_, &StallGuard::unitSilent, this, [this] {
        if (!running_)
            return;
        abandon();
        emit unitSilent();
    });
}

int FirmwareTransfer::countFor(std::uint32_t end)
{
    if (end <= LargeRegion)
        return int(end / 256);
    return SmallBlockCount + int((end - LargeRegion) / 512) * 10;
}

void FirmwareTransfer::start()
{
    log_.clear();
    running_ = true;
    count_ = 0;
    ackedEnd_ = 0;
    sinceCheckpoint_ = 0;
    doubt_ = Doubt::None;
    askedBlock_ = 0xFFFFFFFF;
    requestsInARow_ = 0;
    failedBlock_ = 0;
    guard_.resetCount();
    link_.startTransfer();   // counts, cursor and phase to 0; the first block or its part 1
    sent(0, !link_.multiPart);
}

// The message after the last one: the next part of the block under way, or the next block.
void FirmwareTransfer::sendNext()
{
    const std::uint32_t offset = link_.cursor;
    const std::uint32_t lastPart = offset < LargeRegion ? 2 : 4;
    const bool final = !link_.multiPart || link_.phase == lastPart;
    link_.advanceTransfer();
    sent(offset, final);
}

void FirmwareTransfer::sent(std::uint32_t offset, bool final)
{
    log_.push_back({offset, final});
    if (log_.size() > LogLength)
        log_.pop_front();
    guard_.watch();
}

bool FirmwareTransfer::lastBlock(const Sent &sent) const
{
    return sent.final && sent.offset == LastPayloadBlock;
}

void FirmwareTransfer::blockDone(std::uint32_t offset)
{
    const std::uint32_t end = offset + (offset < LargeRegion ? 256 : 512);
    if (end <= ackedEnd_)
        return;
    const int before = count_;
    ackedEnd_ = end;
    count_ = countFor(end);
    emit progressed(before, count_);
}

void FirmwareTransfer::replyReceived(ReplyCode code)
{
    const bool ack = code == ReplyBlockOk24 || code == ReplyBlockOk25;
    if (!running_ || (!ack && !isResend(code)) || log_.empty())
        return;
    if (guard_.draining()) {
        guard_.reply(code);   // collected for the drain under way
        return;
    }
    if (guard_.reply(code) == StallGuard::Take::Answer)
        answered(code);
}

void FirmwareTransfer::drainFor(Doubt doubt, ReplyCode trigger)
{
    doubt_ = doubt;
    trigger_ = trigger;
    // A resend request and the end wait a whole reply timeout: what comes later than that is
    // taken for the answer to a later message.
    guard_.drain(doubt == Doubt::End || doubt == Doubt::Resend);
}

// `code` answers the last message sent, in step.
void FirmwareTransfer::answered(ReplyCode code)
{
    const Sent last = log_.back();
    if (isResend(code)) {
        // Which message it answers is certain only once nothing else is on its way.
        drainFor(Doubt::Resend, code);
        return;
    }
    if (!last.final) {
        sendNext();
        return;
    }
    blockDone(last.offset);
    if (lastBlock(last)) {
        drainFor(Doubt::End, code);
    } else if (++sinceCheckpoint_ >= CheckpointBlocks) {
        sinceCheckpoint_ = 0;
        drainFor(Doubt::Checkpoint, code);
    } else {
        sendNext();
    }
}

void FirmwareTransfer::drained()
{
    if (!running_)
        return;
    QList<ReplyCode> replies = guard_.collected();
    if (doubt_ != Doubt::None)
        replies.prepend(trigger_);   // taken as the answer to the last message before the drain
    doubt_ = Doubt::None;

    // The replies answer the last replies.size() messages, in order, if nothing was lost or
    // doubled on the way. A doubled reply makes the list longer: the match then reaches
    // further back, which is the safe direction.
    const int n = int(replies.size());
    const int lastIndex = int(log_.size()) - 1;
    const int first = std::max(0, lastIndex - std::max(n, 1) + 1);
    const bool anyResend = std::any_of(replies.cbegin(), replies.cend(), isResend);

    if (n > 0 && !anyResend) {
        for (int i = first; i <= lastIndex; ++i) {
            if (log_[std::size_t(i)].final)
                blockDone(log_[std::size_t(i)].offset);
        }
        if (lastBlock(log_.back())) {
            running_ = false;
            count_ = EndCount;
            guard_.stop();
            emit finished();
            return;
        }
        sendNext();
        return;
    }
    const bool afterFinal = lastIndex == 0 || log_[std::size_t(lastIndex - 1)].final;
    if (n == 1 && !log_.back().final && !afterFinal) {
        // In step, in the middle of a block: the unit keeps the part and the block is judged
        // at its part 0; the next part goes out, as for an acknowledgement.
        sendNext();
        return;
    }
    // A resend request: go back to the lowest block among the messages the replies can
    // answer, and one message further: the answer to the last message may have come after
    // the drain, in which case the request was the answer to the one before. The lowest, not
    // the earliest sent: after an earlier going back, the message before may belong to a
    // later block. Writing a block again is harmless; leaving one out never is.
    std::uint32_t from = log_[std::size_t(first)].offset;
    for (int i = std::max(0, first - 1); i <= lastIndex; ++i)
        from = std::min(from, log_[std::size_t(i)].offset);
    restartAt(from, log_[std::size_t(first)].offset);
}

void FirmwareTransfer::restartAt(std::uint32_t offset, std::uint32_t askedFor)
{
    if (askedFor == askedBlock_) {
        ++requestsInARow_;
    } else {
        askedBlock_ = askedFor;
        requestsInARow_ = 1;
    }
    if (requestsInARow_ >= MaxRequestsForBlock) {
        failedBlock_ = askedFor;
        abandon();
        emit unitKeepsAsking(askedFor);
        return;
    }
    link_.cursor = offset;
    link_.phase = 0;
    sendNext();
}

void FirmwareTransfer::abandon()
{
    running_ = false;
    if (count_ < EndCount)
        count_ = EndCount;
    doubt_ = Doubt::None;
    guard_.stop();
}

int FirmwareTransfer::resendRequests() const
{
    return link_.retryCount;
}

} // namespace Tarsyn

#include "FirmwareTransfer.h"

#include "DeviceLink.h"

#include <algorithm>

namespace Tarsyn {

namespace {
// Messages remembered for matching replies after a drain; far more than can be in flight.
constexpr std::size_t LogLength = 4096;
constexpr int BlockCount = FirmwareTransfer::SmallBlockCount + 880;
// Refusals in a row of a block the unit may already hold (a copy of it went out whose answer
// was lost or in doubt) before the transfer goes past it: a unit that takes blocks only in
// order refuses such a block for ever, one that writes any block takes it again.
constexpr int RefusalsBeforePassing = 2;
// The same, for refusals that came out of step.
constexpr int RefusalsInDoubtBeforePassing = 4;
// Refusals in a row of a block the unit surely holds (sent again after the last block) that
// show a unit which takes blocks only in order: one that writes any block refuses it only when
// the copy was damaged.
constexpr int RefusalsForInOrder = 3;
// Refusals in a row, past the last block, of the first block not known to be written to a unit
// that takes blocks only in order, that show it holds that block (and waits for a later one):
// twice the above, since here a damaged copy of the block it waits for would leave it unwritten.
constexpr int RefusalsOfNextForInOrder = 2 * RefusalsForInOrder;
// Refusals in step of different blocks with no acknowledgement between them before the
// transfer walks back from the lowest of them, and how many walks a transfer makes at most.
constexpr int RefusalsBeforeWalkingBack = 12;
constexpr int MaxWalks = 8;
// Messages sent, at most, without a block acknowledged for the first time, in whole transfers'
// worth of messages: a transfer that walked back sends at most one transfer's blocks again.
// Replies that are not the unit's own can keep the other bounds from ever being reached
// (each acknowledgement taken in step resets the count of requests in a row); this one ends
// any such circle.
constexpr int TransfersWithoutProgress = 2;

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
    // A repeat is one more message of the same block: the unit may answer each copy, and may
    // hold the block already.
    connect(&guard_, &StallGuard::repeated, this, [this] {
        if (log_.empty())
            return;
        log_.push_back(log_.back());
        ++sentTotal_;
        const int index = indexOf(log_.back().offset);
        if (log_.back().final && index < BlockCount)
            maybeHeld_[std::size_t(index)] = true;
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

int FirmwareTransfer::indexOf(std::uint32_t offset)
{
    return offset < LargeRegion ? int(offset / 256) : SmallBlockCount + int((offset - LargeRegion) / 512);
}

std::uint32_t FirmwareTransfer::offsetOf(int index)
{
    return index < SmallBlockCount ? std::uint32_t(index) * 256
                                   : LargeRegion + std::uint32_t(index - SmallBlockCount) * 512;
}

void FirmwareTransfer::start()
{
    log_.clear();
    blocks_.assign(BlockCount, Block::Unknown);
    maybeHeld_.assign(BlockCount, false);
    everAcked_.assign(BlockCount, false);
    progressAt_ = 0;
    order_ = UnitOrder::Unknown;
    running_ = true;
    resolving_ = false;
    count_ = 0;
    ackedEnd_ = 0;
    topAcked_ = -1;
    sinceCheckpoint_ = 0;
    probe_ = -1;
    probeRefusals_ = 0;
    lowestRefused_ = BlockCount;
    walk_ = -1;
    walks_ = 0;
    sentTotal_ = 0;
    settledTotal_ = 0;
    doubt_ = Doubt::None;
    askedBlock_ = 0xFFFFFFFF;
    requestsInARow_ = 0;
    requestsSinceAck_ = 0;
    failedBlock_ = 0;
    guard_.resetCount();
    link_.startTransfer();   // counts, cursor and phase to 0; the first block or its part 1
    sent(0, !link_.multiPart());
}

// The message after the last one: the next part of the block under way, or the next block.
void FirmwareTransfer::sendNext()
{
    const std::uint32_t offset = link_.cursor();
    const std::uint32_t lastPart = offset < LargeRegion ? 2 : 4;
    const bool final = !link_.multiPart() || link_.phase() == lastPart;
    link_.advanceTransfer();
    sent(offset, final);
}

// The block from its beginning: its whole message, or its part 1.
void FirmwareTransfer::sendBlock(int index)
{
    link_.moveToBlock(offsetOf(index));
    sendNext();
}

void FirmwareTransfer::sent(std::uint32_t offset, bool final)
{
    log_.push_back({offset, final});
    ++sentTotal_;
    if (log_.size() > LogLength)
        log_.pop_front();
    guard_.watch();
}

bool FirmwareTransfer::written(int index) const
{
    const Block state = blocks_[std::size_t(index)];
    // A unit that takes blocks only in order acknowledged a later block: it holds this one.
    return state == Block::Acked || (order_ == UnitOrder::InOrder && index < topAcked_);
}

void FirmwareTransfer::markAcked(int index)
{
    blocks_[std::size_t(index)] = Block::Acked;
    if (!everAcked_[std::size_t(index)]) {
        everAcked_[std::size_t(index)] = true;
        progressAt_ = sentTotal_;
    }
}

// The highest block up to `to` acknowledged in step; -1 if there is none.
int FirmwareTransfer::highestAcked(int to) const
{
    while (to >= 0 && blocks_[std::size_t(to)] != Block::Acked)
        --to;
    return to;
}

// The first block from `from` on not known to be written; BlockCount if there is none.
int FirmwareTransfer::firstUnwritten(int from) const
{
    while (from < BlockCount && written(from))
        ++from;
    return from;
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

void FirmwareTransfer::replyReceived(ReplyCode code, qint64 arrivedNs)
{
    const bool ack = code == ReplyBlockOk24 || code == ReplyBlockOk25;
    if (!running_ || (!ack && !isResend(code)) || log_.empty())
        return;
    if (guard_.draining()) {
        guard_.reply(code);   // collected for the drain under way
        return;
    }
    if (guard_.reply(code, arrivedNs) == StallGuard::Take::Answer)
        answered(code);
}

void FirmwareTransfer::drainFor(Doubt doubt, ReplyCode trigger)
{
    doubt_ = doubt;
    trigger_ = trigger;
    // A resend request and the end wait a whole reply timeout: what comes later than that is
    // taken for the answer to a later message.
    guard_.drain(doubt != Doubt::Checkpoint);
}

// `code` answers the last message sent, in step.
void FirmwareTransfer::answered(ReplyCode code)
{
    const Sent last = log_.back();
    if (isResend(code)) {
        // Which message it answers is certain only once nothing else is on its way. The drain
        // sends nothing: in step, the unit then gets the block (or next part) again.
        drainFor(Doubt::Resend, code);
        return;
    }
    if (!last.final) {
        sendNext();
        return;
    }
    acked(indexOf(last.offset), code);
}

// An acknowledgement that surely answers the block at `index`: the unit holds it.
void FirmwareTransfer::acked(int index, ReplyCode code)
{
    tookWalked(index);
    markAcked(index);
    topAcked_ = std::max(topAcked_, index);
    requestsInARow_ = 0;
    requestsSinceAck_ = 0;
    blockDone(offsetOf(index));
    if (resolving_ && index == probe_) {
        drainFor(Doubt::Probe, code);   // sure only if nothing else comes
    } else if (resolving_) {
        settle(code);
    } else if (index == BlockCount - 1) {
        drainFor(Doubt::End, code);
    } else if (++sinceCheckpoint_ >= CheckpointBlocks) {
        sinceCheckpoint_ = 0;
        drainFor(Doubt::Checkpoint, code);
    } else {
        moveOnFrom(index + 1, code);
    }
}

// A resend request that surely answers the whole block (or part 0) at `index`.
void FirmwareTransfer::refused(int index, ReplyCode code)
{
    if (!countRequest(offsetOf(index)))
        return;
    if (resolving_ && index == probe_) {
        // The probe, refused again and again: the unit takes blocks only in order, and holds
        // every block below the highest it acknowledged.
        if (++probeRefusals_ >= RefusalsForInOrder) {
            order_ = UnitOrder::InOrder;
            probe_ = -1;
            settle(code);
        } else {
            sendBlock(index);
        }
        return;
    }
    if (order_ == UnitOrder::InOrder && written(index)) {
        moveOnFrom(index + 1, code);   // held by an in-order unit: its refusal says nothing
        return;
    }
    if (resolving_ && order_ == UnitOrder::InOrder && index == firstUnwritten(0)
        && requestsInARow_ >= RefusalsOfNextForInOrder) {
        // An in-order unit that holds every block before this one, and refuses it again and
        // again, waits for a later one: it holds this one too (its acknowledgement was in doubt).
        markAcked(index);
        topAcked_ = std::max(topAcked_, index);
        settle(code);
        return;
    }
    if (order_ == UnitOrder::AnyAddress || resolving_) {
        sendBlock(index);   // a unit that writes any block wants this one again
        return;
    }
    if (walkBack(index))
        return;
    // A block acknowledged before is gone past at its first refusal; one the unit may hold
    // after a repeat at its second (a single refusal may be a damaged copy of the very block
    // the unit waits for).
    const Block state = blocks_[std::size_t(index)];
    const bool mayHold = (state == Block::Doubtful && requestsInARow_ >= 1)
        || ((state != Block::Unknown || maybeHeld_[std::size_t(index)]) && requestsInARow_ >= RefusalsBeforePassing);
    if (mayHold) {
        // The unit may hold it and wait for a later block: go on; settled at the end.
        blocks_[std::size_t(index)] = Block::Passed;
        moveOnFrom(index + 1, code);
        return;
    }
    if (index > 0 && blocks_[std::size_t(index - 1)] == Block::Passed && requestsInARow_ >= RefusalsBeforePassing) {
        // The block after blocks gone past, refused again: an in-order unit still waits for one
        // of them, the first that it does not hold. Back to the first of them.
        int first = index - 1;
        while (first > 0 && blocks_[std::size_t(first - 1)] == Block::Passed)
            --first;
        sendBlock(first);
        return;
    }
    sendBlock(index);   // in step: the block again, as the unit asked
}

// An in-order unit left waiting for a block the transfer took for written (an acknowledgement
// that was not the unit's own, where its refusal was lost) refuses every later block, while the
// going past and back above keeps the transfer among those. After many refusals of different
// blocks with no acknowledgement, the transfer walks back from the lowest block refused (that
// block first: the unit may wait for it, its refusals having been damaged copies or a part
// sent twice), one block a refusal, until the unit takes one (tookWalked()). A unit that writes
// any block takes the first block walked back to. True when the block walked back to went out.
bool FirmwareTransfer::walkBack(int index)
{
    lowestRefused_ = std::min(lowestRefused_, index);
    if (walk_ >= 0 && index == walk_) {
        if (walk_ == 0) {
            walk_ = -1;   // nothing further back
            return false;
        }
        sendBlock(--walk_);
        return true;
    }
    // (One block refused again and again is the unit asking for it: the request bound decides.)
    if (walk_ >= 0 || walks_ >= MaxWalks || lowestRefused_ == 0 || requestsSinceAck_ < RefusalsBeforeWalkingBack
        || requestsInARow_ >= requestsSinceAck_)
        return false;
    ++walks_;
    walk_ = lowestRefused_;
    sendBlock(walk_);
    return true;
}

// An acknowledgement of the block at `index`: if the transfer walked back to it, the unit waits
// for the block after it (an in-order unit holds none after it; one that writes any block gets
// them again).
void FirmwareTransfer::tookWalked(int index)
{
    if (walk_ >= 0 && index == walk_) {
        for (int i = index + 1; i < BlockCount; ++i) {
            blocks_[std::size_t(i)] = Block::Unknown;
            maybeHeld_[std::size_t(i)] = false;
        }
        topAcked_ = highestAcked(index);
    }
    walk_ = -1;
    lowestRefused_ = BlockCount;
}

// Sends the first block from `index` on that is not known to be written; past the last one,
// the end's drain (`why`: the reply that led here).
void FirmwareTransfer::moveOnFrom(int index, ReplyCode why)
{
    index = firstUnwritten(index);
    if (index >= BlockCount) {
        drainFor(Doubt::End, why);
        return;
    }
    sendBlock(index);
}

bool FirmwareTransfer::countRequest(std::uint32_t offset)
{
    if (offset == askedBlock_) {
        ++requestsInARow_;
    } else {
        askedBlock_ = offset;
        requestsInARow_ = 1;
    }
    // Refused again and again while going between blocks: no block acknowledged for this many
    // requests, or no block acknowledged for the first time for this many messages, ends the
    // transfer too (naming the lowest block not known to be written).
    const std::uint64_t perTransfer = link_.multiPart() ? 3 * SmallBlockCount + 5 * (BlockCount - SmallBlockCount)
                                                        : BlockCount;
    if (++requestsSinceAck_ >= 4 * MaxRequestsForBlock
        || sentTotal_ - progressAt_ > TransfersWithoutProgress * perTransfer) {
        offset = offsetOf(std::min(firstUnwritten(0), BlockCount - 1));
        requestsInARow_ = MaxRequestsForBlock;
    }
    if (requestsInARow_ < MaxRequestsForBlock)
        return true;
    failedBlock_ = offset;
    abandon();
    emit unitKeepsAsking(offset);
    return false;
}

void FirmwareTransfer::drained()
{
    if (!running_)
        return;
    QList<ReplyCode> replies = guard_.collected();
    const Doubt doubt = doubt_;
    if (doubt != Doubt::None)
        replies.prepend(trigger_);   // the answer to the last message before the drain
    doubt_ = Doubt::None;
    const Sent last = log_.back();

    // A resend request that seems to answer a block's part 1 may answer the previous block's
    // part 0 (a copy of a reply taken in step puts the host one message ahead unseen): it is
    // matched as in doubt below, which goes back to the previous block.
    const bool lastIndexed = log_.size() >= 2;
    const bool afterPart0 = !lastIndexed || log_[log_.size() - 2].final;
    const bool maybeAhead = !last.final && afterPart0;
    // Nothing came besides the reply that asked for the drain: the host is in step. After a
    // whole reply timeout of quiet, what went before is settled: a later doubt never reaches
    // back past it (a checkpoint's short wait may miss a late reply that shows the host ahead).
    if (doubt != Doubt::None && replies.size() == 1 && !(doubt == Doubt::Resend && maybeAhead)) {
        if (doubt != Doubt::Checkpoint)
            settledTotal_ = sentTotal_;
        if (doubt == Doubt::End) {
            reachedEnd();
        } else if (doubt == Doubt::Probe) {
            // The probe, acknowledged with nothing else on the way: a unit that writes any block.
            order_ = UnitOrder::AnyAddress;
            probe_ = -1;
            settle(trigger_);
        } else if (doubt == Doubt::Checkpoint) {
            moveOnFrom(indexOf(last.offset) + 1, trigger_);
        } else if (!last.final) {
            sendNext();   // a resend request in the middle of a block: the next part
        } else {
            refused(indexOf(last.offset), trigger_);
        }
        return;
    }

    // The replies answer the last replies.size() messages, in order, if nothing was lost or
    // doubled on the way. A doubled reply makes the list longer: the match then reaches
    // further back, which is the safe direction.
    const int n = int(replies.size());
    const int lastIndex = int(log_.size()) - 1;
    const int first = std::max(0, lastIndex - std::max(n, 1) + 1);
    const bool anyResend = std::any_of(replies.cbegin(), replies.cend(), isResend);

    if (n > 0 && !anyResend) {
        // Only the last message is surely answered: every earlier one had its answer taken in
        // step already, and surplus acknowledgements (copies, another host's) say nothing of
        // the messages they would reach back to, which may have been refused.
        if (last.final)
            tookWalked(indexOf(last.offset));
        if (last.final && !written(indexOf(last.offset))) {
            markAcked(indexOf(last.offset));
            blockDone(last.offset);
        }
        if (!last.final)
            sendNext();
        else if (indexOf(last.offset) == BlockCount - 1 || resolving_)
            drainFor(Doubt::End, replies.constLast());   // settle the end with a thorough drain
        else
            moveOnFrom(indexOf(last.offset) + 1, replies.constLast());
        return;
    }
    const bool afterFinal = lastIndex == 0 || log_[std::size_t(lastIndex - 1)].final;
    if (n == 1 && !last.final && !afterFinal) {
        // In the middle of a block: the unit keeps the part and the block is judged at its
        // part 0; the next part goes out, as for an acknowledgement.
        sendNext();
        return;
    }
    goBack(first, lastIndex, std::all_of(replies.cbegin(), replies.cend(), isResend));
}

// A resend request among replies whose messages are in doubt: go back to the lowest block
// among the messages they can answer, and one message further (the answer to the last
// message may come after the drain, making the request the answer to the one before). The
// acknowledgements of those blocks may have answered other messages: they are in doubt too,
// and so is whether the unit holds them.
void FirmwareTransfer::goBack(int firstLog, int lastLog, bool onlyRefusals)
{
    // Messages before the last drain that found the host in step are settled.
    const std::uint64_t logBegins = sentTotal_ - log_.size();
    const int settled = settledTotal_ > logBegins ? int(settledTotal_ - logBegins) : 0;
    firstLog = std::min(std::max(firstLog, settled), lastLog);
    const int from = std::min(std::max(settled, firstLog - 1), lastLog);
    if (onlyRefusals && resolving_ && probe_ >= 0) {
        // Only refusals, and every message they can answer is (a copy of) the probe: the unit
        // refused the probe, as in step (on a slow link every copy may be answered).
        bool onlyProbe = true, whole = false;
        for (int i = from; i <= lastLog; ++i) {
            onlyProbe = onlyProbe && indexOf(log_[std::size_t(i)].offset) == probe_;
            whole = whole || log_[std::size_t(i)].final;
        }
        if (onlyProbe && whole) {
            refused(probe_, ReplyResendLarge);
            return;
        }
    }
    if (!countRequest(log_[std::size_t(firstLog)].offset))
        return;
    // (The last message always counts: a reply after a drain that settled it answers it.)
    int lowest = BlockCount;
    for (int i = from; i <= lastLog; ++i) {
        const int index = indexOf(log_[std::size_t(i)].offset);
        lowest = std::min(lowest, index);
        maybeHeld_[std::size_t(index)] = true;
        if (blocks_[std::size_t(index)] == Block::Acked)
            blocks_[std::size_t(index)] = Block::Doubtful;
    }
    topAcked_ = highestAcked(BlockCount - 1);
    // Asked again and again for a block it may hold, with replies that never come in step (on
    // a busy machine a refusal can look too soon): go past it as for refusals in step, after
    // a few more of them (a stray resend request is in doubt too); the end settles it.
    if (!resolving_ && order_ != UnitOrder::AnyAddress && offsetOf(lowest) == askedBlock_
        && requestsInARow_ >= RefusalsInDoubtBeforePassing && maybeHeld_[std::size_t(lowest)]) {
        blocks_[std::size_t(lowest)] = Block::Passed;
        moveOnFrom(lowest + 1, ReplyResendLarge);
        return;
    }
    sendBlock(lowest);
}

// The last block is acknowledged and the link was quiet: done when every block is written;
// blocks gone past are settled first by sending them again.
void FirmwareTransfer::reachedEnd()
{
    if (firstUnwritten(0) >= BlockCount) {
        finish();
        return;
    }
    resolving_ = true;
    settle(ReplyBlockOk24);
}

// Past the last block: sends the first block not known to be written, or, while the transfer
// does not know how the unit takes addresses, first a block the unit surely holds (neither
// block 0, which an in-order unit takes again after the last block, nor the last block, which
// one may acknowledge again): a unit that writes any block acknowledges it, an in-order one
// refuses it. Nothing left: the end's drain.
void FirmwareTransfer::settle(ReplyCode why)
{
    const int index = firstUnwritten(0);
    if (index >= BlockCount) {
        drainFor(Doubt::End, why);
        return;
    }
    if (order_ == UnitOrder::Unknown && probe_ < 0) {
        const int p = highestAcked(BlockCount - 2);
        probe_ = p >= 1 ? p : -1;
        probeRefusals_ = 0;
    }
    sendBlock(order_ == UnitOrder::Unknown && probe_ >= 0 ? probe_ : index);
}

void FirmwareTransfer::finish()
{
    running_ = false;
    resolving_ = false;
    count_ = EndCount;
    guard_.stop();
    emit finished();
}

void FirmwareTransfer::abandon()
{
    running_ = false;
    resolving_ = false;
    if (count_ < EndCount)
        count_ = EndCount;
    doubt_ = Doubt::None;
    guard_.stop();
}

int FirmwareTransfer::resendRequests() const
{
    return link_.retryCount();
}

} // namespace Tarsyn

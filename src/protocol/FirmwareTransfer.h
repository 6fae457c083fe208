#pragma once
// FirmwareTransfer: one firmware update over a DeviceLink, as the window and tarsyn-flash
// both run it. It sends the payload block by block, paced by the unit's replies, keeps the
// progress counter (1 per 256-byte block, 10 per 512-byte block, 10848 at the end) and
// decides completion.
//
// Staying in step. Replies carry no sequence numbers: an acknowledgement that comes twice
// would otherwise be taken as the answer to the next block, and the host would run ahead of
// the unit without knowing it; a resend request would then bring back the wrong block.
// Every message sent is logged with the block it belongs to. The StallGuard takes a reply
// as the answer to the last message only when it comes in step; otherwise, and whenever
// the host must be sure (a resend request, the end of the payload, every CheckpointBlocks
// blocks), it drains the link and the replies that came are matched to the last messages
// sent. Where a resend request is among them, the transfer goes back to the block of the
// earliest message they can answer and sends on from there: blocks carry their address, so
// writing one again is harmless; skipping one never is. Success is reported only after the
// last block's acknowledgement and a drain that found nothing to doubt.
//
// Runs on the thread that owns it.

#include "StallGuard.h"
#include "SysEx.h"

#include <QObject>

#include <cstdint>
#include <deque>

namespace Tarsyn {

class DeviceLink;

class FirmwareTransfer : public QObject {
    Q_OBJECT
public:
    static constexpr int EndCount = 10848;      // 2048 x 1 + 880 x 10
    static constexpr int SmallBlockCount = 2048;
    // The unit asking for one block again this many times in a row ends the transfer.
    static constexpr int MaxRequestsForBlock = 16;
    // Blocks between two drains that prove the host is still in step.
    static constexpr int CheckpointBlocks = 512;

    explicit FirmwareTransfer(DeviceLink &link, QObject *parent = nullptr);

    // Sets the counter to 0 and sends the first block (the image must be loaded).
    void start();
    // A block acknowledgement or resend request from the unit; other replies are ignored.
    void replyReceived(ReplyCode code);
    // Stops the transfer without completing it (ports closed, the unit gave up).
    void abandon();

    int progressCount() const { return count_; }
    bool running() const { return running_; }
    int resendRequests() const;          // the unit's resend requests since start()
    int repeats() const { return guard_.repeats(); }
    // The block the unit kept asking for (after unitKeepsAsking).
    std::uint32_t failedBlock() const { return failedBlock_; }

    StallGuard &guard() { return guard_; }
    const StallGuard &guard() const { return guard_; }

    // The progress count of the payload up to `end` (a block boundary).
    static int countFor(std::uint32_t end);

signals:
    // A block was completed for the first time: the bar shows `barValue` (the count before
    // this block), the counter is now `count`.
    void progressed(int barValue, int count);
    // Every block of the payload was acknowledged in step.
    void finished();
    // The unit did not answer within the silence span; the transfer has been abandoned.
    void unitSilent();
    // The unit asked for the block at `offset` MaxRequestsForBlock times in a row; abandoned.
    void unitKeepsAsking(std::uint32_t offset);

private:
    struct Sent {
        std::uint32_t offset;   // the block's offset in the image
        bool final;             // the whole block, or its part 0
    };

    enum class Doubt { None, Resend, End, Checkpoint };

    void sendNext();
    void sent(std::uint32_t offset, bool final);   // log it and await its reply
    void answered(ReplyCode code);
    void drained();
    void restartAt(std::uint32_t offset, std::uint32_t askedFor);
    void blockDone(std::uint32_t offset);
    bool lastBlock(const Sent &sent) const;
    void drainFor(Doubt doubt, ReplyCode trigger);

    DeviceLink &link_;
    StallGuard guard_;
    std::deque<Sent> log_;
    bool running_ = false;
    int count_ = EndCount;             // no transfer yet
    std::uint32_t ackedEnd_ = 0;       // progress: the end of the highest block completed
    int sinceCheckpoint_ = 0;
    Doubt doubt_ = Doubt::None;
    ReplyCode trigger_ = ReplyNone;
    std::uint32_t askedBlock_ = 0xFFFFFFFF;
    int requestsInARow_ = 0;
    std::uint32_t failedBlock_ = 0;
};

} // namespace Tarsyn

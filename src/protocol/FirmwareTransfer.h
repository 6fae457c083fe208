#pragma once
// FirmwareTransfer: one firmware update over a DeviceLink, as the window and tarsyn-flash
// both run it. It sends the payload block by block, paced by the unit's replies, keeps the
// progress counter (1 per 256-byte block, 10 per 512-byte block, 10848 at the end) and
// decides completion.
//
// Replies carry no sequence numbers, and units differ in what they do with a block's
// address (one writes any block where it says, another takes only the block it waits for).
// How the transfer stays in step with every such unit is told in README.md, "Staying in
// step". The invariants kept here: a block counts as written only on an acknowledgement
// that surely answers it, or, for a unit shown to take blocks only in order, on the
// acknowledgement of a later block; with nothing going wrong the unit receives exactly the
// plain stop-and-wait sequence (each block once, and for a resend request the block again,
// or in the middle of a block its next part); success needs every block written and a drain
// that found nothing in doubt.
//
// Runs on the thread that owns it.

#include "StallGuard.h"
#include "SysEx.h"

#include <QObject>

#include <cstdint>
#include <deque>
#include <vector>

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
    // `arrivedNs`: when it arrived (see StallGuard::reply()).
    void replyReceived(ReplyCode code, qint64 arrivedNs = -1);
    // Stops the transfer without completing it (ports closed, the unit gave up).
    void abandon();

    int progressCount() const { return count_; }
    bool running() const { return running_; }
    int resendRequests() const;          // the unit's resend requests since start()
    int repeats() const { return guard_.repeats(); }
    // The block the unit kept asking for (after unitKeepsAsking).
    std::uint32_t failedBlock() const { return failedBlock_; }

    // What the transfer has learnt of how the unit takes addresses.
    enum class UnitOrder {
        Unknown,
        AnyAddress,   // it acknowledged again a block it held, with nothing else on the way
        InOrder,      // it kept refusing a block it must already hold
    };
    UnitOrder unitOrder() const { return order_; }

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

    // What the host knows of each block of the payload.
    enum class Block : std::uint8_t {
        Unknown,    // no acknowledgement seen
        Acked,      // an acknowledgement surely answered it: written
        Doubtful,   // acknowledged, but a later doubt covered that acknowledgement
        Passed,     // refused while the unit may hold it already; gone past
    };

    enum class Doubt { None, Resend, End, Checkpoint, Probe };

    static int indexOf(std::uint32_t offset);
    static std::uint32_t offsetOf(int index);

    void sendNext();
    void sendBlock(int index);
    void sent(std::uint32_t offset, bool final);   // log it and await its reply
    void answered(ReplyCode code);
    void drained();
    void refused(int index, ReplyCode code);
    void acked(int index, ReplyCode code);
    void moveOnFrom(int index, ReplyCode why);
    bool walkBack(int index);
    void tookWalked(int index);
    void goBack(int firstLog, int lastLog, bool onlyRefusals);
    bool countRequest(std::uint32_t offset);
    void markAcked(int index);
    bool written(int index) const;
    int highestAcked(int to) const;
    int firstUnwritten(int from) const;
    void reachedEnd();
    void settle(ReplyCode why);
    void finish();
    void blockDone(std::uint32_t offset);
    void drainFor(Doubt doubt, ReplyCode trigger);

    DeviceLink &link_;
    StallGuard guard_;
    std::deque<Sent> log_;
    std::vector<Block> blocks_;
    std::vector<bool> maybeHeld_;      // a copy went out whose outcome is not surely known
    std::vector<bool> everAcked_;      // acknowledged in step at least once since start()
    std::uint64_t progressAt_ = 0;     // messages sent when a block was first acknowledged
    UnitOrder order_ = UnitOrder::Unknown;
    bool running_ = false;
    bool resolving_ = false;           // past the last block: settling blocks gone past
    int count_ = EndCount;             // no transfer yet
    std::uint32_t ackedEnd_ = 0;       // progress: the end of the highest block completed
    int topAcked_ = -1;                // the highest block surely acknowledged
    int sinceCheckpoint_ = 0;
    int probe_ = -1;                   // a block the unit surely holds, sent to learn its order
    int probeRefusals_ = 0;
    int lowestRefused_ = 0;            // the lowest block refused in step since the last acknowledgement
    int walk_ = -1;                    // a block sent while walking back to the one the unit waits for
    int walks_ = 0;
    std::uint64_t sentTotal_ = 0;      // messages sent since start(), repeats included
    std::uint64_t settledTotal_ = 0;   // of which answered before a drain found the host in step
    Doubt doubt_ = Doubt::None;
    ReplyCode trigger_ = ReplyNone;
    std::uint32_t askedBlock_ = 0xFFFFFFFF;
    int requestsInARow_ = 0;
    int requestsSinceAck_ = 0;
    std::uint32_t failedBlock_ = 0;
};

} // namespace Tarsyn

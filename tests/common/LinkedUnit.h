#pragma once
// The unit's side of the link for the session and window tests: firmware blocks in both forms
// written into a flash (by their address, or only the block the unit waits for: so that only
// the flash's content tells whether the host stayed in step), preset reads and writes from a
// store, and a link that delays, loses, doubles and strays replies. Replies are delivered to
// the callback given by a timer of the clock given: the event loop's on the system clock, or
// whenever a test moves its own clock on.

#include "Clock.h"
#include "MessageSink.h"
#include "SysEx.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>

#include <functional>
#include <map>
#include <set>
#include <vector>

namespace TestSupport {

using namespace Tarsyn;

inline QByteArray reply(std::uint8_t command, const QByteArray &payload = {})
{
    return QByteArray("\xF0\x00\x11\x22\x02\x00\x00\x00\x00", 9) + char(command) + payload + char(0xF7);
}

// The identity reply of serial 22037 (000-022-037), firmware 2.`minor`, named "Tarsyn+".
inline QByteArray identityReply(int minor)
{
    return reply(Tarsyn::UnitIdentity, QByteArray("\x02", 1) + char(minor << 1) + "Tarsyn+\x7F")
        .replace(5, 4, "\x15\x2C\x01\x00", 4);
}

// What the link does to the unit's replies. Counts are of replies sent, from 1.
struct LinkFaults {
    int latencyMs = 0;
    int duplicateEvery = 0;      // this reply arrives a second time ...
    int duplicateDelayMs = 0;    // ... this much later
    int dropEvery = 0;           // this reply never arrives
    int strayIdentityEvery = 0;  // an identity reply of another version goes with it
    int strayReplyEvery = 0;     // a reply the unit never sent (ack or resend) comes first
    int silentAfter = -1;        // no replies after this many
    std::set<int> lost;          // these replies never arrive
    int pauseAtReply = 0;        // this reply and all after it wait ...
    int pauseMs = 0;             // ... this long (the unit reads nothing meanwhile)
    int slowFromReply = 0;       // this reply and all after it take ...
    int slowMs = 0;              // ... this much longer (a machine under load)
    int jitterMs = 0;            // each reply up to this much later again, in order
};

// How a unit judges a good block's address (as tarsyn-virtual-unit --address-policy):
// Any writes it where it says; Sequence takes only the block it waits for and acknowledges
// the one it wrote last again without writing it; Strict takes only the block it waits for.
// Every other block is refused with a resend request. After the payload's last block the unit
// waits for block 0 again.
enum class AddressPolicy { Any, Sequence, Strict };

// The unit's side: blocks in both forms into a flash, preset reads and writes.
class LinkedUnit : public MessageSink {
public:
    explicit LinkedUnit(std::function<void(const QByteArray &)> deliver, Clock &clock = Clock::system())
        : flash(ImageSize, 0xAA), presets(std::size_t(PresetCount) * PresetSize), clock_(clock)
        , deliver_(std::move(deliver))
    {
        due_.setClock(clock);
        for (std::size_t i = 0; i < presets.size(); ++i)
            presets[i] = std::uint8_t(i * 7 + i / 256);
    }

    bool sendLongMessage(const QByteArray &m) override
    {
        sent.push_back(m);
        const std::uint8_t command = std::uint8_t(m[CommandPos]);
        if (command == CmdPresetRead) {
            char packed[PackedPresetSize];
            packSevenBit(&presets[preset(m)], PresetSize, reinterpret_cast<std::uint8_t *>(packed));
            send(reply(UnitPresetData, QByteArray(packed, PackedPresetSize)));
        } else if (command == CmdPresetWrite) {
            if (ignoredWrites > 0 && int(preset(m)) == ignoredPreset)
                --ignoredWrites;
            else
                unpackSevenBit(PackedPresetSize, reinterpret_cast<const std::uint8_t *>(m.constData()) + 12, &presets[preset(m)]);
            send(reply(UnitPresetWritten));
        } else if (command >= CmdPart1 && command <= CmdPart4) {
            const int part = command - CmdSmallBlock;
            if (part == 1)
                stream_.clear();
            stream_ += m.mid(HeaderLength, m.size() - HeaderLength - 1);
            partsSeen_ = part;
            // (Not at part 1: a request there may answer the block before, and the host goes back.)
            const bool midResend = part >= 2 && resendMidBlockEvery > 0 && ++partsReceived_ % resendMidBlockEvery == 0;
            send(reply(midResend ? (part == 2 && m.size() == 70 ? UnitResendSmall : UnitResendLarge) : UnitBlockOk));
        } else if (command == CmdSmallBlock || command == CmdLargeBlock) {
            const int size = command == CmdSmallBlock ? 256 : 512;
            const QByteArray s = m.mid(HeaderLength, m.size() - HeaderLength - 1) + (multiPart ? stream_ : QByteArray());
            const bool whole = s.size() == 3 + size / 4 * 5 && (!multiPart || partsSeen_ == (size == 256 ? 2 : 4));
            stream_.clear();
            partsSeen_ = 0;
            send(reply(whole && write(s, size) ? UnitBlockOk : size == 256 ? UnitResendSmall : UnitResendLarge));
        }
        return true;
    }

    LinkFaults faults;
    bool multiPart = false;
    AddressPolicy policy = AddressPolicy::Any;
    std::set<std::uint32_t> resendOnce;  // blocks asked for again the first time they arrive
    std::map<std::uint32_t, int> refuse; // blocks asked for again this many times
    int resendMidBlockEvery = 0;         // a resend request for every Nth part before part 0
    bool resendAlways = false;
    std::vector<std::uint32_t> blocksReceived;  // the address of every good whole block / part 0
    int ignoredPreset = -1, ignoredWrites = 0;
    std::vector<QByteArray> sent;
    std::vector<std::uint8_t> flash;
    std::vector<std::uint8_t> presets;
    int replies = 0;

private:
    static std::size_t preset(const QByteArray &m) { return std::size_t(m[11] * PresetSlots + m[10]) * PresetSize; }

    bool write(const QByteArray &s, int size)
    {
        const std::uint32_t offset = (std::uint32_t(std::uint8_t(s[0])) | std::uint32_t(std::uint8_t(s[1])) << 7) << 8;
        int sum = 0;
        for (int i = 3; i < s.size(); ++i)
            sum += std::uint8_t(s[i]);
        if ((sum & 0x7F) != s[2] || offset + std::uint32_t(size) > ImageSize)
            return false;
        blocksReceived.push_back(offset);
        if (policy != AddressPolicy::Any) {
            if (offset == 0 && waited_ >= PayloadSize)
                waited_ = 0;
            if (offset != waited_)
                return policy == AddressPolicy::Sequence && offset + std::uint32_t(size) == waited_;
        }
        if (resendAlways || resendOnce.erase(offset) > 0)
            return false;
        if (auto r = refuse.find(offset); r != refuse.end() && r->second > 0) {
            --r->second;
            return false;
        }
        unpackSevenBit(int(s.size()) - 3, reinterpret_cast<const std::uint8_t *>(s.constData()) + 3, &flash[offset]);
        waited_ = offset + std::uint32_t(size);
        return true;
    }

    void send(const QByteArray &r)
    {
        const int n = ++replies;
        if (faults.silentAfter >= 0 && n > faults.silentAfter)
            return;
        if (faults.pauseAtReply > 0 && n >= faults.pauseAtReply && !paused_) {
            paused_ = true;
            pauseEnds_.start();
        }
        // While the unit pauses, what arrives waits; afterwards every reply goes out at once.
        const int wait = paused_ ? int(qMax<qint64>(0, faults.pauseMs - pauseEnds_.elapsed())) : 0;
        const bool slow = faults.slowFromReply > 0 && n >= faults.slowFromReply;
        int at = faults.latencyMs + wait + (slow ? faults.slowMs : 0);
        bool inOrder = false;
        if (slow && faults.jitterMs > 0) {
            jitter_ = jitter_ * 1103515245u + 12345u;
            at += int((jitter_ >> 16) % std::uint32_t(faults.jitterMs + 1));
            inOrder = true;   // a link delivers in order: never before the reply sent before
        }
        // What arrives together is delivered in one go: two deliveries due at the same moment
        // must not come a round trip apart (as two timers may on a loaded machine), which
        // would turn a stray that comes with a refusal into a stray in its place and the
        // refusal into a late one (the case no host can tell without sequence numbers), and a
        // copy at +0 into a late copy.
        QList<QByteArray> together;
        if (faults.strayIdentityEvery && n % faults.strayIdentityEvery == 0)
            together << reply(UnitIdentity, QByteArray("\x02\x12", 2) + "Other");
        if (faults.strayReplyEvery && n % faults.strayReplyEvery == 0)
            together << reply((n / faults.strayReplyEvery) % 3 == 0 ? UnitResendSmall : UnitBlockOk);
        const bool dropped = (faults.dropEvery && n % faults.dropEvery == 0) || faults.lost.contains(n);
        const bool doubled = !dropped && faults.duplicateEvery && n % faults.duplicateEvery == 0;
        if (!dropped)
            together << r;
        if (doubled && faults.duplicateDelayMs == 0)
            together << r;
        post(at, together, inOrder);
        if (doubled && faults.duplicateDelayMs > 0)
            post(at + faults.duplicateDelayMs, {r});
    }

    void post(int ms, const QList<QByteArray> &messages, bool inOrder = false)
    {
        if (messages.isEmpty())
            return;
        qint64 due = clock_.nowNs() + qint64(ms) * 1000000;
        if (inOrder && !onTheWay_.empty())
            due = qMax(due, onTheWay_.rbegin()->first);
        onTheWay_.emplace(due, messages);
        arm();
    }

    void delivered()
    {
        while (!onTheWay_.empty() && onTheWay_.begin()->first <= clock_.nowNs()) {
            const QList<QByteArray> messages = onTheWay_.begin()->second;
            onTheWay_.erase(onTheWay_.begin());
            for (const QByteArray &m : messages)
                deliver_(m);
        }
        arm();
    }

    void arm()
    {
        if (onTheWay_.empty())
            return due_.stop();
        const qint64 ns = onTheWay_.begin()->first - clock_.nowNs();
        due_.start(int(qMax<qint64>(0, (ns + 999999) / 1000000)));
    }

    Clock &clock_;
    // Replies on their way by the time they arrive (those due together in the order sent);
    // dropped with the unit.
    std::multimap<qint64, QList<QByteArray>> onTheWay_;
    ClockTimer due_{[this] { delivered(); }, true};
    std::function<void(const QByteArray &)> deliver_;
    QByteArray stream_;
    int partsSeen_ = 0;
    int partsReceived_ = 0;
    std::uint32_t waited_ = 0;
    bool paused_ = false;
    ClockStamp pauseEnds_{clock_};
    std::uint32_t jitter_ = 1;
};

// Runs the event loop until `done` holds (checked after every event); false after 2 minutes.
// (QTest::qWaitFor sleeps between rounds of events: too slow for thousands of round trips.)
inline bool waitUntil(const std::function<bool()> &done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 120000)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    return true;
}

} // namespace TestSupport

// StallGuard on a clock the test steps: when a reply is the answer, when the last message
// goes out again, how long a drain waits, and when the unit is given up.
#include "CaptureSink.h"
#include "DeviceLink.h"
#include "ManualClock.h"
#include "StallGuard.h"

#include <QSignalSpy>
#include <QTest>

using namespace Tarsyn;
using TestSupport::ManualClock;

namespace {

constexpr qint64 Ms = ManualClock::NsPerMs;

struct GuardRig {
    ManualClock clock;
    CaptureSink sink;
    DeviceLink link;
    StallGuard guard{link};
    QSignalSpy repeated{&guard, &StallGuard::repeated};
    QSignalSpy drained{&guard, &StallGuard::drained};
    QSignalSpy silent{&guard, &StallGuard::unitSilent};

    GuardRig()
    {
        guard.setClock(clock);
        link.setSink(&sink);
        link.sendIdentifyRequest();   // the message a repeat sends again
        sink.messages.clear();
    }
    // One message answered in step after `ms`.
    void answered(qint64 ms)
    {
        guard.watch();
        clock.advance(ms * Ms);
        QCOMPARE(guard.reply(ReplyBlockOk24), StallGuard::Take::Answer);
    }
    // Three round trips of `ms` measured: the link's typical one is known.
    void measured(qint64 ms)
    {
        for (int i = 0; i < 3; ++i)
            answered(ms);
    }
    // The clock's time from now until the guard's next timer fires.
    qint64 untilNextMs() const { return (clock.nextDueNs() - clock.nowNs()) / Ms; }
};

} // namespace

class TestStallGuard : public QObject {
    Q_OBJECT
private slots:
    void inStep();
    void backoffKept();
    void tooSoonHeld();
    void arrivalTime();
    void repeatSpread();
    void givingUp_data();
    void givingUp();
};

// One copy out, answered after a plausible time: taken, measured, nothing left to wait for.
void TestStallGuard::inStep()
{
    GuardRig rig;
    rig.guard.setEchoFilter(true);
    rig.answered(7);
    QVERIFY(rig.guard.replyTimer().measured());
    QCOMPARE(rig.guard.replyTimer().smoothedNs(), 7 * Ms);
    QCOMPARE(rig.clock.pending(), 0);
    rig.clock.advance(60000 * Ms);
    QCOMPARE(rig.repeated.size() + rig.drained.size() + rig.silent.size(), 0);
    QVERIFY(rig.sink.messages.isEmpty());
}

// Each repeat doubles the timeout; the doubling stays for the next messages (a reply after a
// repeat is held, which does not count) until a reply comes in step.
void TestStallGuard::backoffKept()
{
    GuardRig rig;
    rig.guard.setTimeout(20);
    rig.guard.watch();
    QCOMPARE(rig.untilNextMs(), 20);
    rig.clock.advance(20 * Ms);
    QCOMPARE(rig.repeated.size(), 1);
    QCOMPARE(rig.sink.messages.size(), 1);
    QCOMPARE(rig.untilNextMs(), 40);
    rig.clock.advance(40 * Ms);
    QCOMPARE(rig.repeated.size(), 2);
    QCOMPARE(rig.repeated.last().at(0).toInt(), 2);
    QCOMPARE(rig.guard.reply(ReplyBlockOk24), StallGuard::Take::Held);
    QVERIFY(rig.clock.runUntil([&] { return rig.drained.size() == 1; }));
    QCOMPARE(rig.guard.collected(), QList<ReplyCode>{ReplyBlockOk24});

    rig.guard.watch();   // the next message: still twice doubled
    QCOMPARE(rig.untilNextMs(), 80);
    QCOMPARE(rig.guard.reply(ReplyBlockOk24), StallGuard::Take::Answer);
    rig.guard.watch();   // after a reply in step: the initial timeout again
    QCOMPARE(rig.untilNextMs(), 20);
    QCOMPARE(rig.guard.repeats(), 2);
    QCOMPARE(rig.guard.repeatsInARow(), 0);
}

// On a measured link a reply that comes well under the typical round trip is held; the drain
// ends once the link has been quiet for twice the smoothed round trip after the last reply.
void TestStallGuard::tooSoonHeld()
{
    GuardRig rig;
    rig.guard.setEchoFilter(true);
    rig.measured(10);
    rig.guard.watch();
    rig.clock.advance(5 * Ms);
    QCOMPARE(rig.guard.reply(ReplyResendSmall), StallGuard::Take::Held);
    QVERIFY(rig.guard.draining());
    QCOMPARE(rig.guard.quietMs(), 20);
    rig.clock.advance(15 * Ms);
    QCOMPARE(rig.guard.reply(ReplyBlockOk24), StallGuard::Take::Held);   // the wait starts again
    rig.clock.advance(19 * Ms);
    QCOMPARE(rig.drained.size(), 0);
    rig.clock.advance(1 * Ms);
    QCOMPARE(rig.drained.size(), 1);
    QCOMPARE(rig.guard.collected(), (QList<ReplyCode>{ReplyResendSmall, ReplyBlockOk24}));
    QCOMPARE(rig.guard.heldReplies(), 1);
    QVERIFY(rig.sink.messages.isEmpty());
    // The same reply after a plausible time is the answer.
    rig.answered(8);
}

// A reply is judged by when it arrived (the stamp its MIDI event carries), not by when the
// host's thread got round to it: one that waited in the queue of a busy thread may have come
// too soon, and one that arrived before the message went out cannot answer it.
void TestStallGuard::arrivalTime()
{
    GuardRig rig;
    rig.guard.setEchoFilter(true);
    rig.measured(10);
    // Arrived 9 ms after the send, taken up at 15 ms: a plausible round trip.
    rig.guard.watch();
    qint64 sent = rig.clock.nowNs();
    rig.clock.advance(15 * Ms);
    QCOMPARE(rig.guard.reply(ReplyBlockOk24, sent + 9 * Ms), StallGuard::Take::Answer);
    // Arrived 3 ms after the send, under 0.6 x the typical 10 ms, taken up at 12 ms: too soon.
    rig.guard.watch();
    sent = rig.clock.nowNs();
    rig.clock.advance(12 * Ms);
    QCOMPARE(rig.guard.reply(ReplyBlockOk24, sent + 3 * Ms), StallGuard::Take::Held);
    rig.guard.stop();
    // Arrived before the message went out.
    rig.guard.watch();
    sent = rig.clock.nowNs();
    rig.clock.advance(12 * Ms);
    QCOMPARE(rig.guard.reply(ReplyBlockOk24, sent - Ms), StallGuard::Take::Held);
    QCOMPARE(rig.guard.heldReplies(), 2);
}

// After a repeat the answer to the last copy may come as late after it as one to the first
// copy: the drain waits the time between the copies on top.
void TestStallGuard::repeatSpread()
{
    GuardRig rig;
    rig.measured(15);
    const int timeout = rig.guard.replyTimer().timeoutMs();
    QCOMPARE(timeout, 32);
    rig.guard.watch();
    rig.clock.advance(timeout * Ms);
    QCOMPARE(rig.repeated.size(), 1);
    rig.clock.advance(5 * Ms);
    QCOMPARE(rig.guard.reply(ReplyBlockOk24), StallGuard::Take::Held);
    QCOMPARE(rig.guard.quietMs(), 30 + timeout);
    rig.clock.advance((30 + timeout - 1) * Ms);
    QCOMPARE(rig.drained.size(), 0);
    rig.clock.advance(1 * Ms);
    QCOMPARE(rig.drained.size(), 1);
}

// Nothing answers: the guard repeats, then gives up at the silence span, or after the repeats
// in a row once they also took (repeats + 1) initial timeouts.
void TestStallGuard::givingUp_data()
{
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("answeredMs");   // round trips measured first (0: none)
    QTest::addColumn<int>("silenceMs");
    QTest::addColumn<int>("maxRepeats");
    QTest::addColumn<int>("silentAtMs");
    QTest::addColumn<int>("repeats");
    // 10, 20, 40, then the span's last 30 ms.
    QTest::newRow("silence span") << 10 << 0 << 100 << 0 << 100 << 3;
    QTest::newRow("silence span, the span first") << 10 << 0 << 5 << 0 << 5 << 0;
    // 10, 20, then the bound with 70 >= 3 x 10 ms.
    QTest::newRow("repeat bound") << 10 << 0 << 0 << 2 << 70 << 2;
    // A fast link (timeout 10 ms, the initial one 100 ms): the first repeat after the floor of
    // 25 ms, then 50, 100 and 200; the bound holds once 300 ms have passed.
    QTest::newRow("repeat bound, fast link") << 100 << 1 << 0 << 2 << 375 << 3;
    QTest::newRow("repeat bound, silence first") << 10 << 0 << 50 << 5 << 50 << 2;
}

void TestStallGuard::givingUp()
{
    QFETCH(int, timeoutMs);
    QFETCH(int, answeredMs);
    QFETCH(int, silenceMs);
    QFETCH(int, maxRepeats);
    QFETCH(int, silentAtMs);
    QFETCH(int, repeats);
    GuardRig rig;
    rig.guard.setTimeout(timeoutMs);
    rig.guard.setSilenceSpan(silenceMs);
    rig.guard.setMaxRepeats(maxRepeats);
    if (answeredMs > 0)
        rig.measured(answeredMs);
    rig.guard.watch();
    rig.clock.advance((silentAtMs - 1) * Ms);
    QCOMPARE(rig.silent.size(), 0);
    rig.clock.advance(1 * Ms);
    QCOMPARE(rig.silent.size(), 1);
    QCOMPARE(rig.repeated.size(), repeats);
    QCOMPARE(rig.sink.messages.size(), repeats);
    QVERIFY(!rig.guard.watching());
    QCOMPARE(rig.clock.pending(), 0);
}

QTEST_GUILESS_MAIN(TestStallGuard)
#include "tst_stallguard.moc"

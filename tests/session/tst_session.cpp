// The session logic shared by the window and tarsyn-flash: the reply timeout, whole
// transfers and preset passes against an in-test unit whose link loses, doubles, delays
// and strays replies. The unit writes every good block at its address, as the real one
// does, so that only the flash's content tells whether the host stayed in step.
#include "DeviceLink.h"
#include "FirmwareTransfer.h"
#include "PresetExchange.h"
#include "ReplyTimer.h"
#include "LinkedUnit.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

using namespace Tarsyn;
using namespace TestSupport;

namespace {

// A transfer wired to a LinkedUnit, with a payload of every byte value.
struct TransferRig {
    DeviceLink link;
    FirmwareTransfer transfer{link};
    LinkedUnit unit{[this](const QByteArray &r) { transfer.replyReceived(link.decodeReply(r)); }};
    QSignalSpy finished{&transfer, &FirmwareTransfer::finished};
    QSignalSpy silent{&transfer, &FirmwareTransfer::unitSilent};
    QSignalSpy keepsAsking{&transfer, &FirmwareTransfer::unitKeepsAsking};
    std::vector<int> bar;

    explicit TransferRig(bool multiPart)
    {
        link.setSink(&unit);
        link.multiPart = unit.multiPart = multiPart;
        std::uint32_t x = 0x12345678;
        for (std::uint32_t i = 0; i < PayloadSize; ++i) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            link.imageBuffer()[i] = std::uint8_t(x);
        }
        QObject::connect(&transfer, &FirmwareTransfer::progressed, [this](int value, int) { bar.push_back(value); });
    }

    bool ended() { return waitUntil([&] { return !transfer.running(); }); }
    bool flashExact() const { return std::memcmp(unit.flash.data(), link.imageBuffer(), PayloadSize) == 0; }
};

} // namespace

Q_DECLARE_METATYPE(TestSupport::LinkFaults)

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void replyTimer_data();
    void replyTimer();
    void wholeTransfer_data();
    void wholeTransfer();
    void endsOnlyWhenTrue_data();
    void endsOnlyWhenTrue();
    void giveUp_data();
    void giveUp();
    void receivePass_data();
    void receivePass();
    void comparePass_data();
    void comparePass();
    void strayPresetReplies();
};

void TestSession::replyTimer_data()
{
    QTest::addColumn<QList<int>>("samplesUs");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<int>("timeoutMs");
    QTest::newRow("nothing measured yet") << QList<int>{} << 0 << 1000;
    QTest::newRow("nothing measured, doubled twice") << QList<int>{} << 2 << 4000;
    QTest::newRow("fast link: the floor") << QList<int>{2700, 2600, 2800} << 0 << 10;
    QTest::newRow("fast link, three repeats") << QList<int>{2700, 2600, 2800} << 3 << 80;
    QTest::newRow("slow link") << QList<int>{100000, 100000, 100000, 100000} << 0 << 200;
    QTest::newRow("jittery link") << QList<int>{20000, 60000, 20000, 60000} << 0 << 108;
    QTest::newRow("the ceiling") << QList<int>{3000000, 3000000} << 1 << 4000;
}

void TestSession::replyTimer()
{
    QFETCH(QList<int>, samplesUs);
    QFETCH(int, repeats);
    QFETCH(int, timeoutMs);
    ReplyTimer timer;
    for (int us : samplesUs)
        timer.addSample(qint64(us) * 1000);
    QCOMPARE(timer.timeoutMs(repeats), timeoutMs);
    // Too soon: under 0.3 ms always; after a few samples, well under the typical round trip.
    QVERIFY(timer.tooSoon(100000));
    if (samplesUs.size() >= 3) {
        const qint64 typical = timer.typicalNs();
        QVERIFY(timer.tooSoon(typical / 2));
        QVERIFY(!timer.tooSoon(typical * 2 / 3));
    }
}

void TestSession::wholeTransfer_data()
{
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<QList<std::uint32_t>>("resendOnce");
    QTest::newRow("single message") << false << QList<std::uint32_t>{};
    QTest::newRow("multi-part") << true << QList<std::uint32_t>{};
    QTest::newRow("single message, resends") << false << QList<std::uint32_t>{0, 0x7FF00, 0x80000, LastPayloadBlock};
    QTest::newRow("multi-part, resends") << true << QList<std::uint32_t>{0, 0x7FF00, 0x80000, LastPayloadBlock};
}

void TestSession::wholeTransfer()
{
    QFETCH(bool, multiPart);
    QFETCH(QList<std::uint32_t>, resendOnce);
    TransferRig rig(multiPart);
    rig.unit.resendOnce.insert(resendOnce.cbegin(), resendOnce.cend());
    QCOMPARE(rig.transfer.progressCount(), FirmwareTransfer::EndCount); // no transfer yet
    rig.transfer.start();
    QCOMPARE(rig.transfer.progressCount(), 0);
    QVERIFY(rig.ended());
    QCOMPARE(rig.finished.size(), 1);
    QVERIFY(rig.flashExact());
    QCOMPARE(rig.transfer.progressCount(), FirmwareTransfer::EndCount);
    QCOMPARE(rig.transfer.resendRequests(), int(resendOnce.size()));
    // Nothing beyond the payload goes out; each resend costs its block once more, and in one
    // message per block also the block before it (the request might have answered that one).
    const int perBlock = multiPart ? 3 : 1, perLarge = multiPart ? 5 : 1;
    int extra = 0;
    for (std::uint32_t offset : resendOnce)
        extra += (offset < LargeRegion ? perBlock : perLarge) + (!multiPart && offset > 0 ? 1 : 0);
    // (A machine too busy to answer within the timeout adds repeats: they are not counted.)
    const int expected = 2048 * perBlock + 880 * perLarge + extra;
    QCOMPARE(int(rig.unit.sent.size()) - rig.transfer.repeats(), expected);
    // The bar runs 0, 1, ..., 2047, 2048, 2058, ..., 10838.
    QCOMPARE(int(rig.bar.size()), 2048 + 880);
    QCOMPARE(rig.bar[2047], 2047);
    QCOMPARE(rig.bar[2049], 2058);
    QCOMPARE(rig.bar.back(), 10838);
    // Acknowledgements after the end send nothing.
    const auto sentAtEnd = rig.unit.sent.size();
    rig.transfer.replyReceived(ReplyBlockOk24);
    rig.transfer.replyReceived(ReplyResendLarge);
    QCOMPARE(rig.unit.sent.size(), sentAtEnd);
}

void TestSession::endsOnlyWhenTrue_data()
{
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<LinkFaults>("faults");
    QTest::addColumn<int>("resendEvery");
    const auto doubled = [](int every, int delayMs) {
        LinkFaults f;
        f.duplicateEvery = every;
        f.duplicateDelayMs = delayMs;
        return f;
    };
    for (bool multi : {false, true}) {
        const char *form = multi ? "multi-part" : "single";
        // Copies of a reply at once, after a moment and after a drain's quiet wait.
        for (int delay : {0, 3, 30})
            QTest::addRow("%s, every 20th reply twice, +%d ms, resends", form, delay) << multi << doubled(20, delay) << 37;
        // Acknowledgements and resend requests the unit never sent (another host's).
        LinkFaults stray;
        stray.strayReplyEvery = 23;
        QTest::addRow("%s, stray replies, resends", form) << multi << stray << 37;
        LinkFaults lost;
        lost.dropEvery = 97;
        QTest::addRow("%s, lost replies, resends", form) << multi << lost << 41;
        LinkFaults identities;
        identities.strayIdentityEvery = 50;
        QTest::addRow("%s, stray identities", form) << multi << identities << 0;
        LinkFaults pause;
        pause.pauseAtReply = 700;
        pause.pauseMs = 400;
        QTest::addRow("%s, the unit pauses", form) << multi << pause << 0;
    }
}

void TestSession::endsOnlyWhenTrue()
{
    QFETCH(bool, multiPart);
    QFETCH(LinkFaults, faults);
    QFETCH(int, resendEvery);
    TransferRig rig(multiPart);
    rig.transfer.guard().setTimeout(20);
    rig.unit.faults = faults;
    for (std::uint32_t offset = 0x3100; resendEvery && offset < PayloadSize; offset += 0x100 * std::uint32_t(resendEvery))
        rig.unit.resendOnce.insert(offset & ~std::uint32_t(offset < LargeRegion ? 0xFF : 0x1FF));
    rig.transfer.start();
    QVERIFY(rig.ended());
    // Success only with every block in place.
    QCOMPARE(rig.finished.size(), 1);
    QVERIFY(rig.flashExact());
    QCOMPARE(rig.link.multiPart, multiPart);
}

void TestSession::giveUp_data()
{
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<bool>("alwaysResend");
    QTest::newRow("single, the unit asks again for ever") << false << true;
    QTest::newRow("multi-part, the unit asks again for ever") << true << true;
    QTest::newRow("single, the unit falls silent") << false << false;
    QTest::newRow("multi-part, the unit falls silent") << true << false;
}

void TestSession::giveUp()
{
    QFETCH(bool, multiPart);
    QFETCH(bool, alwaysResend);
    TransferRig rig(multiPart);
    rig.transfer.guard().setTimeout(10);
    rig.transfer.guard().setSilenceSpan(300);
    rig.unit.alwaysResend = alwaysResend;
    rig.unit.faults.silentAfter = alwaysResend ? -1 : 40;
    rig.transfer.start();
    QVERIFY(rig.ended());
    QCOMPARE(rig.finished.size(), 0);
    if (alwaysResend) {
        QCOMPARE(rig.keepsAsking.size(), 1);
        QCOMPARE(rig.keepsAsking.at(0).at(0).value<std::uint32_t>(), 0u);
        QCOMPARE(rig.transfer.failedBlock(), 0u);
    } else {
        QCOMPARE(rig.silent.size(), 1);
        QVERIFY(rig.transfer.repeats() > 2);
    }
    // Abandoned: late replies send nothing.
    const auto sent = rig.unit.sent.size();
    rig.transfer.replyReceived(ReplyBlockOk24);
    QCOMPARE(rig.unit.sent.size(), sent);
}

namespace {

// A preset pass wired to a LinkedUnit.
struct PresetRig {
    DeviceLink link;
    PresetExchange presets{link};
    LinkedUnit unit{[this](const QByteArray &r) {
        const ReplyCode code = link.decodeReply(r);
        if (code == ReplyPresetData)
            presets.presetDataReceived();
        else if (code == ReplyPresetWritten)
            presets.presetWritten();
    }};
    PresetExchange::Outcome last;
    std::vector<int> bar;

    PresetRig()
    {
        link.setSink(&unit);
        presets.guard().setTimeout(20);
        QObject::connect(&presets, &PresetExchange::outcome, [this](const PresetExchange::Outcome &o) {
            if (o.barValue >= 0)
                bar.push_back(o.barValue);
            if (o.passComplete || o.failed)
                last = o;
        });
    }
    bool ended() { return waitUntil([&] { return last.passComplete || last.failed; }); }
    // The store as the unit holds its presets (bank 0's byte 128 is kept two above).
    bool storeMatchesUnit() const
    {
        for (int i = 0; i < PresetCount; ++i) {
            if (!presets.unitCopyMatches(i / PresetSlots, i % PresetSlots, &unit.presets[std::size_t(i) * PresetSize]))
                return false;
        }
        return true;
    }
};

} // namespace

void TestSession::receivePass_data()
{
    QTest::addColumn<LinkFaults>("faults");
    QTest::newRow("clean") << LinkFaults{};
    for (int delay : {0, 30}) {
        LinkFaults f;
        f.duplicateEvery = 23;
        f.duplicateDelayMs = delay;
        QTest::addRow("every 23rd reply twice, +%d ms", delay) << f;
    }
    LinkFaults lost;
    lost.dropEvery = 101;
    QTest::newRow("lost replies") << lost;
    // A copy taken in step puts the host one ahead; the unit pauses as the next checkpoint's
    // drain starts, so that drain finds nothing too many: the shift began before it.
    LinkFaults late;
    late.duplicateEvery = 1000;
    late.pauseAtReply = 1024;
    late.pauseMs = 60;
    QTest::newRow("a copy, then a pause at the checkpoint") << late;
    LinkFaults lastStretch;
    lastStretch.duplicateEvery = 2040;
    QTest::newRow("a copy in the last stretch") << lastStretch;
}

void TestSession::receivePass()
{
    QFETCH(LinkFaults, faults);
    PresetRig rig;
    rig.unit.faults = faults;
    rig.presets.startReceive();
    QVERIFY(rig.ended());
    QVERIFY(rig.last.passComplete && rig.presets.storeFilled);
    // Every preset under its own slot, whatever the link did.
    QVERIFY(rig.storeMatchesUnit());
    QCOMPARE(rig.bar.back(), PresetCount);
    if (faults.duplicateEvery || faults.dropEvery || faults.pauseAtReply)
        QVERIFY(rig.presets.rollbacks() > 0);
    else if (rig.presets.guard().repeats() == 0)   // a busy machine may cause repeats
        QCOMPARE(int(rig.unit.sent.size()), PresetCount);
    // Replies while the pass's result is pending (bank 16) change nothing.
    const auto sent = rig.unit.sent.size();
    rig.presets.presetDataReceived();
    rig.presets.presetWritten();
    QCOMPARE(rig.unit.sent.size(), sent);
    rig.presets.endPass();
    QVERIFY(!rig.presets.guard().watching());
}

void TestSession::comparePass_data()
{
    QTest::addColumn<int>("ignoredWrites"); // writes of bank 2 slot 7 the unit drops
    QTest::addColumn<int>("duplicateEvery");
    QTest::newRow("writes stick") << 0 << 0;
    QTest::newRow("two retries") << 2 << 0;
    QTest::newRow("never sticks") << 1000 << 0;
    QTest::newRow("writes stick, doubled replies") << 0 << 7;
}

void TestSession::comparePass()
{
    // The store is the unit's presets but for bank 0 slot 0 and bank 2 slot 7.
    QFETCH(int, ignoredWrites);
    QFETCH(int, duplicateEvery);
    PresetRig rig;
    rig.unit.faults.duplicateEvery = duplicateEvery;
    rig.unit.faults.duplicateDelayMs = 1;
    std::vector<std::uint8_t> wanted = rig.unit.presets;
    for (int k = 0; k < PresetSize; ++k)
        wanted[std::size_t(k)] = wanted[std::size_t(2 * 32768 + 7 * 256 + k)] = std::uint8_t(k);
    for (int i = 0; i < PresetCount; ++i)
        rig.presets.storePreset(i / PresetSlots, i % PresetSlots, &wanted[std::size_t(i) * PresetSize]);
    rig.unit.ignoredPreset = (2 * PresetSlots + 7) * PresetSize;
    rig.unit.ignoredWrites = ignoredWrites;

    // Before the store holds a set of presets, the unit's preset data leads to no write.
    rig.presets.startCompare();
    QTRY_VERIFY(!rig.presets.passRunning());
    QVERIFY(std::none_of(rig.unit.sent.cbegin(), rig.unit.sent.cend(),
                         [](const QByteArray &m) { return std::uint8_t(m[CommandPos]) == CmdPresetWrite; }));
    rig.presets.storeFilled = true;
    rig.presets.startCompare();
    QVERIFY(rig.ended());
    if (ignoredWrites > 100) { // bounded: the pass fails naming the preset
        QVERIFY(rig.last.failed);
        QCOMPARE(rig.last.failedBank, 2);
        QCOMPARE(rig.last.failedSlot, 7);
        return;
    }
    QVERIFY(rig.last.passComplete);
    QCOMPARE(rig.presets.presetsWritten, 2);
    if (!duplicateEvery)
        QCOMPARE(rig.presets.presetRetries, ignoredWrites);
    QVERIFY(rig.unit.presets == wanted);
}

void TestSession::strayPresetReplies()
{
    // Outside a pass a "preset written" continues nothing and arms no repeat.
    PresetRig rig;
    rig.presets.presetWritten();
    QVERIFY(rig.unit.sent.empty());
    QVERIFY(!rig.presets.guard().watching());
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"

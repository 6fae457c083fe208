// The session logic shared by the window and tarsyn-flash: block counting and completion,
// stall recovery, and the preset pass, against a captured message stream.
#include "DeviceLink.h"
#include "FirmwareTransfer.h"
#include "PresetExchange.h"

#include <QSignalSpy>
#include <QTest>

#include <cstring>
#include <vector>

using namespace Tarsyn;

namespace {

struct Capture : MessageSink {
    std::vector<QByteArray> sent;
    bool sendLongMessage(const QByteArray &m) override { sent.push_back(m); return true; }
    int command() const { return std::uint8_t(sent.back()[CommandPos]); }
};

QByteArray reply(std::uint8_t command, const QByteArray &payload = {})
{
    return QByteArray("\xF0\x00\x11\x22\x02\x00\x00\x00\x00", 9) + char(command) + payload + char(0xF7);
}

QByteArray presetReply(const std::uint8_t *data)
{
    char packed[PackedPresetSize];
    packSevenBit(data, PresetSize, reinterpret_cast<std::uint8_t *>(packed));
    return reply(UnitPresetData, QByteArray(packed, PackedPresetSize));
}

std::uint32_t address(const QByteArray &m) // of a whole block or a part 0
{
    return std::uint32_t(std::uint8_t(m[10])) << 8 | std::uint32_t(std::uint8_t(m[11])) << 15;
}

} // namespace

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void countsEveryBlockOnce_data();
    void countsEveryBlockOnce();
    void multiPartEndsOnlyWithTheUnitsAcknowledgement();
    void stallRecovery();
    void secondCopyOfAReplyIsIgnored();
    void receivePass();
    void comparePass_data();
    void comparePass();
};

void TestSession::countsEveryBlockOnce_data()
{
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<int>("resendEvery");   // the unit asks again for every Nth block
    QTest::addColumn<int>("beforePart0");   // ... or answers every Nth last part before part 0 so
    QTest::newRow("single message") << false << 0 << 0;
    QTest::newRow("multi-part") << true << 0 << 0;
    QTest::newRow("single message, resends") << false << 97 << 0;
    QTest::newRow("multi-part, resends") << true << 97 << 0;
    QTest::newRow("multi-part, resends before part 0") << true << 0 << 89;
}

void TestSession::countsEveryBlockOnce()
{
    QFETCH(bool, multiPart);
    QFETCH(int, resendEvery);
    QFETCH(int, beforePart0);
    Capture sink;
    DeviceLink link(&sink);
    link.multiPart = multiPart;
    FirmwareTransfer transfer(link);
    QCOMPARE(transfer.progressCount(), FirmwareTransfer::EndCount); // no transfer yet
    QVERIFY(transfer.blockAcknowledged().barValue < 0 && sink.sent.empty());

    transfer.start();
    std::vector<int> bar;
    int blocks = 0, lastParts = 0, extra = 0;
    for (bool finished = false; !finished;) {
        QVERIFY(sink.sent.size() < 20000);
        const int cmd = sink.command();
        const bool small = link.cursor < LargeRegion;
        FirmwareTransfer::Step step;
        if ((cmd == CmdSmallBlock || cmd == CmdLargeBlock) && resendEvery && ++blocks % resendEvery == 0
            && address(sink.sent.back()) < PayloadSize) {
            extra += multiPart ? (cmd == CmdSmallBlock ? 3 : 5) : 1;
            link.decodeReply(reply(cmd == CmdSmallBlock ? UnitResendSmall : UnitResendLarge));
            step = transfer.resendRequested(cmd == CmdSmallBlock ? ReplyResendSmall : ReplyResendLarge);
            QVERIFY(!step.counted);
        } else if (beforePart0 && ((cmd == CmdPart2 && small) || cmd == CmdPart4) && ++lastParts % beforePart0 == 0) {
            // Mid-block, a resend request sends the next part, here part 0: the block counts.
            link.decodeReply(reply(small ? UnitResendSmall : UnitResendLarge));
            step = transfer.resendRequested(small ? ReplyResendSmall : ReplyResendLarge);
            QVERIFY(step.counted);
        } else {
            step = transfer.blockAcknowledged();
        }
        if (step.barValue >= 0 && (bar.empty() || bar.back() != step.barValue))
            bar.push_back(step.barValue);
        finished = step.finished;
    }
    // 2929 messages in the single-message form, 10544 in the multi-part form, plus resends.
    QCOMPARE(int(sink.sent.size()), (multiPart ? 10544 : 2929) + extra);
    QCOMPARE(transfer.progressCount(), FirmwareTransfer::EndCount);
    QVERIFY(!transfer.running());
    // The bar runs 0, 1, ..., 2047, 2048, 2058, ..., 10838; the payload's last block is the
    // 512 bytes at 0xEDE00.
    QCOMPARE(int(bar.size()), 2048 + 880);
    QCOMPARE(bar[2047], 2047);
    QCOMPARE(bar[2049], 2058);
    QCOMPARE(bar.back(), 10838);
    QCOMPARE(address(sink.sent[sink.sent.size() - (multiPart ? 1 : 2)]), LastPayloadBlock);
}

void TestSession::multiPartEndsOnlyWithTheUnitsAcknowledgement()
{
    Capture sink;
    DeviceLink link(&sink);
    link.multiPart = true;
    FirmwareTransfer transfer(link);
    transfer.start();
    while (transfer.progressCount() < FirmwareTransfer::EndCount)
        QVERIFY(!transfer.blockAcknowledged().finished);
    QVERIFY(transfer.awaitingFinalAck());

    // The unit asks for the last block again: it goes out whole, parts 1..4 then part 0, and
    // only the acknowledgement of that part 0 completes the transfer.
    const auto before = sink.sent.size();
    transfer.resendRequested(ReplyResendLarge);
    for (int cmd : {CmdPart2, CmdPart3, CmdPart4, CmdLargeBlock}) {
        QVERIFY(!transfer.blockAcknowledged().finished);
        QCOMPARE(sink.command(), cmd);
    }
    QCOMPARE(address(sink.sent.back()), LastPayloadBlock);
    const FirmwareTransfer::Step last = transfer.blockAcknowledged();
    QVERIFY(last.finished && !last.counted);
    QCOMPARE(transfer.progressCount(), FirmwareTransfer::EndCount);
    transfer.blockAcknowledged(); // later acknowledgements send nothing
    QCOMPARE(sink.sent.size(), before + 5);
}

void TestSession::stallRecovery()
{
    Capture sink;
    DeviceLink link(&sink);
    FirmwareTransfer transfer(link);
    transfer.guard().setTimeout(10);
    transfer.guard().setMaxRepeats(2);
    QSignalSpy silent(&transfer, &FirmwareTransfer::unitSilent);
    // Two repeats of the first block, then its acknowledgement: the run of repeats ends and
    // the second block goes out once; two repeats of it later, the unit counts as silent.
    connect(&transfer.guard(), &StallGuard::repeated, this, [&](int inARow) {
        if (inARow == 2 && sink.sent.size() == 3)
            QVERIFY(transfer.blockAcknowledged().counted);
    });
    transfer.start();
    QVERIFY(silent.wait(5000));
    QCOMPARE(int(sink.sent.size()), 6);
    QCOMPARE(sink.sent[1], sink.sent[0]);
    QCOMPARE(sink.sent[2], sink.sent[0]);
    QCOMPARE(address(sink.sent[3]), 0x100u);
    QCOMPARE(sink.sent[5], sink.sent[3]);
    QCOMPARE(transfer.repeats(), 4);
    QVERIFY(!transfer.running()); // abandoned: a late acknowledgement sends nothing
    transfer.blockAcknowledged();
    QCOMPARE(int(sink.sent.size()), 6);
    QVERIFY(!silent.wait(100));
}

void TestSession::secondCopyOfAReplyIsIgnored()
{
    Capture sink;
    DeviceLink link(&sink);
    FirmwareTransfer transfer(link);
    transfer.guard().setEchoFilter(true);
    transfer.start();
    // A link with round trips of milliseconds (the waits stand for its latency); a slow first
    // reply does not make the later, quicker ones look early.
    for (int wait : {20, 2, 2}) {
        QTest::qWait(wait);
        QVERIFY(transfer.blockAcknowledged().counted);
    }
    // The same acknowledgement delivered twice: the copy moves nothing.
    const auto sent = sink.sent.size();
    QVERIFY(!transfer.blockAcknowledged().counted);
    link.decodeReply(reply(UnitResendSmall));
    transfer.resendRequested(ReplyResendSmall);
    QCOMPARE(sink.sent.size(), sent);
    QCOMPARE(transfer.resendRequests(), 0);
    QTest::qWait(5);
    QVERIFY(transfer.blockAcknowledged().counted);
    QCOMPARE(sink.sent.size(), sent + 1);
}

void TestSession::receivePass()
{
    Capture sink;
    DeviceLink link(&sink);
    PresetExchange presets(link);
    presets.guard().setTimeout(10);
    presets.startReceive();
    // A reply without a whole preset is no answer: the request goes out again, unchanged.
    QSignalSpy repeated(&presets.guard(), &StallGuard::repeated);
    link.decodeReply(reply(UnitPresetData, QByteArray(319, 0x01)));
    QCOMPARE(presets.presetDataReceived().barValue, -1);
    QVERIFY(repeated.wait(5000));
    QCOMPARE(sink.sent.back(), sink.sent.front());
    sink.sent.resize(1);
    presets.guard().setTimeout(60000);
    std::uint8_t data[PresetSize];
    PresetExchange::Outcome outcome;
    for (int i = 0; i < PresetCount; ++i) {
        QCOMPARE(sink.sent.back(), reply(CmdPresetRead, QByteArray(1, char(i % 128)) + char(i / 128)));
        std::memset(data, i, PresetSize);
        data[PresetExchange::Bank0AdjustedByte] = 0xFF;
        link.decodeReply(presetReply(data));
        outcome = presets.presetDataReceived();
        QCOMPARE(outcome.barValue, i + 1);
    }
    QVERIFY(outcome.passComplete && presets.storeFilled);
    // Bank 0 keeps byte 128 two above the unit's value; other banks keep it as received.
    QCOMPARE(presets.presetImage()[PresetExchange::Bank0AdjustedByte], std::uint8_t(0x01));
    QCOMPARE(presets.presetImage()[3 * 32768 + PresetExchange::Bank0AdjustedByte], std::uint8_t(0xFF));
    QCOMPARE(link.presetData[PresetExchange::Bank0AdjustedByte], std::uint8_t(0xFF));
    // Replies while the pass's result is pending (bank 16) change nothing.
    presets.presetDataReceived();
    presets.presetWritten();
    QCOMPARE(int(sink.sent.size()), PresetCount);
    presets.endPass();
    QCOMPARE(presets.presetBank, 0);
    QVERIFY(!presets.guard().watching());
}

void TestSession::comparePass_data()
{
    QTest::addColumn<int>("ignoredWrites"); // writes of bank 2 slot 7 the unit drops
    QTest::newRow("writes stick") << 0;
    QTest::newRow("two retries") << 2;
    QTest::newRow("never sticks") << 1000;
}

void TestSession::comparePass()
{
    // A unit that keeps what it is given; bank 0 slot 0 and bank 2 slot 7 differ from the store.
    QFETCH(int, ignoredWrites);
    Capture sink;
    DeviceLink link(&sink);
    PresetExchange presets(link);
    std::vector<std::uint8_t> unit(std::size_t(PresetCount) * PresetSize, 0);
    for (int i = 0; i < PresetCount; ++i)
        presets.storePreset(i / 128, i % 128, unit.data() + std::size_t(i) * PresetSize);
    std::uint8_t wanted[PresetSize];
    for (int k = 0; k < PresetSize; ++k)
        wanted[k] = std::uint8_t(k);
    presets.storePreset(0, 0, wanted);
    presets.storePreset(2, 7, wanted);
    presets.startCompare();
    // Before the store holds a set of presets, the unit's preset data leads to no write.
    link.decodeReply(presetReply(unit.data()));
    QVERIFY(!presets.presetDataReceived().passComplete);
    QCOMPARE(sink.command(), int(CmdPresetRead));
    presets.storeFilled = true;
    presets.startCompare();
    PresetExchange::Outcome outcome;
    int writes = 0, toDrop = ignoredWrites;
    while (!outcome.passComplete && !outcome.failed) {
        const QByteArray m = sink.sent.back();
        const int slot = m[10], bank = m[11];
        std::uint8_t *entry = unit.data() + std::size_t(bank) * 32768 + std::size_t(slot) * 256;
        if (sink.command() == CmdPresetWrite) {
            ++writes;
            if (bank == 2 && toDrop > 0)
                --toDrop;
            else
                unpackSevenBit(PackedPresetSize, reinterpret_cast<const std::uint8_t *>(m.constData()) + 12, entry);
            outcome = presets.presetWritten();
        } else {
            link.decodeReply(presetReply(entry));
            outcome = presets.presetDataReceived();
        }
    }
    if (ignoredWrites > 100) { // bounded: the pass fails naming the preset
        QVERIFY(outcome.failed);
        QCOMPARE(outcome.failedBank, 2);
        QCOMPARE(outcome.failedSlot, 7);
        QCOMPARE(writes, 1 + PresetExchange::MaxWrites);
        return;
    }
    QVERIFY(outcome.passComplete);
    QCOMPARE(presets.presetsWritten, 2);
    QCOMPARE(presets.presetRetries, ignoredWrites);
    QCOMPARE(writes, 2 + presets.presetRetries);
    // Bank 0's write carries the stored byte 128 minus 2: the unit ends with the wanted bytes.
    QVERIFY(std::memcmp(unit.data(), wanted, PresetSize) == 0);
    QVERIFY(std::memcmp(unit.data() + 2 * 32768 + 7 * 256, wanted, PresetSize) == 0);
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"

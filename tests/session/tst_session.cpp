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
    bool sendLongMessage(const QByteArray &m) override
    {
        sent.push_back(m);
        return true;
    }
    int command(int back = 1) const { return std::uint8_t(sent[sent.size() - back][CommandPos]); }
};

QByteArray reply(std::uint8_t command, QByteArray payload = {})
{
    QByteArray m("\xF0\x00\x11\x22\x02\x00\x00\x00\x00", 9);
    m.append(char(command));
    m.append(payload);
    m.append(char(0xF7));
    return m;
}

QByteArray presetReply(const std::uint8_t *data)
{
    std::uint8_t packed[PackedPresetSize];
    packSevenBit(data, PresetSize, packed);
    return reply(UnitPresetData, QByteArray(reinterpret_cast<const char *>(packed), PackedPresetSize));
}

// The address of a block message or part 0: the block's offset.
std::uint32_t address(const QByteArray &m)
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
    void acknowledgementsWithoutATransferSendNothing();
    void repeatsTheLastMessageThenGivesUp();
    void aReplyEndsTheRunOfRepeats();
    void receivePassStoresEveryPreset();
    void comparePassWritesBackAndEnds();
    void presetThatWillNotStickFailsThePass();
    void incompletePresetReplyIsNotAnAnswer();
};

void TestSession::countsEveryBlockOnce_data()
{
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<int>("resendEvery");   // the unit asks again for every Nth block (0: never)
    QTest::addColumn<int>("midBlockEvery"); // ... or answers a block's last part before part 0 so
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
    QFETCH(int, midBlockEvery);

    Capture sink;
    DeviceLink link(&sink);
    link.multiPart = multiPart;
    FirmwareTransfer transfer(link);
    QCOMPARE(transfer.progressCount(), FirmwareTransfer::EndCount);

    transfer.start();
    QVERIFY(transfer.running());
    std::vector<int> bar;
    int blocks = 0, resent = 0, resentMessages = 0, lastParts = 0;
    bool finished = false;
    while (!finished) {
        QVERIFY(sink.sent.size() < 20000);
        const QByteArray &last = sink.sent.back();
        const int cmd = std::uint8_t(last[CommandPos]);
        const bool blockEnds = cmd == CmdSmallBlock || cmd == CmdLargeBlock;
        if (blockEnds && resendEvery && ++blocks % resendEvery == 0 && address(last) < PayloadSize) {
            ++resent;
            resentMessages += multiPart ? (cmd == CmdSmallBlock ? 3 : 5) : 1;
            link.parseReply(reinterpret_cast<const std::uint8_t *>(reply(cmd == CmdSmallBlock ? UnitResendSmall : UnitResendLarge).constData()), 11);
            transfer.resendRequested(cmd == CmdSmallBlock ? ReplyResendSmall : ReplyResendLarge);
            continue;
        }
        // A request while parts are going out sends the next part: here, the block's part 0.
        const bool beforePartZero = (cmd == CmdPart2 && link.cursor < LargeRegion) || cmd == CmdPart4;
        if (midBlockEvery && beforePartZero && ++lastParts % midBlockEvery == 0) {
            ++resent;
            const bool small = link.cursor < LargeRegion;
            link.decodeReply(reply(small ? UnitResendSmall : UnitResendLarge));
            const FirmwareTransfer::Step step = transfer.resendRequested(small ? ReplyResendSmall : ReplyResendLarge);
            QVERIFY(step.counted);
            bar.push_back(step.barValue);
            continue;
        }
        const FirmwareTransfer::Step step = transfer.blockAcknowledged();
        if (step.barValue >= 0)
            bar.push_back(step.barValue);
        finished = step.finished;
    }
    // 2929 messages in the single-message form, 10544 in the multi-part form, plus what
    // the resend requests brought.
    QCOMPARE(int(sink.sent.size()), (multiPart ? 10544 : 2929) + resentMessages);
    QCOMPARE(transfer.progressCount(), FirmwareTransfer::EndCount);
    QCOMPARE(transfer.resendRequests(), resent);
    QVERIFY(!transfer.running());

    // The counter runs 0, 1, ..., 2047, 2048, 2058, ..., 10838 on the bar.
    std::vector<int> counted;
    for (int v : bar)
        if (counted.empty() || counted.back() != v)
            counted.push_back(v);
    QCOMPARE(int(counted.size()), 2048 + 880);
    QCOMPARE(counted[2047], 2047);
    QCOMPARE(counted[2048], 2048);
    QCOMPARE(counted[2049], 2058);
    QCOMPARE(counted.back(), 10838);

    // The last payload block is the 512 bytes at 0xEDE00 (address bytes 0x5E 0x1D).
    const QByteArray &lastBlock = multiPart ? sink.sent.back() : sink.sent[sink.sent.size() - 2];
    QCOMPARE(std::uint8_t(lastBlock[10]), std::uint8_t(0x5E));
    QCOMPARE(std::uint8_t(lastBlock[11]), std::uint8_t(0x1D));
    QCOMPARE(address(lastBlock), LastPayloadBlock);
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
    QCOMPARE(address(sink.sent.back()), LastPayloadBlock);

    // The unit finds the last block bad and asks again: it goes out whole, part 1 first,
    // and only the acknowledgement of its part 0 completes the transfer.
    const auto before = sink.sent.size();
    transfer.resendRequested(ReplyResendLarge);
    QCOMPARE(sink.command(), int(CmdPart1));
    for (int part = 2; part <= 4; ++part) {
        QVERIFY(!transfer.blockAcknowledged().finished);
        QCOMPARE(sink.command(), int(CmdPart1 + part - 1));
    }
    QVERIFY(!transfer.blockAcknowledged().finished);
    QCOMPARE(sink.command(), int(CmdLargeBlock));
    QCOMPARE(address(sink.sent.back()), LastPayloadBlock);
    QCOMPARE(transfer.progressCount(), FirmwareTransfer::EndCount);
    const FirmwareTransfer::Step last = transfer.blockAcknowledged();
    QVERIFY(last.finished);
    QVERIFY(!last.counted);
    QCOMPARE(sink.sent.size(), before + 5);
    // Later acknowledgements send nothing.
    QVERIFY(!transfer.blockAcknowledged().finished);
    QCOMPARE(sink.sent.size(), before + 5);
}

void TestSession::acknowledgementsWithoutATransferSendNothing()
{
    Capture sink;
    DeviceLink link(&sink);
    FirmwareTransfer transfer(link);
    const FirmwareTransfer::Step step = transfer.blockAcknowledged();
    QCOMPARE(step.barValue, -1);
    QVERIFY(!step.finished);
    QVERIFY(sink.sent.empty());

    transfer.start();
    transfer.blockAcknowledged();
    transfer.abandon();
    const auto sent = sink.sent.size();
    transfer.blockAcknowledged();
    QCOMPARE(sink.sent.size(), sent);
    QVERIFY(!transfer.guard().watching());
}

void TestSession::repeatsTheLastMessageThenGivesUp()
{
    Capture sink;
    DeviceLink link(&sink);
    FirmwareTransfer transfer(link);
    transfer.guard().setTimeout(10);
    transfer.guard().setMaxRepeats(3);
    QSignalSpy silent(&transfer, &FirmwareTransfer::unitSilent);
    transfer.start();
    transfer.blockAcknowledged();
    const QByteArray awaited = sink.sent.back();

    QVERIFY(silent.wait(5000));
    QCOMPARE(silent.count(), 1);
    QCOMPARE(int(sink.sent.size()), 2 + 3);
    for (std::size_t i = 2; i < sink.sent.size(); ++i)
        QCOMPARE(sink.sent[i], awaited);
    QCOMPARE(transfer.repeats(), 3);
    QVERIFY(!transfer.running());
    QVERIFY(!silent.wait(100));
}

void TestSession::aReplyEndsTheRunOfRepeats()
{
    Capture sink;
    DeviceLink link(&sink);
    FirmwareTransfer transfer(link);
    transfer.guard().setTimeout(10);
    transfer.guard().setMaxRepeats(2);
    QSignalSpy silent(&transfer, &FirmwareTransfer::unitSilent);
    // Two repeats, then the reply comes: the transfer goes on, and two more repeats are
    // allowed before giving up.
    bool answered = false;
    connect(&transfer.guard(), &StallGuard::repeated, this, [&](int inARow) {
        if (inARow == 2 && !answered) {
            answered = true;
            QCOMPARE(transfer.blockAcknowledged().counted, true);
            QCOMPARE(transfer.guard().repeatsInARow(), 0);
        }
    });
    transfer.start();
    QVERIFY(silent.wait(5000));
    QVERIFY(answered);
    QCOMPARE(transfer.repeats(), 4);
    // No block was skipped: the second block went out once, then only as repeats.
    QCOMPARE(address(sink.sent[3]), 0x100u);
    QCOMPARE(sink.sent[4], sink.sent[3]);
}

void TestSession::receivePassStoresEveryPreset()
{
    Capture sink;
    DeviceLink link(&sink);
    PresetExchange presets(link);
    presets.startReceive();
    std::uint8_t data[PresetSize];
    PresetExchange::Outcome outcome;
    for (int i = 0; i < PresetCount; ++i) {
        QCOMPARE(sink.command(), int(CmdPresetRead));
        QCOMPARE(int(sink.sent.back()[10]), i % PresetSlots);
        QCOMPARE(int(sink.sent.back()[11]), i / PresetSlots);
        for (int k = 0; k < PresetSize; ++k)
            data[k] = std::uint8_t(i * 7 + k);
        data[PresetExchange::Bank0AdjustedByte] = 0xFF;
        QCOMPARE(link.decodeReply(presetReply(data)), ReplyPresetData);
        outcome = presets.presetDataReceived();
        QCOMPARE(outcome.barValue, i + 1);
    }
    QVERIFY(outcome.passComplete);
    QCOMPARE(int(sink.sent.size()), PresetCount);
    QCOMPARE(presets.presetBank, 16);
    // Bank 0 keeps byte 128 two above the unit's value; other banks are stored as received.
    QCOMPARE(presets.presetImage()[PresetExchange::Bank0AdjustedByte], std::uint8_t(0x01));
    QCOMPARE(presets.presetImage()[3 * 32768 + PresetExchange::Bank0AdjustedByte], std::uint8_t(0xFF));
    QCOMPARE(link.presetData[PresetExchange::Bank0AdjustedByte], std::uint8_t(0xFF));
    // A reply while the pass's result is still pending changes nothing.
    presets.presetDataReceived();
    presets.presetWritten();
    QCOMPARE(int(sink.sent.size()), PresetCount);
    presets.endPass();
    QCOMPARE(presets.presetBank, 0);
    QVERIFY(!presets.guard().watching());
}

void TestSession::comparePassWritesBackAndEnds()
{
    // A unit model that keeps what it is given: bank 0 slot 0 and bank 5 slot 9 differ.
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
    presets.storePreset(5, 9, wanted);
    presets.presetRetries = 0;
    presets.startCompare();
    PresetExchange::Outcome outcome;
    int writes = 0;
    while (!outcome.passComplete && !outcome.failed) {
        QVERIFY(sink.sent.size() < 10000);
        const QByteArray m = sink.sent.back();
        const int slot = m[10], bank = m[11];
        std::uint8_t *entry = unit.data() + std::size_t(bank) * 32768 + std::size_t(slot) * 256;
        if (sink.command() == CmdPresetWrite) {
            ++writes;
            unpackSevenBit(PackedPresetSize, reinterpret_cast<const std::uint8_t *>(m.constData()) + 12, entry);
            link.decodeReply(reply(UnitPresetWritten));
            outcome = presets.presetWritten();
        } else {
            link.decodeReply(presetReply(entry));
            outcome = presets.presetDataReceived();
        }
    }
    QVERIFY(outcome.passComplete);
    QCOMPARE(writes, 2);
    QCOMPARE(presets.presetsWritten, 2);
    QCOMPARE(presets.presetRetries, 0);
    // Bank 0's write carries the stored byte 128 minus 2, that is the caller's value.
    QVERIFY(std::memcmp(unit.data(), wanted, PresetSize) == 0);
    QVERIFY(std::memcmp(unit.data() + 5 * 32768 + 9 * 256, wanted, PresetSize) == 0);
}

void TestSession::presetThatWillNotStickFailsThePass()
{
    Capture sink;
    DeviceLink link(&sink);
    PresetExchange presets(link);
    std::uint8_t wanted[PresetSize] = {1, 2, 3};
    std::uint8_t unitCopy[PresetSize] = {};
    presets.storePreset(2, 7, wanted);
    presets.presetBank = 2;
    presets.presetSlot = 7;
    presets.presetReceive = false;
    presets.presetFirstRead = true;
    PresetExchange::Outcome outcome;
    int writes = 0;
    for (int round = 0; round < 100 && !outcome.failed; ++round) {
        link.decodeReply(presetReply(unitCopy));
        outcome = presets.presetDataReceived();
        if (sink.command() == CmdPresetWrite && !outcome.failed) {
            ++writes;
            presets.presetWritten();
        }
    }
    QVERIFY(outcome.failed);
    QCOMPARE(outcome.failedBank, 2);
    QCOMPARE(outcome.failedSlot, 7);
    QCOMPARE(writes, PresetExchange::MaxWrites);
    QCOMPARE(presets.presetRetries, PresetExchange::MaxWrites);
    QVERIFY(!presets.guard().watching());
}

void TestSession::incompletePresetReplyIsNotAnAnswer()
{
    Capture sink;
    DeviceLink link(&sink);
    PresetExchange presets(link);
    presets.guard().setTimeout(10);
    presets.startReceive();
    QSignalSpy repeated(&presets.guard(), &StallGuard::repeated);
    QCOMPARE(link.decodeReply(reply(UnitPresetData, QByteArray(319, 0x01))), ReplyPresetData);
    QCOMPARE(link.presetLength, 0);
    const PresetExchange::Outcome outcome = presets.presetDataReceived();
    QCOMPARE(outcome.barValue, -1);
    QCOMPARE(presets.presetSlot, 0);
    // The request is repeated, unchanged, until a complete preset comes.
    QVERIFY(repeated.wait(5000));
    QCOMPARE(sink.sent.back(), sink.sent.front());
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"

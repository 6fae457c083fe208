// The block transfer: the messages of both block forms byte for byte, resends, the bounds
// of the image, and whole transfers of the built firmware file into a model of the unit.
#include "CaptureSink.h"
#include "DeviceLink.h"
#include "FirmwareFile.h"
#include "SysEx.h"
#include "UnitModel.h"

#include <QFile>
#include <QTest>

#include <algorithm>
#include <cstring>

using namespace Tarsyn;

namespace {

const QByteArray examplePattern = bytes({0x12, 0x9A, 0x7F, 0x80});
const QByteArray exampleGroup = bytes({0x12, 0x1A, 0x7F, 0x00, 0x0A});

void fill(DeviceLink &link, std::uint32_t offset, std::uint32_t size, const QByteArray &pattern)
{
    for (std::uint32_t i = 0; i < size; ++i)
        link.imageBuffer()[offset + i] = std::uint8_t(pattern[i % pattern.size()]);
}

// The block stream of `size` bytes at `cursor`, written out from the wire format: address,
// checksum, packed groups. Offsets run from `cursor` while below `cursor` + `size` in 32
// bits (a wrapped cursor yields no groups); offsets past the image read as 0.
QByteArray referenceStream(const std::uint8_t *image, std::uint32_t cursor, std::uint32_t size)
{
    QByteArray s = bytes({int(cursor >> 8 & 0x7F), int(cursor >> 15 & 0x7F), 0});
    int sum = 0;
    for (std::uint32_t o = cursor; o < cursor + size; o += 4) {
        int flags = 0;
        for (std::uint32_t k = 0; k < 4; ++k) {
            const std::uint8_t b = o + k < ImageSize ? image[o + k] : 0;
            s.append(char(b & 0x7F));
            sum += b & 0x7F;
            flags |= (b >> 7) << k;
        }
        s.append(char(flags));
        sum += flags;
    }
    s[2] = char(sum & 0x7F);
    return s;
}

// The single message or, in the multi-part form, the part (by its command) of the block of
// `size` bytes at `offset`.
QByteArray referenceMessage(const DeviceLink &link, std::uint32_t offset, std::uint32_t size, int command)
{
    const QByteArray stream = referenceStream(link.imageBuffer(), offset, size);
    const bool whole = command == CmdSmallBlock || command == CmdLargeBlock;
    const int part = whole ? 0 : command - CmdSmallBlock;
    const QByteArray payload = !link.multiPart ? stream : stream.mid(part * 132, 132);
    return hostHeader(command) + payload + bytes({0xF7});
}

int blockCommand(std::uint32_t size)
{
    return size == 256 ? CmdSmallBlock : CmdLargeBlock;
}

// Drives a transfer the way the window's controller does: count 0; on each acknowledgement
// advanceTransfer and count 1 (below 2048) or 10 on true; resend requests to the senders;
// the end at 10848. Returns the final count (-1 on a reply that is not the unit's).
int runTransfer(DeviceLink &link, UnitModel &unit)
{
    int count = 0;
    link.startTransfer();
    while (count < 10848) {
        const QByteArray reply = unit.takeReply();
        if (reply.isEmpty())
            break; // the model found a fault, or nothing was sent
        switch (link.decodeReply(reply)) {
        case ReplyBlockOk24:
        case ReplyBlockOk25:
            if (link.advanceTransfer())
                count += count < 2048 ? 1 : 10;
            break;
        case ReplyResendLarge:
        case ReplyResendSmall: {
            // A resend request that meets a block just before its part 0 sends that part 0;
            // the sender then reports the block's completion, which counts like any other.
            const bool large = std::uint8_t(reply[9]) == 0x26;
            const bool completed = large ? link.sendLargeBlock(false) : link.sendSmallBlock(false);
            if (completed && link.multiPart)
                count += count < 2048 ? 1 : 10;
            break;
        }
        default:
            return -1;
        }
    }
    return count;
}

QByteArray builtFirmware()
{
    QFile file(QStringLiteral(TARSYN_BINARY_DIR "/firmware/tarsosV2_3.bin"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestTransfer : public QObject {
    Q_OBJECT

private slots:
    void workedExample();
    void startAndFirstBlock();
    void regionBoundary();
    void endOfImage();
    void resendSingle_data();
    void resendSingle();
    void resendMultiPart();
    void checksums_data();
    void checksums();
    void restartedBlockCountsOnce();
    void resendBeforePartZeroCompletes();
    void imageStartsZeroed();
    void staysInsideImage_data();
    void staysInsideImage();
    void wholeTransfer_data();
    void wholeTransfer();
};

void TestTransfer::workedExample()
{
    CaptureSink sink;
    DeviceLink link(&sink);
    fill(link, 0x2C300, 256, examplePattern);
    link.cursor = 0x2C300;
    QVERIFY(link.advanceTransfer());
    const QByteArray single = hostHeader(0x05) + bytes({0x43, 0x05, 0x40}) + repeated(exampleGroup, 64) + bytes({0xF7});
    QCOMPARE(single.size(), 334);
    QCOMPARE(sink.messages, QList<QByteArray>{single});
    QCOMPARE(link.cursor, 0x2C400u);

    sink.messages.clear();
    link.multiPart = true;
    link.cursor = 0x2C300;
    QVERIFY(!link.advanceTransfer());
    QVERIFY(!link.advanceTransfer());
    QVERIFY(link.advanceTransfer());
    const QByteArray part1 = hostHeader(0x06) + bytes({0x0A}) + repeated(exampleGroup, 26) + bytes({0x12, 0xF7});
    const QByteArray part2 = hostHeader(0x07) + bytes({0x1A, 0x7F, 0x00, 0x0A}) + repeated(exampleGroup, 11) + bytes({0xF7});
    const QByteArray part0 = hostHeader(0x05) + bytes({0x43, 0x05, 0x40}) + repeated(exampleGroup, 25)
        + bytes({0x12, 0x1A, 0x7F, 0x00, 0xF7});
    QCOMPARE(sink.messages, (QList<QByteArray>{part1, part2, part0}));
    QCOMPARE(part1.size(), 143);
    QCOMPARE(part2.size(), 70);
    QCOMPARE(part0.size(), 143);
    // The parts' payloads, joined in part order, are the single message's payload.
    QCOMPARE(part0.mid(10, 132) + part1.mid(10, 132) + part2.mid(10, 59), single.mid(10, 323));
    QCOMPARE(link.cursor, 0x2C400u);
    QCOMPARE(link.phase, 0u);
}

void TestTransfer::startAndFirstBlock()
{
    CaptureSink sink;
    DeviceLink link(&sink);
    link.retryCount = 3;
    link.cursor = 0x5000;
    QVERIFY(link.startTransfer());
    QCOMPARE(link.retryCount, 0);
    QCOMPARE(sink.messages.size(), 1);
    QCOMPARE(sink.messages[0].size(), 334);
    QCOMPARE(sink.messages[0].mid(9, 3), bytes({0x05, 0x00, 0x00}));
    QCOMPARE(link.cursor, 256u);

    sink.messages.clear();
    link.multiPart = true;
    QVERIFY(!link.startTransfer());
    QCOMPARE(link.cursor, 0u);
    QCOMPARE(link.phase, 1u);
    QVERIFY(!link.advanceTransfer());
    QVERIFY(link.advanceTransfer());
    QCOMPARE(sink.messages.size(), 3);
    QCOMPARE(sink.messages[0].size(), 143);
    QCOMPARE(int(sink.messages[0][9]), 0x06);
    QCOMPARE(sink.messages[1].size(), 70);
    QCOMPARE(int(sink.messages[1][9]), 0x07);
    QCOMPARE(sink.messages[2].size(), 143);
    QCOMPARE(sink.messages[2].mid(9, 3), bytes({0x05, 0x00, 0x00}));
    QCOMPARE(link.cursor, 256u);
    QCOMPARE(link.phase, 0u);
}

void TestTransfer::regionBoundary()
{
    CaptureSink sink;
    DeviceLink link(&sink);
    link.cursor = 0x7FF00;
    QVERIFY(link.advanceTransfer());
    QVERIFY(link.advanceTransfer());
    QCOMPARE(sink.messages.size(), 2);
    QCOMPARE(sink.messages[0].size(), 334);
    QCOMPARE(sink.messages[0].mid(9, 3), bytes({0x05, 0x7F, 0x0F}));
    QCOMPARE(sink.messages[1].size(), 654);
    QCOMPARE(sink.messages[1].mid(9, 3), bytes({0x04, 0x00, 0x10}));
    QCOMPARE(link.cursor, 0x80200u);
}

void TestTransfer::endOfImage()
{
    for (bool multiPart : {false, true}) {
        CaptureSink sink;
        DeviceLink link(&sink);
        link.multiPart = multiPart;
        link.cursor = ImageSize;
        QVERIFY(link.advanceTransfer());
        QVERIFY(sink.messages.isEmpty());
        QCOMPARE(link.cursor, ImageSize);
    }
}

void TestTransfer::resendSingle_data()
{
    QTest::addColumn<bool>("large");
    QTest::addColumn<uint>("from");
    QTest::addColumn<QByteArray>("start");
    QTest::newRow("0x27 at 0x80000") << false << 0x7FF00u << bytes({0x05, 0x7F, 0x0F});
    QTest::newRow("0x26 at 0x80000") << true << 0x7FE00u << bytes({0x04, 0x7E, 0x0F});
}

void TestTransfer::resendSingle()
{
    QFETCH(bool, large);
    QFETCH(uint, from);
    QFETCH(QByteArray, start);
    CaptureSink sink;
    DeviceLink link(&sink);
    makePlaceholderFirmware(link.imageBuffer()); // any content with every byte value
    link.cursor = 0x80000;
    QVERIFY(large ? link.sendLargeBlock(false) : link.sendSmallBlock(false));
    QCOMPARE(sink.messages.size(), 1);
    QCOMPARE(sink.messages[0].mid(9, 3), start);
    QCOMPARE(sink.messages[0], referenceMessage(link, from, large ? 512 : 256, start[0]));
    QCOMPARE(link.cursor, 0x80000u);
}

void TestTransfer::resendMultiPart()
{
    CaptureSink sink;
    DeviceLink link(&sink);
    link.multiPart = true;

    // While a block's parts go out, a resend request sends the next part.
    link.cursor = 0x90000;
    QVERIFY(!link.advanceTransfer());
    QVERIFY(!link.advanceTransfer());
    QCOMPARE(link.phase, 2u);
    QVERIFY(!link.sendLargeBlock(false));
    QCOMPARE(int(sink.messages.last()[9]), 0x08);
    QCOMPARE(link.cursor, 0x90000u);
    QCOMPARE(link.phase, 3u);

    // After a block's part 0, it restarts the block before the cursor.
    link.cursor = 0xEDE00;
    link.phase = 0;
    QVERIFY(!link.sendLargeBlock(false));
    QCOMPARE(int(sink.messages.last()[9]), 0x06);
    QCOMPARE(sink.messages.last().size(), 143);
    QCOMPARE(link.cursor, 0xEDC00u);
    QCOMPARE(link.phase, 1u);
}

void TestTransfer::checksums_data()
{
    QTest::addColumn<uint>("cursor");
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<int>("checksum");
    QTest::newRow("512 of the example") << 0x80000u << examplePattern << 0x00;
    QTest::newRow("512 of 0x00") << 0x90000u << bytes({0x00}) << 0x00;
    QTest::newRow("256 of 0x00") << 0x1000u << bytes({0x00}) << 0x00;
    QTest::newRow("256 of 0xFF") << 0x1000u << bytes({0xFF}) << 0x40;
    QTest::newRow("256 of the example") << 0x1000u << examplePattern << 0x40;
    QTest::newRow("256 of 0x01") << 0x1000u << bytes({0x01}) << 0x00; // 256 mod 128
    QTest::newRow("256 of 0x81") << 0x1000u << bytes({0x81}) << 0x40; // 64 x (4 + 15)
}

void TestTransfer::checksums()
{
    QFETCH(uint, cursor);
    QFETCH(QByteArray, pattern);
    QFETCH(int, checksum);
    const std::uint32_t size = cursor < LargeRegion ? 256 : 512;
    for (bool multiPart : {false, true}) {
        CaptureSink sink;
        DeviceLink link(&sink);
        link.multiPart = multiPart;
        fill(link, cursor, size, pattern);
        link.cursor = cursor;
        while (link.cursor == cursor)
            link.advanceTransfer();
        // The single message, or part 0, the last one sent: checksum at byte 12.
        QCOMPARE(int(sink.messages.last()[12]), checksum);
        QCOMPARE(sink.messages.last(), referenceMessage(link, cursor, size, blockCommand(size)));
    }
}

void TestTransfer::restartedBlockCountsOnce()
{
    CaptureSink sink;
    DeviceLink link(&sink);
    makePlaceholderFirmware(link.imageBuffer());
    link.multiPart = true;
    QVERIFY(!link.startTransfer());
    QVERIFY(!link.advanceTransfer());
    QVERIFY(link.advanceTransfer()); // block 0 complete
    const QByteArray firstPart0 = sink.messages.last();

    QVERIFY(!link.sendSmallBlock(false)); // the unit asks for block 0 again
    QCOMPARE(link.cursor, 0u);
    QVERIFY(!link.advanceTransfer());
    QVERIFY(!link.advanceTransfer()); // block 0 complete again: not counted twice
    QCOMPARE(sink.messages.last(), firstPart0);
    QCOMPARE(link.cursor, 256u);

    // Two restarts in a row, then the next block counts once.
    for (int i = 0; i < 2; ++i) {
        link.sendSmallBlock(false);
        QVERIFY(!link.advanceTransfer());
        QVERIFY(!link.advanceTransfer());
    }
    QVERIFY(!link.advanceTransfer());
    QVERIFY(!link.advanceTransfer());
    QVERIFY(link.advanceTransfer());
    QCOMPARE(link.cursor, 512u);
    QCOMPARE(sink.messages.size(), 3 + 3 + 6 + 3);

    // A new transfer counts from the start again.
    QVERIFY(!link.startTransfer());
    QVERIFY(!link.advanceTransfer());
    QVERIFY(link.advanceTransfer());
}

void TestTransfer::resendBeforePartZeroCompletes()
{
    CaptureSink sink;
    DeviceLink link(&sink);
    link.multiPart = true;
    QVERIFY(!link.startTransfer());
    QVERIFY(!link.advanceTransfer());
    // The request meets the block at its last part: part 0 goes out and the block is
    // complete. The sender reports it; no later call reports it again.
    QVERIFY(link.sendSmallBlock(false));
    QCOMPARE(sink.messages.last().mid(9, 3), bytes({0x05, 0x00, 0x00}));
    QCOMPARE(link.cursor, 256u);
    QVERIFY(!link.advanceTransfer());
    QVERIFY(!link.advanceTransfer());
    QVERIFY(link.advanceTransfer());
    QCOMPARE(link.cursor, 512u);

    // In the single-message form a resend never completes a new block: the acknowledgement
    // that follows does.
    link.multiPart = false;
    QVERIFY(link.startTransfer());
    link.sendSmallBlock(false);
    QCOMPARE(link.cursor, 256u);
    QVERIFY(link.advanceTransfer());
    QCOMPARE(link.cursor, 512u);
}

void TestTransfer::imageStartsZeroed()
{
    DeviceLink link;
    const std::uint8_t *image = link.imageBuffer();
    std::uint32_t nonZero = 0;
    for (std::uint32_t i = 0; i < ImageSize; ++i)
        nonZero += image[i] != 0;
    QCOMPARE(nonZero, 0u);
}

void TestTransfer::staysInsideImage_data()
{
    // Each step: 'a' advanceTransfer, 's' / 'l' a small / large resend request.
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<uint>("cursor");
    QTest::addColumn<uint>("phase");
    QTest::addColumn<QByteArray>("steps");
    QTest::addColumn<uint>("endCursor");
    QTest::addColumn<uint>("endPhase");
    QTest::addColumn<int>("sent");

    QTest::newRow("single, small resend before any block") << false << 0u << 0u << QByteArray("s") << 0u << 0u << 1;
    QTest::newRow("single, large resend before any block") << false << 0u << 0u << QByteArray("l") << 0u << 0u << 1;
    QTest::newRow("multi, resend before any block") << true << 0u << 0u << QByteArray("s") << 0xFFFFFF00u << 1u << 1;
    QTest::newRow("multi, parts of a wrapped block") << true << 0xFFFFFF00u << 1u << QByteArray("llll") << 0x100u << 0u << 4;
    QTest::newRow("single, large resend in the small region") << false << 0x1000u << 0u << QByteArray("la") << 0x1100u << 0u << 2;
    QTest::newRow("single, small resend in the large region") << false << 0x80200u << 0u << QByteArray("sa") << 0x80400u << 0u << 2;
    QTest::newRow("multi, small resend leaves the grid") << true << 0x80200u << 0u << QByteArray("saaaa") << 0x80300u << 0u << 5;
    QTest::newRow("multi, large resend in the small region") << true << 0x1000u << 0u << QByteArray("laa") << 0xF00u << 0u << 3;
    QTest::newRow("multi, small steps at phase 3") << true << 0x90000u << 3u << QByteArray("s") << 0x90000u << 3u << 0;
    QTest::newRow("multi, off the grid up to the end") << true << 0xFFD00u << 0u << QByteArray("aaaaaaaaaaa") << 0x100100u << 0u << 10;
    QTest::newRow("single, 512 bytes at 0xFFF00") << false << 0xFFF00u << 0u << QByteArray("aa") << 0x100100u << 0u << 1;
    QTest::newRow("single, at 0xFFFFE") << false << 0xFFFFEu << 0u << QByteArray("a") << 0x1001FEu << 0u << 1;
    QTest::newRow("single, small resend at 0xFFFFE") << false << 0xFFFFEu << 0u << QByteArray("s") << 0xFFFFEu << 0u << 1;
}

// Whatever the cursor, every message is well formed and carries the image bytes of its
// block, with offsets past the image as 0. (Under AddressSanitizer any read outside the
// 1 MiB buffer fails the run.)
void TestTransfer::staysInsideImage()
{
    QFETCH(bool, multiPart);
    QFETCH(uint, cursor);
    QFETCH(uint, phase);
    QFETCH(QByteArray, steps);
    CaptureSink sink;
    DeviceLink link(&sink);
    makePlaceholderFirmware(link.imageBuffer());
    link.multiPart = multiPart;
    link.cursor = cursor;
    link.phase = phase;
    for (char step : steps) {
        const std::uint32_t before = link.cursor;
        const qsizetype sent = sink.messages.size();
        const std::uint32_t size = step == 's' ? 256 : step == 'l' ? 512 : before < LargeRegion ? 256 : 512;
        if (step == 'a')
            link.advanceTransfer();
        else if (step == 's')
            link.sendSmallBlock(false);
        else
            link.sendLargeBlock(false);
        if (sink.messages.size() == sent)
            continue;
        const QByteArray &m = sink.messages.last();
        QVERIFY(m.size() <= 654);
        const int command = std::uint8_t(m[9]);
        const bool completes = command == CmdSmallBlock || command == CmdLargeBlock;
        // The cursor moves past a block with its single message or its part 0.
        const std::uint32_t block = completes ? link.cursor - size : link.cursor;
        QCOMPARE(m, referenceMessage(link, block, size, command));
    }
    QTEST(link.cursor, "endCursor");
    QTEST(link.phase, "endPhase");
    QTEST(int(sink.messages.size()), "sent");
}

void TestTransfer::wholeTransfer_data()
{
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<bool>("withResends");
    QTest::addColumn<int>("messages");

    QTest::newRow("single-message form") << false << false << 2929;
    QTest::newRow("multi-part form") << true << false << 10544;
    // Single: each resend request adds one message.
    QTest::newRow("single-message form, resends") << false << true << 2929 + 6;
    // Multi-part: a restarted block sends all its parts again; a request while a block's
    // parts go out only takes the place of an acknowledgement.
    QTest::newRow("multi-part form, resends") << true << true << 10544 + 3 + 3 + 5 + 5 + 5;
}

void TestTransfer::wholeTransfer()
{
    QFETCH(bool, multiPart);
    QFETCH(bool, withResends);
    QFETCH(int, messages);

    const QByteArray file = builtFirmware();
    QCOMPARE(file.size(), qsizetype(FirmwareFileSize));
    UnitModel unit(multiPart);
    DeviceLink link(&unit);
    link.multiPart = multiPart;
    QVERIFY(loadFirmwareImage(QStringLiteral(TARSYN_BINARY_DIR "/firmware/tarsosV2_3.bin"), link.imageBuffer()));

    if (withResends && !multiPart) {
        unit.resendAfterBlock(0);          // the very first block
        unit.resendAfterBlock(0x1000, 2);  // twice in a row
        unit.resendAfterBlock(0x7FF00);    // small request with the cursor at 0x80000
        unit.resendAfterBlock(0x80000);
        unit.resendAfterBlock(0xEDE00);    // the payload's last block
    } else if (withResends) {
        unit.resendAfterBlock(0);
        unit.resendAfterBlock(0x7FF00);
        unit.resendAfterBlock(0x80000);
        unit.resendAfterBlock(0xEDC00, 2);
        unit.resendAfterPart(0x3000, 1);
        unit.resendAfterPart(0x3100, 2);   // just before a small block's part 0
        unit.resendAfterPart(0xA0000, 3);
        unit.resendAfterPart(0xEDE00, 4);  // just before the last part 0
    }

    QCOMPARE(runTransfer(link, unit), 10848);
    QVERIFY2(unit.error.isEmpty(), qPrintable(unit.error));
    QCOMPARE(unit.messages, messages);
    QCOMPARE(link.retryCount, unit.resendsSent);

    // The unit's flash holds the payload, file bytes 0x12000 on, byte for byte.
    const QByteArray flashed(reinterpret_cast<const char *>(unit.flash.data()), PayloadSize);
    QVERIFY(flashed == file.mid(FileSkip));
    if (multiPart) {
        // The end comes with the part 0 of the payload's last block.
        QCOMPARE(unit.last.size(), 143);
        QCOMPARE(unit.last.mid(9, 3), bytes({0x04, 0x5E, 0x1D}));
        QCOMPARE(unit.expected, PayloadSize);
        QCOMPARE(unit.flash[PayloadSize], UnitModel::Untouched);
    } else {
        // One block beyond the payload has gone out: the zeros behind the loaded file.
        QCOMPARE(unit.last.mid(9, 3), bytes({0x04, 0x60, 0x1D}));
        QCOMPARE(unit.expected, PayloadSize + 512);
        QCOMPARE(int(std::count(unit.flash.begin() + PayloadSize, unit.flash.begin() + PayloadSize + 512, 0)), 512);
    }
}

QTEST_APPLESS_MAIN(TestTransfer)
#include "tst_transfer.moc"

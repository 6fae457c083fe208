// The block transfer: the messages of both block forms byte for byte, the bounds of the
// image, and whole transfers of the built firmware file into a model of the unit.
#include "CaptureSink.h"
#include "DeviceLink.h"
#include "FirmwareFile.h"
#include "SysEx.h"
#include "UnitModel.h"

#include <QFile>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <numeric>

using namespace Tarsyn;

namespace {

const QByteArray exampleGroup = bytes({0x12, 0x1A, 0x7F, 0x00, 0x0A}); // 0x12 0x9A 0x7F 0x80 packed
const QString builtFile = QStringLiteral(TARSYN_BINARY_DIR "/firmware/tarsosV2_3.bin");

// The single message or, by its command, the part of the block of `size` bytes at `cursor`:
// address, checksum, packed groups. Offsets past the image read as 0; a block whose end
// wraps around in 32 bits has no groups.
QByteArray referenceMessage(const DeviceLink &link, std::uint32_t cursor, std::uint32_t size, int command)
{
    const std::uint32_t n = cursor + size < cursor ? 0 : size;
    QByteArray data(n, 0), wire(n / 4 * 5, 0);
    for (std::uint32_t i = 0; i < n; ++i)
        data[i] = char(cursor + i < ImageSize ? link.imageBuffer()[cursor + i] : 0);
    packSevenBit(reinterpret_cast<const std::uint8_t *>(data.constData()), int(n), reinterpret_cast<std::uint8_t *>(wire.data()));
    const QByteArray s = bytes({int(cursor >> 8 & 0x7F), int(cursor >> 15 & 0x7F), std::accumulate(wire.begin(), wire.end(), 0) & 0x7F}) + wire;
    const int part = command == CmdSmallBlock || command == CmdLargeBlock ? 0 : command - CmdSmallBlock;
    return hostHeader(command) + (link.multiPart ? s.mid(part * 132, 132) : s) + bytes({0xF7});
}

// Drives a transfer the way the window's controller does: count 0; on each acknowledgement
// advanceTransfer and count 1 (below 2048) or 10 on true; resend requests to the senders
// (whose report of a completed block counts too); the end at 10848. Returns the count.
int runTransfer(DeviceLink &link, UnitModel &unit)
{
    int count = 0;
    link.startTransfer();
    while (count < 10848 && !unit.reply.isEmpty()) {
        const ReplyCode code = link.decodeReply(std::exchange(unit.reply, {}));
        if (code != ReplyBlockOk24 && code != ReplyBlockOk25 && code != ReplyResendLarge && code != ReplyResendSmall)
            return -1;
        const bool completed = code == ReplyResendLarge ? link.sendLargeBlock(false) && link.multiPart
            : code == ReplyResendSmall ? link.sendSmallBlock(false) && link.multiPart : link.advanceTransfer();
        count += completed ? (count < 2048 ? 1 : 10) : 0;
    }
    return count;
}

} // namespace

class TestTransfer : public QObject {
    Q_OBJECT

private slots:
    void workedExample()
    {
        CaptureSink sink;
        DeviceLink link(&sink);
        std::memcpy(link.imageBuffer() + 0x2C300, bytes({0x12, 0x9A, 0x7F, 0x80}).repeated(64).constData(), 256);
        link.cursor = 0x2C300;
        QVERIFY(link.advanceTransfer());
        link.multiPart = true;
        link.cursor = 0x2C300;
        QCOMPARE((QList<bool>{link.advanceTransfer(), link.advanceTransfer(), link.advanceTransfer()}), (QList<bool>{false, false, true}));
        const QList<QByteArray> expected = {
            hostHeader(0x05) + bytes({0x43, 0x05, 0x40}) + exampleGroup.repeated(64) + bytes({0xF7}),
            hostHeader(0x06) + bytes({0x0A}) + exampleGroup.repeated(26) + bytes({0x12, 0xF7}),
            hostHeader(0x07) + bytes({0x1A, 0x7F, 0x00, 0x0A}) + exampleGroup.repeated(11) + bytes({0xF7}),
            hostHeader(0x05) + bytes({0x43, 0x05, 0x40}) + exampleGroup.repeated(25) + bytes({0x12, 0x1A, 0x7F, 0x00, 0xF7})};
        QCOMPARE(sink.messages, expected);
        QCOMPARE((QList<qsizetype>{expected[0].size(), expected[1].size(), expected[2].size(), expected[3].size()}),
                 (QList<qsizetype>{334, 143, 70, 143}));
    }

    void checksums()
    {
        CaptureSink sink;
        DeviceLink link(&sink);
        std::memcpy(link.imageBuffer() + 0x1000, QByteArray(256, char(0xFF)).constData(), 256);
        std::memcpy(link.imageBuffer() + 0x80000, bytes({0x12, 0x9A, 0x7F, 0x80}).repeated(128).constData(), 512);
        // 256 x 0xFF, 512 bytes of the example pattern, 512 x 0x00.
        for (auto [cursor, checksum] : {std::pair{0x1000u, 0x40}, {0x80000u, 0x00}, {0x90000u, 0x00}}) {
            link.cursor = cursor;
            link.advanceTransfer();
            QCOMPARE(int(sink.messages.last()[12]), checksum);
        }
    }

    // A block the unit asks for again after its part 0 is reported complete only once.
    void restartedBlockCountsOnce()
    {
        CaptureSink sink;
        DeviceLink link(&sink);
        link.multiPart = true;
        const QList<bool> reports = {link.startTransfer(), link.advanceTransfer(), link.advanceTransfer(),
                                     link.sendSmallBlock(false), link.advanceTransfer(), link.advanceTransfer(),
                                     link.advanceTransfer(), link.advanceTransfer(), link.advanceTransfer()};
        QCOMPARE(reports, (QList<bool>{false, false, true, false, false, false, false, false, true}));
        QCOMPARE(link.cursor, 512u);
    }

    void staysInsideImage_data()
    {
        // Each step: 'a' advanceTransfer, 's' / 'l' a small / large resend request.
        QTest::addColumn<bool>("multiPart");
        QTest::addColumn<uint>("cursor");
        QTest::addColumn<QByteArray>("steps");
        QTest::addColumn<uint>("endCursor");
        QTest::addColumn<int>("sent");
        QTest::newRow("multi, resend before any block wraps") << true << 0u << QByteArray("sllll") << 0x100u << 5;
        QTest::newRow("single, small resend in the large region") << false << 0x80200u << QByteArray("sa") << 0x80400u << 2;
        QTest::newRow("multi, small resend leaves the grid") << true << 0x80200u << QByteArray("saaaa") << 0x80300u << 5;
        QTest::newRow("multi, off the grid up to the end") << true << 0xFFD00u << QByteArray("aaaaaaaaaaa") << 0x100100u << 10;
        QTest::newRow("single, at 0xFFFFE") << false << 0xFFFFEu << QByteArray("a") << 0x1001FEu << 1;
    }

    // Whatever the cursor, every message carries the image bytes of its block, with offsets
    // past the image as 0. (Under AddressSanitizer any read outside the buffer fails the run.)
    void staysInsideImage()
    {
        QFETCH(bool, multiPart);
        QFETCH(uint, cursor);
        QFETCH(QByteArray, steps);
        CaptureSink sink;
        DeviceLink link(&sink);
        makePlaceholderFirmware(link.imageBuffer());
        link.multiPart = multiPart;
        link.cursor = cursor;
        for (char step : steps) {
            const qsizetype sent = sink.messages.size();
            const std::uint32_t size = step == 's' ? 256 : step == 'l' || link.cursor >= LargeRegion ? 512 : 256;
            step == 'a' ? link.advanceTransfer() : step == 's' ? link.sendSmallBlock(false) : link.sendLargeBlock(false);
            if (sink.messages.size() == sent)
                continue;
            // The cursor moves past a block with its single message or its part 0.
            const int command = std::uint8_t(sink.messages.last()[9]);
            const bool completes = command == CmdSmallBlock || command == CmdLargeBlock;
            QCOMPARE(sink.messages.last(), referenceMessage(link, link.cursor - (completes ? size : 0), size, command));
        }
        QTEST(link.cursor, "endCursor");
        QTEST(int(sink.messages.size()), "sent");
    }

    void wholeTransfer_data()
    {
        QTest::addColumn<bool>("multiPart");
        QTest::addColumn<bool>("withResends");
        QTest::addColumn<int>("messages");
        QTest::newRow("single-message form") << false << false << 2929;
        QTest::newRow("multi-part form") << true << false << 10544;
        // Single: each resend request adds one message.
        QTest::newRow("single-message form, resends") << false << true << 2929 + 4;
        // Multi-part: a restarted block sends all its parts again; a request while a block's
        // parts go out only takes the place of an acknowledgement.
        QTest::newRow("multi-part form, resends") << true << true << 10544 + 3 + 3 + 5 + 5;
    }

    void wholeTransfer()
    {
        QFETCH(bool, multiPart);
        QFETCH(bool, withResends);
        QFile file(builtFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        UnitModel unit(multiPart);
        DeviceLink link(&unit);
        link.multiPart = multiPart;
        QVERIFY(loadFirmwareImage(builtFile, link.imageBuffer()));
        if (withResends) {
            // Blocks of both sizes, one a small request with the cursor at 0x80000, one twice.
            const std::uint32_t twice = multiPart ? 0xEDC00 : 0x80000;
            unit.resendAfterBlock = {0, 0x7FF00, twice, twice};
            // Multi-part only: just before a block's part 0 (whose completion the sender
            // reports) and in the middle of a large block.
            unit.resendAfterPart = {{0x3100, 2}, {0xA0000, 3}};
        }
        QCOMPARE(runTransfer(link, unit), 10848);
        QVERIFY2(unit.error.isEmpty(), qPrintable(unit.error));
        QTEST(unit.messages, "messages");
        QCOMPARE(link.retryCount, unit.resendsSent);
        QVERIFY(QByteArray(reinterpret_cast<const char *>(unit.flash.data()), PayloadSize) == file.readAll().mid(FileSkip));
        if (multiPart) {
            // The end comes with the part 0 of the payload's last block.
            QCOMPARE(unit.last.mid(9, 3), bytes({0x04, 0x5E, 0x1D}));
            QCOMPARE(unit.flash[PayloadSize], UnitModel::Untouched);
        } else {
            // One block beyond the payload goes out: the zeros the image starts with.
            QCOMPARE(unit.expected, PayloadSize + 512);
            QVERIFY(std::all_of(&unit.flash[PayloadSize], &unit.flash[PayloadSize + 512], [](auto b) { return b == 0; }));
        }
    }
};

QTEST_APPLESS_MAIN(TestTransfer)
#include "tst_transfer.moc"

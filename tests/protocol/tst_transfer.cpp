// The block transfer: the messages of both block forms byte for byte and the bounds of the
// image. (Whole transfers, with the unit's replies, are the session tests' part.)
#include "CaptureSink.h"
#include "DeviceLink.h"
#include "FirmwareFile.h"
#include "SysEx.h"

#include <QTest>

#include <cstring>
#include <numeric>

using namespace Tarsyn;

namespace {

const QByteArray exampleGroup = bytes({0x12, 0x1A, 0x7F, 0x00, 0x0A}); // 0x12 0x9A 0x7F 0x80 packed

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
    return hostHeader(command) + (link.multiPart() ? s.mid(part * 132, 132) : s) + bytes({0xF7});
}

// The block form, chosen as the session chooses it: by accepting the identity of a unit with
// firmware 2.10 (multi-part) or 2.09 (single message).
void useBlockForm(DeviceLink &link, bool multiPart)
{
    link.decodeReply(bytes({0xF0, 0x00, 0x11, 0x22, 0x02, 0, 0, 0, 0, 0x20, 0x02, multiPart ? 20 : 18, 0xF7}));
    link.acceptIdentity();
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
        link.moveToBlock(0x2C300);
        QVERIFY(link.advanceTransfer());
        useBlockForm(link, true);
        link.moveToBlock(0x2C300);
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
            link.moveToBlock(cursor);
            link.advanceTransfer();
            QCOMPARE(int(sink.messages.last()[12]), checksum);
        }
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
        useBlockForm(link, multiPart);
        link.moveToBlock(cursor);
        for (char step : steps) {
            const qsizetype sent = sink.messages.size();
            const std::uint32_t size = step == 's' ? 256 : step == 'l' || link.cursor() >= LargeRegion ? 512 : 256;
            step == 'a' ? link.advanceTransfer() : step == 's' ? link.sendSmallBlock(false) : link.sendLargeBlock(false);
            if (sink.messages.size() == sent)
                continue;
            // The cursor moves past a block with its single message or its part 0.
            const int command = std::uint8_t(sink.messages.last()[9]);
            const bool completes = command == CmdSmallBlock || command == CmdLargeBlock;
            QCOMPARE(sink.messages.last(), referenceMessage(link, link.cursor() - (completes ? size : 0), size, command));
        }
        QTEST(link.cursor(), "endCursor");
        QTEST(int(sink.messages.size()), "sent");
    }
};

QTEST_APPLESS_MAIN(TestTransfer)
#include "tst_transfer.moc"

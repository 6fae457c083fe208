// DeviceLink outside the transfer: the messages it builds, the packing and the decoding of
// the messages the unit sends.
#include "CaptureSink.h"
#include "DeviceLink.h"
#include "SysEx.h"

#include <QTest>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace Tarsyn;

namespace {

QByteArray unitMessage(int command, const QByteArray &payload = {}, std::uint32_t serial = 0)
{
    return bytes({0xF0, 0x00, 0x11, 0x22, 0x02, int(serial & 0x7F), int(serial >> 7 & 0x7F), int(serial >> 14 & 0x7F),
                  int(serial >> 21 & 0x7F), command}) + payload + bytes({0xF7});
}

// Parses `message` from a heap block of exactly its size, so that AddressSanitizer reports
// any read past its end.
ReplyCode parseExact(DeviceLink &link, const QByteArray &message)
{
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[message.size()]);
    std::memcpy(copy.get(), message.constData(), message.size());
    return link.parseReply(copy.get(), message.size());
}

QByteArray packed(const QByteArray &data)
{
    QByteArray wire(data.size() / 4 * 5, 0);
    packSevenBit(reinterpret_cast<const std::uint8_t *>(data.constData()), int(data.size()),
                 reinterpret_cast<std::uint8_t *>(wire.data()));
    return wire;
}

QByteArray preset(int seed)
{
    QByteArray data(PresetSize, 0);
    for (int i = 0; i < PresetSize; ++i)
        data[i] = char(seed + i * 37);
    return data;
}

} // namespace

class TestDeviceLink : public QObject {
    Q_OBJECT

private slots:
    void packing()
    {
        QCOMPARE(packed(bytes({0x12, 0x9A, 0x7F, 0x80})), bytes({0x12, 0x1A, 0x7F, 0x00, 0x0A}));
        const QByteArray wire = packed(preset(0xF7));
        QVERIFY(std::none_of(wire.begin(), wire.end(), [](char c) { return c & 0x80; }));
        QByteArray back(PresetSize + 4, 0x55); // nothing is written past the data
        QCOMPARE(unpackSevenBit(int(wire.size()), reinterpret_cast<const std::uint8_t *>(wire.constData()),
                                reinterpret_cast<std::uint8_t *>(back.data())), PresetSize);
        QCOMPARE(back, preset(0xF7) + QByteArray(4, 0x55));
    }

    void hostMessages()
    {
        CaptureSink sink;
        DeviceLink link(&sink);
        QVERIFY(link.sendIdentifyRequest());
        link.requestPreset(0x85, 0x13); // numbers are masked into the 7-bit and 4-bit fields
        link.setPresetData(reinterpret_cast<const std::uint8_t *>(preset(1).constData()));
        link.sendPreset(127, 15);
        QCOMPARE(sink.messages, (QList<QByteArray>{hostHeader(0x00) + bytes({0xF7}), hostHeader(0x01) + bytes({0x05, 0x03, 0xF7}),
                                                   hostHeader(0x02) + bytes({0x7F, 0x0F}) + packed(preset(1)) + bytes({0xF7})}));
        sink.accepts = false;
        QVERIFY(!link.sendIdentifyRequest());
    }

    void replyCodes_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("retries");
        QTest::newRow("ack 0x24, serial set") << unitMessage(0x24, {}, 0x0FFFFFFF) << int(ReplyBlockOk24) << 0;
        QTest::newRow("written 0x22") << unitMessage(0x22) << int(ReplyPresetWritten) << 0;
        QTest::newRow("other 0x23") << unitMessage(0x23) << int(ReplyOther) << 0;
        QTest::newRow("resend large") << unitMessage(0x26) << int(ReplyResendLarge) << 1;
        QTest::newRow("resend small") << unitMessage(0x27) << int(ReplyResendSmall) << 1;
        QTest::newRow("status 0") << unitMessage(0x43, bytes({0x00})) << int(ReplyStatusZero) << 0;
        QTest::newRow("status 1") << unitMessage(0x43, bytes({0x01})) << int(ReplyStatusOther) << 0;
        QTest::newRow("command 0x28") << unitMessage(0x28) << int(ReplyNone) << 0;
        QTest::newRow("other maker") << bytes({0xF0, 0x00, 0x11, 0x22, 0x03, 0, 0, 0, 0, 0x26, 0xF7}) << int(ReplyNone) << 0;
        QTest::newRow("empty") << QByteArray() << int(ReplyNone) << 0;
    }

    // Resend requests are counted with or without a transfer, each one; no other reply sets
    // a field.
    void replyCodes()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, retries);
        DeviceLink link;
        QTEST(int(parseExact(link, message)), "code");
        QTEST(int(parseExact(link, message)), "code");
        QCOMPARE(link.retryCount(), 2 * retries);
        QCOMPARE(link.serialNumber(), 0u);
    }

    // One link takes the replies in turn: each is decoded into `reported`; only accepting it
    // sets the unit's fields, the latest accepted deciding the block form.
    void identity()
    {
        const struct { std::uint32_t serial; int major, minor; QByteArray name; QString text, shown; bool multiPart; } rows[] = {
            {22037, 1, 63, "ABC\x7F" "D", "000-022-037", "ABC", false},
            {123456789, 2, 10, "ABCDEFGHIJKLMNOPQ", "123-456-789", "ABCDEFGHIJKLMNOP", true}, // no terminator: cut at 16
            {5, 2, 9, "T+", "000-000-005", "T+", false}, // the name runs into the closing 0xF7
            {0, 3, 0, "", "000-000-000", "", true}};
        DeviceLink link;
        for (const auto &row : rows) {
            const QString before = link.serialText();
            const bool formBefore = link.multiPart();
            QCOMPARE(parseExact(link, unitMessage(0x20, bytes({row.major, row.minor * 2}) + row.name, row.serial)), ReplyIdentity);
            // Decoding alone changes nothing the session runs on: another program may have asked.
            QCOMPARE(link.serialText(), before);
            QCOMPARE(link.multiPart(), formBefore);
            QCOMPARE(link.reported().serialNumber, row.serial);
            link.acceptIdentity();
            QCOMPARE(link.serialText(), row.text);
            QCOMPARE(link.deviceName(), row.shown);
            QCOMPARE(link.firmwareVersion(), std::uint32_t(row.major | row.minor << 8));
            QCOMPARE(link.multiPart(), row.multiPart);
        }
        // Too short to hold the version (it would read the closing 0xF7): no identity.
        DeviceLink fresh;
        QCOMPARE(parseExact(fresh, bytes({0xF0, 0x00, 0x11, 0x22, 0x02, 0, 0, 0, 0, 0x20, 0xF7})), ReplyNone);
        QCOMPARE(parseExact(fresh, bytes({0xF0, 0x00, 0x11, 0x22, 0x02, 0, 0, 0, 0, 0x20, 0x02, 0xF7})), ReplyNone);
        QCOMPARE(parseExact(fresh, bytes({0xF0, 0x00, 0x11, 0x22, 0x02, 0, 0, 0, 0, 0x20, 0x02, 0x12, 0xF7})), ReplyIdentity);
        QCOMPARE(fresh.reported().firmwareVersion, 2u | 0x12u << 7);
    }

    void truncatedReplies_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("identity") << unitMessage(0x20, bytes({0x02, 0x14}) + "ABCDEFGHIJKLMNOP", 0x0ABCDEF);
        QTest::newRow("status") << unitMessage(0x43, bytes({0x01}));
        // Prefixes of 330, 331 and 332 bytes: only 331 bytes carry a preset (320 packed bytes).
        QTest::newRow("preset, one byte long") << unitMessage(0x21, packed(preset(9)) + bytes({0x01}));
    }

    // Every prefix decodes as if the bytes behind it were zero, reading nothing past it (each
    // prefix sits in a heap block of its own size). Of a long message, the first and last 40
    // prefixes: those in between decode alike, and each link zero-fills a whole image.
    void truncatedReplies()
    {
        QFETCH(QByteArray, message);
        DeviceLink ref;
        for (qsizetype n = 1; n <= message.size(); n += n == 40 ? std::max<qsizetype>(1, message.size() - 80) : 1) {
            DeviceLink cut;
            const QByteArray padded = message.left(n).leftJustified(1024, 0);
            const ReplyCode code = ref.parseReply(reinterpret_cast<const std::uint8_t *>(padded.constData()), padded.size());
            // An identity must hold its version: shorter prefixes are none.
            QCOMPARE(parseExact(cut, message.left(n)), code == ReplyIdentity && n < 13 ? ReplyNone : code);
            QVERIFY(cut.reported().serialNumber == ref.reported().serialNumber || n < 13);
            QVERIFY(cut.reported().firmwareVersion == ref.reported().firmwareVersion || n < 13);
            QCOMPARE(cut.reported().deviceName, n < 13 ? QString() : ref.reported().deviceName);
            QCOMPARE(cut.presetLength(), n == 331 ? 256 : 0);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(cut.presetData()), PresetSize) == preset(9), n == 331);
        }
    }
};

QTEST_APPLESS_MAIN(TestDeviceLink)
#include "tst_devicelink.moc"

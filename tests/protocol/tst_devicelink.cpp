// DeviceLink outside the transfer: the messages it builds, the packing and the decoding of
// every message the unit sends.
#include "CaptureSink.h"
#include "DeviceLink.h"
#include "SysEx.h"

#include <QTest>

#include <cstring>
#include <memory>

using namespace Tarsyn;

namespace {

QByteArray unitMessage(std::initializer_list<int> serial, int command, const QByteArray &payload = {})
{
    QByteArray out = bytes({0xF0, 0x00, 0x11, 0x22, 0x02});
    for (int b : serial)
        out.append(char(b));
    out.append(char(command));
    out += payload;
    out.append(char(0xF7));
    return out;
}

QByteArray unitMessage(int command, const QByteArray &payload = {})
{
    return unitMessage({0, 0, 0, 0}, command, payload);
}

// An identity reply: serial in 7-bit groups, the version word's two groups, then the name.
QByteArray identity(std::uint32_t serial, int b10, int b11, const QByteArray &name)
{
    return unitMessage({int(serial & 0x7F), int(serial >> 7 & 0x7F), int(serial >> 14 & 0x7F),
                        int(serial >> 21 & 0x7F)},
                       0x20, bytes({b10, b11}) + name);
}

// Parses `message` from a heap block of exactly its size, so that AddressSanitizer reports
// any read past its end.
ReplyCode parseExact(DeviceLink &link, const QByteArray &message)
{
    const qsizetype n = message.size();
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n]);
    if (n)
        std::memcpy(copy.get(), message.constData(), n);
    return link.parseReply(copy.get(), n);
}

QByteArray preset(std::uint8_t seed)
{
    QByteArray data(PresetSize, Qt::Uninitialized);
    for (int i = 0; i < PresetSize; ++i)
        data[i] = char(std::uint8_t(seed + i * 37));
    return data;
}

QByteArray packed(const QByteArray &data)
{
    QByteArray wire(data.size() / 4 * 5, Qt::Uninitialized);
    packSevenBit(reinterpret_cast<const std::uint8_t *>(data.constData()), int(data.size()),
                 reinterpret_cast<std::uint8_t *>(wire.data()));
    return wire;
}

QByteArray presetOf(const DeviceLink &link)
{
    return QByteArray(reinterpret_cast<const char *>(link.presetData), PresetSize);
}

} // namespace

class TestDeviceLink : public QObject {
    Q_OBJECT

private slots:
    void packing_data();
    void packing();
    void packingRoundTrip();
    void unpackingCutGroup();

    void hostMessages();
    void presetWrite();

    void replyCodes_data();
    void replyCodes();

    void identityVersions();
    void identityFields_data();
    void identityFields();

    void presetReplies_data();
    void presetReplies();

    void truncatedReplies_data();
    void truncatedReplies();
};

void TestDeviceLink::packing_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("example") << bytes({0x12, 0x9A, 0x7F, 0x80}) << bytes({0x12, 0x1A, 0x7F, 0x00, 0x0A});
    QTest::newRow("frame bytes") << bytes({0xF0, 0xF7, 0x00, 0xFF}) << bytes({0x70, 0x77, 0x00, 0x7F, 0x0B});
    QTest::newRow("preset of 0xFF") << QByteArray(256, char(0xFF)) << repeated(bytes({0x7F, 0x7F, 0x7F, 0x7F, 0x0F}), 64);
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestDeviceLink::packing()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, wire);
    QByteArray out(wire.size() + 5, char(0x55));
    const int written = packSevenBit(reinterpret_cast<const std::uint8_t *>(data.constData()), int(data.size()),
                                     reinterpret_cast<std::uint8_t *>(out.data()));
    QCOMPARE(written, int(wire.size()));
    QCOMPARE(out.left(written), wire);
    QCOMPARE(out.mid(written), QByteArray(5, char(0x55))); // nothing written beyond
}

void TestDeviceLink::packingRoundTrip()
{
    for (std::uint8_t seed : {0, 1, 0x80, 0xF7}) {
        const QByteArray data = preset(seed);
        const QByteArray wire = packed(data);
        for (char c : wire)
            QVERIFY(std::uint8_t(c) < 0x80);
        QByteArray back(PresetSize, 0);
        QCOMPARE(unpackSevenBit(int(wire.size()), reinterpret_cast<const std::uint8_t *>(wire.constData()),
                                reinterpret_cast<std::uint8_t *>(back.data())),
                 PresetSize);
        QCOMPARE(back, data);
    }
}

void TestDeviceLink::unpackingCutGroup()
{
    // Seven wire bytes: one whole group and a group cut after two data bytes. The cut group
    // has no flag byte, so its bytes come out as received and its missing bytes as 0.
    const QByteArray wire = bytes({0x01, 0x02, 0x03, 0x04, 0x0F, 0x11, 0x22});
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[wire.size()]);
    std::memcpy(exact.get(), wire.constData(), wire.size());
    std::uint8_t out[8];
    std::memset(out, 0x55, sizeof out);
    QCOMPARE(unpackSevenBit(int(wire.size()), exact.get(), out), 8);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(out), 8), bytes({0x81, 0x82, 0x83, 0x84, 0x11, 0x22, 0x00, 0x00}));

    QCOMPARE(unpackSevenBit(0, exact.get(), out), 0);
    QCOMPARE(unpackSevenBit(-5, exact.get(), out), 0);
}

void TestDeviceLink::hostMessages()
{
    CaptureSink sink;
    DeviceLink link(&sink);
    QVERIFY(link.sendIdentifyRequest());
    link.requestPreset(5, 3);
    link.requestPreset(0x85, 0x13); // out-of-range numbers are masked into the 7-bit and 4-bit fields
    QCOMPARE(sink.messages.size(), 3);
    QCOMPARE(sink.messages[0], hostHeader(0x00) + bytes({0xF7}));
    QCOMPARE(sink.messages[1], hostHeader(0x01) + bytes({0x05, 0x03, 0xF7}));
    QCOMPARE(sink.messages[2], hostHeader(0x01) + bytes({0x05, 0x03, 0xF7}));

    sink.accepts = false;
    QVERIFY(!link.sendIdentifyRequest());
    DeviceLink unconnected;
    QVERIFY(!unconnected.sendIdentifyRequest());
}

void TestDeviceLink::presetWrite()
{
    CaptureSink sink;
    DeviceLink link(&sink);
    const QByteArray data = preset(0xF0);
    std::memcpy(link.presetData, data.constData(), PresetSize);
    link.sendPreset(127, 15);
    link.sendPreset(130, 17);
    QCOMPARE(sink.messages.size(), 2);
    QCOMPARE(sink.messages[0].size(), PresetWriteLength);
    QCOMPARE(sink.messages[0], hostHeader(0x02) + bytes({0x7F, 0x0F}) + packed(data) + bytes({0xF7}));
    QCOMPARE(sink.messages[1], hostHeader(0x02) + bytes({0x02, 0x01}) + packed(data) + bytes({0xF7}));
}

void TestDeviceLink::replyCodes_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("retries");

    QTest::newRow("ack 0x24") << unitMessage(0x24) << int(ReplyBlockOk24) << 0;
    QTest::newRow("ack with serial field") << unitMessage({0x12, 0x34, 0x56, 0x78}, 0x24) << int(ReplyBlockOk24) << 0;
    QTest::newRow("ack 0x25") << unitMessage(0x25) << int(ReplyBlockOk25) << 0;
    QTest::newRow("written 0x22") << unitMessage(0x22) << int(ReplyPresetWritten) << 0;
    QTest::newRow("other 0x23") << unitMessage(0x23) << int(ReplyOther) << 0;
    QTest::newRow("resend large") << unitMessage(0x26) << int(ReplyResendLarge) << 1;
    QTest::newRow("resend small") << unitMessage(0x27) << int(ReplyResendSmall) << 1;
    QTest::newRow("status 0") << unitMessage(0x43, bytes({0x00})) << int(ReplyStatusZero) << 0;
    QTest::newRow("status 1") << unitMessage(0x43, bytes({0x01})) << int(ReplyStatusOther) << 0;
    QTest::newRow("status 7F") << unitMessage(0x43, bytes({0x7F})) << int(ReplyStatusOther) << 0;
    QTest::newRow("command 0x28") << unitMessage(0x28) << int(ReplyNone) << 0;
    QTest::newRow("command 0x42") << unitMessage(0x42) << int(ReplyNone) << 0;
    QTest::newRow("command 0x44") << unitMessage(0x44) << int(ReplyNone) << 0;
    QTest::newRow("command 0x1F") << unitMessage(0x1F) << int(ReplyNone) << 0;
    QTest::newRow("host's own 0x05") << unitMessage(0x05) << int(ReplyNone) << 0;
    QTest::newRow("other maker") << bytes({0xF0, 0x00, 0x11, 0x22, 0x03, 0, 0, 0, 0, 0x24, 0xF7}) << int(ReplyNone) << 0;
    QTest::newRow("no SysEx start") << bytes({0xF1, 0x00, 0x11, 0x22, 0x02, 0, 0, 0, 0, 0x26, 0xF7}) << int(ReplyNone) << 0;
    QTest::newRow("empty") << QByteArray() << int(ReplyNone) << 0;
}

void TestDeviceLink::replyCodes()
{
    QFETCH(QByteArray, message);
    QFETCH(int, code);
    QFETCH(int, retries);
    DeviceLink link;
    link.retryCount = 4;
    link.presetLength = 256;
    QCOMPARE(int(parseExact(link, message)), code);
    QCOMPARE(link.retryCount, 4 + retries);
    // A second one counts again: resend requests are counted with or without a transfer.
    QCOMPARE(int(parseExact(link, message)), code);
    QCOMPARE(link.retryCount, 4 + 2 * retries);
    QCOMPARE(link.presetLength, 256);
    QCOMPARE(link.serialNumber, 0u);
    QVERIFY(link.deviceName.isEmpty());
}

void TestDeviceLink::identityVersions()
{
    struct Row { int b10, b11; std::uint32_t word; bool multiPart; };
    const Row rows[] = {
        {0x01, 0x7E, 0x3F01, false}, // 1.63
        {0x02, 0x12, 0x0902, false}, // 2.09
        {0x02, 0x14, 0x0A02, true},  // 2.10
        {0x02, 0x6E, 0x3702, true},  // 2.55
        {0x02, 0x70, 0x3802, true},  // 2.56
        {0x03, 0x00, 0x0003, true},  // 3.00
        {0x04, 0x7E, 0x3F04, true},  // 4.63
        {0x01, 0x7E, 0x3F01, false}, // back to 1.63: the latest reply decides
        {0x02, 0x14, 0x0A02, true},
        {0x02, 0x12, 0x0902, false},
    };
    DeviceLink link;
    for (const Row &row : rows) {
        QCOMPARE(parseExact(link, identity(1, row.b10, row.b11, "X")), ReplyIdentity);
        QCOMPARE(link.firmwareVersion, row.word);
        QCOMPARE(link.multiPart, row.multiPart);
        QCOMPARE(DeviceLink::selectsMultiPart(row.word), row.multiPart);
    }
}

void TestDeviceLink::identityFields_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<uint>("serial");
    QTest::addColumn<QString>("serialText");
    QTest::addColumn<QString>("name");

    QTest::newRow("22037, 0x7F ends name")
        << unitMessage({0x15, 0x2C, 0x01, 0x00}, 0x20, bytes({0x02, 0x14, 0x41, 0x42, 0x43, 0x7F, 0x44}))
        << 22037u << "000-022-037" << "ABC";
    QTest::newRow("0x00 ends name") << identity(7, 2, 0x14, bytes({0x54, 0x2B, 0x00, 0x41}))
                                    << 7u << "000-000-007" << "T+";
    QTest::newRow("sixteen letters, no terminator") << identity(123456789, 2, 0x14, "ABCDEFGHIJKLMNOP")
                                                    << 123456789u << "123-456-789" << "ABCDEFGHIJKLMNOP";
    QTest::newRow("longer name cut at 16") << identity(0, 2, 0x14, "ABCDEFGHIJKLMNOPQRST")
                                           << 0u << "000-000-000" << "ABCDEFGHIJKLMNOP";
    QTest::newRow("name ends with the message") << identity(5, 2, 0x14, "Tarsyn+")
                                                << 5u << "000-000-005" << "Tarsyn+";
    QTest::newRow("largest serial") << identity(0x0FFFFFFF, 2, 0x14, QByteArray())
                                    << 268435455u << "268-435-455" << "";
}

void TestDeviceLink::identityFields()
{
    QFETCH(QByteArray, message);
    QFETCH(uint, serial);
    QFETCH(QString, serialText);
    QFETCH(QString, name);
    DeviceLink link;
    link.deviceName = "previous unit name";
    QCOMPARE(parseExact(link, message), ReplyIdentity);
    QCOMPARE(link.serialNumber, serial);
    QCOMPARE(link.serialText, serialText);
    QCOMPARE(DeviceLink::serialDisplayText(serial), serialText);
    QCOMPARE(link.deviceName, name);
}

void TestDeviceLink::presetReplies_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("complete");
    QTest::newRow("330 bytes") << 330 << false;
    QTest::newRow("331 bytes") << 331 << true;
    QTest::newRow("332 bytes") << 332 << false;
    QTest::newRow("header only") << 11 << false;
}

void TestDeviceLink::presetReplies()
{
    QFETCH(int, length);
    QFETCH(bool, complete);
    const QByteArray before = preset(3);
    const QByteArray sent = preset(0xF7);
    QByteArray payload = packed(sent);
    payload.resize(length - 11, char(0x01));
    const QByteArray message = unitMessage(0x21, payload);
    QCOMPARE(message.size(), length);

    DeviceLink link;
    std::memcpy(link.presetData, before.constData(), PresetSize);
    link.presetLength = complete ? 0 : 256;
    QCOMPARE(parseExact(link, message), ReplyPresetData);
    QCOMPARE(link.presetLength, complete ? 256 : 0);
    QCOMPARE(presetOf(link), complete ? sent : before);
}

void TestDeviceLink::truncatedReplies_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("identity") << unitMessage({0x15, 0x2C, 0x01, 0x05}, 0x20, bytes({0x02, 0x14}) + "ABCDEFGHIJKLMNOP");
    QTest::newRow("status") << unitMessage(0x43, bytes({0x01}));
    QTest::newRow("resend") << unitMessage(0x26);
    QTest::newRow("preset") << unitMessage(0x21, packed(preset(9)));
}

// Every prefix of a message decodes as if the bytes behind it were zero, and nothing past
// the prefix is read (each prefix sits in a heap block of its own size).
void TestDeviceLink::truncatedReplies()
{
    QFETCH(QByteArray, message);
    const bool isPreset = std::uint8_t(message[9]) == 0x21;
    for (qsizetype n = 0; n <= message.size(); ++n) {
        const QByteArray where = "prefix of " + QByteArray::number(n) + " bytes";
        const QByteArray prefix = message.left(n);
        DeviceLink cut;
        const ReplyCode code = parseExact(cut, prefix);
        if (isPreset) {
            // Only the whole reply carries a complete preset.
            QVERIFY2(code == (n < 10 ? ReplyNone : ReplyPresetData), where);
            QVERIFY2(cut.presetLength == (n == message.size() ? 256 : 0), where);
            continue;
        }
        // Reference: the prefix at the start of a zero-filled input buffer, whose fixed
        // positions read as 0 past the prefix.
        QByteArray padded = prefix;
        padded.resize(1024, 0);
        DeviceLink ref;
        const ReplyCode refCode = n == 0 ? ReplyNone
            : ref.parseReply(reinterpret_cast<const std::uint8_t *>(padded.constData()), padded.size());
        QVERIFY2(code == refCode, where);
        QVERIFY2(cut.serialNumber == ref.serialNumber && cut.firmwareVersion == ref.firmwareVersion, where);
        QVERIFY2(cut.deviceName == ref.deviceName && cut.serialText == ref.serialText, where);
        QVERIFY2(cut.multiPart == ref.multiPart && cut.retryCount == ref.retryCount, where);
    }
}

QTEST_APPLESS_MAIN(TestDeviceLink)
#include "tst_devicelink.moc"

// The virtual unit's protocol logic, message by message, and its command line. Block
// messages are built here from the wire format, independently of the model.
#include "DeviceLink.h"
#include "UnitCommandLine.h"
#include "UnitModel.h"

#include <QtTest>

#include <numeric>

using namespace Tarsyn;
using Messages = QByteArrayList;
// UnitOptions below are written with designated initializers; they name presetFaults, the one
// member without a default initializer, so that -Wextra stays quiet.
Q_DECLARE_METATYPE(UnitOptions)

namespace {

QByteArray header(int command) { return QByteArray::fromHex("F0 00 11 22 02 00 00 00 00") + char(command); }
QByteArray reply(int command) { return header(command) + char(0xF7); }
// The identity reply of the default unit with the version bytes `version` (hex).
QByteArray identity(const char *version)
{
    return QByteArray::fromHex(QByteArray("F0 00 11 22 02 15 2C 01 00 20 ") + version) + "Tarsyn+" + QByteArray::fromHex("00 F7");
}

QByteArray pattern(int size, int salt)
{
    QByteArray data(size, '\0');
    QRandomGenerator(salt).fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

// A block whole, or as parts 1, 2 (, 3, 4) then part 0: address, checksum, packed data.
Messages block(std::uint32_t offset, const QByteArray &data, bool parts)
{
    QByteArray packed(data.size() / 4 * 5, '\0');
    packSevenBit(reinterpret_cast<const std::uint8_t *>(data.constData()), int(data.size()),
                 reinterpret_cast<std::uint8_t *>(packed.data()));
    const int sum = std::accumulate(packed.begin(), packed.end(), 0, [](int s, char c) { return s + quint8(c); });
    const QByteArray stream = QByteArray(1, char((offset >> 8) & 0x7F)) + char((offset >> 15) & 0x7F) + char(sum & 0x7F) + packed;
    Messages out;
    for (int w = 1; parts && w * 132 < stream.size(); ++w)
        out += header(0x05 + w) + stream.mid(w * 132, 132) + char(0xF7);
    return out << header(data.size() == 256 ? 0x05 : 0x04) + (parts ? stream.left(132) : stream) + char(0xF7);
}

// The block of the right size for `offset`, with content the tests below expect there.
Messages goodBlock(std::uint32_t offset, bool parts) { return block(offset, pattern(offset < 0x80000 ? 256 : 512, 1), parts); }

} // namespace

class TestUnitModel : public QObject {
    Q_OBJECT
private slots:
    void identityReply_data()
    {
        QTest::addColumn<UnitOptions>("options");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("2.10") << UnitOptions{} << identity("02 14");
        QTest::newRow("255.63, 28-bit serial, 16 characters, no terminator")
            << UnitOptions{.versionMajor = 255, .versionMinor = 63, .serial = 0x0FFFFFFF, .name = "ABCDEFGHIJKLMNOP", .presetFaults = {}}
            << QByteArray::fromHex("F0 00 11 22 02 7F 7F 7F 7F 20 7F 7F") + "ABCDEFGHIJKLMNOP" + char(0xF7);
    }
    void identityReply()
    {
        QFETCH(UnitOptions, options);
        QFETCH(QByteArray, expected);
        QCOMPARE(UnitModel(options).handleMessage(reply(0x00)), Messages{expected});
    }

    // Good blocks are written; bad ones are asked for again (0x27 small, 0x26 large) and write
    // nothing, and the good block sent next is taken; repeats are acknowledged and counted.
    void blocks_data()
    {
        QTest::addColumn<Messages>("messages");
        QTest::addColumn<QByteArray>("replies");   // the command of each reply; 0x24 for the rest
        QTest::addColumn<uint>("written");         // offset of the one block in the flash afterwards
        QTest::addColumn<int>("repeats");
        for (uint offset : {0x0u, 0x7FF00u, 0x80000u, 0xFFE00u})
            for (bool parts : {false, true})
                QTest::addRow("good, %x, %s", offset, parts ? "parts" : "whole") << goodBlock(offset, parts) << QByteArray() << offset << 0;
        auto rejected = [](const char *name, const Messages &messages, int resend) {
            QTest::newRow(name) << messages + goodBlock(0x1000, messages.size() > 1) << QByteArray(messages.size() - 1, 0x24) + char(resend) << 0x1000u << 0;
        };
        // Byte `position` of message `index` set to `value`, or removed when `value` < 0.
        auto changed = [](Messages m, int index, int position, int value) { m[index].replace(position, 1, value < 0 ? "" : QByteArray(1, char(value))); return m; };
        const Messages small = goodBlock(0x2C300, false), smallParts = goodBlock(0x2C300, true);
        const Messages large = goodBlock(0xEDE00, false), largeParts = goodBlock(0xEDE00, true);
        const Messages bad = changed(small, 0, 12, small[0][12] ^ 1);
        rejected("whole 256, checksum", bad, 0x27);
        rejected("whole 512, one byte short", changed(large, 0, 600, -1), 0x26);
        rejected("whole 256, address in the 512 region", block(0x80000, pattern(256, 1), false), 0x27);
        rejected("whole 512, address off the grid", block(0x80100, pattern(512, 1), false), 0x26);
        rejected("whole 512, no 0xF7", changed(large, 0, 653, -1), 0x26);
        rejected("parts 256, part 2 before part 1", {smallParts[1], smallParts[0], smallParts[2]}, 0x27);
        rejected("parts 512, serial field in part 2", changed(largeParts, 1, 6, 1), 0x26);
        QTest::newRow("whole block repeated") << large + large << QByteArray() << 0xEDE00u << 1;
        QTest::newRow("part 1 repeated") << Messages{largeParts.first()} + largeParts << QByteArray() << 0xEDE00u << 1;
        QTest::newRow("part 0 repeated") << largeParts + Messages{largeParts.last()} << QByteArray() << 0xEDE00u << 1;
        QTest::newRow("asked for again: no repeat") << bad + bad + small << QByteArray("\x27\x27\x24") << 0x2C300u << 0;
        // A whole block where part 0 was due spoils the parts; asked for again, the same
        // message is a new attempt on an empty assembly, not a repeat of the spoiled one.
        QTest::newRow("whole block after parts, asked again, then taken")
            << Messages{smallParts[0], smallParts[1], small[0], small[0]} << QByteArray("\x24\x24\x27\x24") << 0x2C300u << 0;
        QTest::newRow("part 0 alone after parts were spoiled, then the whole block in parts")
            << Messages{largeParts[0], largeParts[2], largeParts[4]} + largeParts << QByteArray("\x24\x24\x26") << 0xEDE00u << 0;
    }
    void blocks()
    {
        QFETCH(Messages, messages);
        QFETCH(QByteArray, replies);
        QFETCH(uint, written);
        QFETCH(int, repeats);
        UnitModel unit;
        for (int i = 0; i < messages.size(); ++i)
            QCOMPARE(unit.handleMessage(messages[i]), Messages{reply(i < replies.size() ? replies[i] : 0x24)});
        const QByteArray data = pattern(written < 0x80000 ? 256 : 512, 1);
        QCOMPARE(unit.flash(), QByteArray(UnitModel::FlashSize, char(0xFF)).replace(written, data.size(), data));
        QCOMPARE(unit.repeatsReceived(), repeats);
    }

    // How each unit judges addresses: a block of the waited address is written; the one just
    // written again, another address, a skipped block, a new update from block 0.
    void addressPolicies_data()
    {
        QTest::addColumn<int>("policy");
        QTest::addColumn<bool>("parts");
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<int>("written");
        // Blocks 0, 0 again, 0x200 (skipping 0x100), 0x100, 0x200, an identify request and 0
        // (a new update).
        for (bool parts : {false, true}) {
            const char *form = parts ? "parts" : "whole";
            QTest::addRow("any, %s", form) << 0 << parts << QByteArray("\x24\x24\x24\x24\x24\x24") << 6;
            QTest::addRow("sequence, %s", form) << 1 << parts << QByteArray("\x24\x24\x27\x24\x24\x24") << 4;
            QTest::addRow("strict, %s", form) << 2 << parts << QByteArray("\x24\x27\x27\x24\x24\x24") << 4;
        }
    }
    void addressPolicies()
    {
        QFETCH(int, policy);
        QFETCH(bool, parts);
        QFETCH(QByteArray, replies);
        QFETCH(int, written);
        UnitModel unit({.addressPolicy = UnitOptions::AddressPolicy(policy), .presetFaults = {}});
        const std::uint32_t order[] = {0, 0, 0x200, 0x100, 0x200, 0};
        for (int i = 0; i < 6; ++i) {
            if (i == 5)   // identified again: a new update
                QCOMPARE(unit.handleMessage(QByteArray::fromHex("F0 00 11 22 02 00 00 00 00 00 F7")).size(), 1);
            const Messages messages = goodBlock(order[i], parts);
            for (int m = 0; m + 1 < messages.size(); ++m)
                QCOMPARE(unit.handleMessage(messages[m]), Messages{reply(0x24)});
            QCOMPARE(unit.handleMessage(messages.last()), Messages{reply(quint8(replies[i]))});
        }
        QCOMPARE(unit.blocksWritten(), written);
        const QByteArray data = pattern(256, 1);
        QCOMPARE(unit.flash().left(0x300), data + data + data);
    }

    // The faults of the link and of a busy unit, over 40 whole blocks: the replies due twice,
    // the pauses after a block and the stray identity replies (of the other form, or of a
    // version given) come every so many, as the unit's counters say.
    void linkFaults_data()
    {
        QTest::addColumn<UnitOptions>("options");
        QTest::addColumn<QList<int>>("counts");   // replies due twice, pauses, stray replies
        QTest::addColumn<QByteArray>("stray");
        QTest::newRow("duplicate every 3rd reply") << UnitOptions{.duplicateEvery = 3, .presetFaults = {}} << QList{13, 0, 0} << QByteArray();
        QTest::newRow("pause after every 7th block") << UnitOptions{.pauseEvery = 7, .presetFaults = {}} << QList{0, 5, 0} << QByteArray();
        QTest::newRow("stray identity of the other form, unit 2.10")
            << UnitOptions{.strayIdentityEvery = 10, .presetFaults = {}} << QList{0, 0, 4} << identity("02 12");
        QTest::newRow("stray identity of the other form, unit 2.09")
            << UnitOptions{.versionMinor = 9, .strayIdentityEvery = 10, .presetFaults = {}} << QList{0, 0, 4} << identity("02 14");
        QTest::newRow("stray identity of a given version")
            << UnitOptions{.strayIdentityEvery = 13, .strayVersionMajor = 3, .strayVersionMinor = 1, .presetFaults = {}}
            << QList{0, 0, 3} << identity("03 02");
        QTest::newRow("all together") << UnitOptions{.duplicateEvery = 4, .pauseEvery = 5, .strayIdentityEvery = 6, .presetFaults = {}}
                                      << QList{10, 8, 6} << identity("02 12");
        // Every block asked for again: nothing written, no pause or stray reply between the
        // host's two sendings of a block; the second is no repeat.
        QTest::newRow("resend always, with every fault")
            << UnitOptions{.duplicateEvery = 4, .pauseEvery = 5, .strayIdentityEvery = 6, .resendAlways = true, .presetFaults = {}}
            << QList{20, 0, 0} << QByteArray();
    }
    void linkFaults()
    {
        QFETCH(UnitOptions, options);
        QFETCH(QList<int>, counts);
        QFETCH(QByteArray, stray);
        UnitModel unit(options);
        const QByteArray answer = reply(options.resendAlways ? 0x27 : 0x24);
        QList<int> seen{0, 0, 0};
        for (int n = 1; n <= 40; ++n) {
            const QByteArray message = block(std::uint32_t(n) * 256, pattern(256, n), false)[0];
            for (int attempt = 0; attempt < (options.resendAlways ? 2 : 1); ++attempt) {
                const Messages out = unit.handleMessage(message);
                QVERIFY(!out.isEmpty() && out[0] == answer && (out.size() == 1 || out.mid(1) == Messages{stray}));
                seen[0] += unit.duplicateDue() == answer;
                seen[1] += unit.pauseDue();
                seen[2] += int(out.size()) - 1;
            }
        }
        QCOMPARE(seen, counts);
        QCOMPARE((QList<int>{unit.repliesDuplicated(), unit.pauses(), unit.strayIdentities()}), counts);
        QCOMPARE(unit.repeatsReceived(), 0);
        QCOMPARE(unit.blocksWritten(), options.resendAlways ? 0 : 40);
        if (options.resendAlways)
            QCOMPARE(unit.flash(), QByteArray(UnitModel::FlashSize, char(0xFF)));
    }

    // A repeat is answered as the first time and leaves the unit as one message would:
    // a mid-block resend request comes again for the repeated part, and the block is whole.
    void repeatAnsweredAlike()
    {
        UnitModel unit({.resendMidBlockEvery = 2, .presetFaults = {}});
        const Messages parts = goodBlock(0x80000, true);   // parts 1..4, then part 0
        const QByteArray expected[] = {reply(0x24), reply(0x26), reply(0x24), reply(0x26), reply(0x24)};
        for (int i = 0; i < parts.size(); ++i) {
            QCOMPARE(unit.handleMessage(parts[i]), Messages{expected[i]});
            QCOMPARE(unit.handleMessage(parts[i]), Messages{expected[i]});
        }
        QCOMPARE(unit.repeatsReceived(), parts.size());
        const QByteArray data = pattern(512, 1);
        QCOMPARE(unit.flash().mid(0x80000, 512), data);
        QCOMPARE(unit.blocksWritten(), 2);   // part 0 and its repeat
    }

    // --strict-form: a unit takes blocks only in the form its version selects.
    void strictForm_data()
    {
        QTest::addColumn<int>("minor");
        QTest::addColumn<bool>("parts");
        QTest::addColumn<QByteArray>("replies");   // one per message; 0: none
        QTest::newRow("2.10, in parts") << 10 << true << QByteArray("\x24\x24\x24\x24\x24");
        QTest::newRow("2.10, whole: asked again") << 10 << false << QByteArray("\x26");
        QTest::newRow("2.09, whole") << 9 << false << QByteArray("\x24");
        QTest::newRow("2.09, in parts: parts unknown, part 0 alone refused") << 9 << true << QByteArray("\x00\x00\x00\x00\x26", 5);
    }
    void strictForm()
    {
        QFETCH(int, minor);
        QFETCH(bool, parts);
        QFETCH(QByteArray, replies);
        UnitModel unit({.versionMinor = minor, .strictForm = true, .presetFaults = {}});
        const Messages messages = goodBlock(0x80000, parts);
        QCOMPARE(messages.size(), replies.size());
        for (int i = 0; i < messages.size(); ++i)
            QCOMPARE(unit.handleMessage(messages[i]), replies[i] ? Messages{reply(replies[i])} : Messages{});
        QCOMPARE(unit.blocksWritten(), replies.endsWith('\x24') ? 1 : 0);
    }

    void presetReadWrite()
    {
        UnitModel unit;
        DeviceLink host;
        auto read = [&](int bank, int slot) {
            const Messages out = unit.handleMessage(header(0x01) + char(slot) + char(bank) + char(0xF7));
            return out.size() == 1 && host.decodeReply(out[0]) == ReplyPresetData ? QByteArray(reinterpret_cast<const char *>(host.presetData()), 256) : QByteArray();
        };
        QCOMPARE(unit.handleMessage(UnitModel::presetWriteMessage(127, 15, pattern(256, 11))), Messages{reply(0x22)});
        QCOMPARE(read(15, 127), pattern(256, 11));
        QCOMPARE(read(16, 0), QByteArray());   // outside the store: no answer
    }

    void presetFile_data()
    {
        QTest::addColumn<QByteArray>("file");
        const QByteArray good = UnitModel({.seed = 99, .presetFaults = {}}).presetFile();
        QTest::newRow("round trip") << good;
        QTest::newRow("one byte short") << good.chopped(1);
        QTest::newRow("bank 16") << QByteArray(good).replace(333 + 11, 1, "\x10");
        QTest::newRow("one preset twice") << QByteArray(good).replace(333, 333, good.left(333));
    }
    void presetFile()
    {
        QFETCH(QByteArray, file);
        UnitModel unit;
        const bool valid = QByteArray(QTest::currentDataTag()) == "round trip";
        QString error;
        QCOMPARE(unit.loadPresetFile(file, &error), valid);
        QCOMPARE(error.isEmpty(), valid);
        QCOMPARE(unit.presetFile(), valid ? file : UnitModel().presetFile());
        if (valid)   // bank after bank: the message for bank 1 slot 2 is the 131st
            QCOMPARE(file.mid(130 * 333, 333), UnitModel::presetWriteMessage(2, 1, unit.preset(1, 2)));
    }

    // The same seed gives the same replies; the probabilities act at about their rate.
    void faultsReproducible()
    {
        auto run = [](std::uint32_t seed) {
            UnitModel unit({.seed = seed, .resendProbability = 0.2, .dropProbability = 0.1, .presetFaults = {}});
            Messages log;
            for (std::uint32_t n = 0; n < 400; ++n)
                log += unit.handleMessage(block(n * 256, pattern(256, int(n)), false)[0]) << "|";
            return log;
        };
        const Messages log = run(42);
        QCOMPARE(run(42), log);
        QVERIFY(run(43) != log);
        const qsizetype resends = log.count(reply(0x27)), dropped = 400 - resends - log.count(reply(0x24));
        QVERIFY2(dropped > 15 && dropped < 70 && resends > 40 && resends < 120, qPrintable(QStringLiteral("%1 %2").arg(dropped).arg(resends)));
    }

    // Values in range are taken, others refused with a message. "--version" alone asks for
    // the program's version; with a value it sets the firmware's.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("minor");   // the firmware's minor version taken; -1: refused, -2: version shown
        QTest::newRow("largest values") << QStringList{"--version", "255.63", "--serial=268435455", "--name", "Unit 16 chars ok", "--drop-probability", "1"} << 63;
        QTest::newRow("minor above 63") << QStringList{"--version", "2.64"} << -1;
        QTest::newRow("firmware version without minor") << QStringList{"--firmware-version", "2"} << -1;
        QTest::newRow("serial above 28 bits") << QStringList{"--serial", "268435456"} << -1;
        QTest::newRow("name of 17 characters") << QStringList{"--name", "ABCDEFGHIJKLMNOPQ"} << -1;
        QTest::newRow("name not ASCII") << QStringList{"--name", QString::fromUtf8("Tärsyn")} << -1;
        QTest::newRow("probability above 1") << QStringList{"--resend-probability", "1.5"} << -1;
        QTest::newRow("link faults")
            << QStringList{"--duplicate-every", "50", "--duplicate-delay", "0.3", "--pause-every=700", "--pause-ms", "2500",
                           "--stray-identity-every", "100", "--stray-identity-version", "2.09", "--resend-always", "--strict-form"} << 10;
        QTest::newRow("negative duplicate delay") << QStringList{"--duplicate-delay", "-1"} << -1;
        QTest::newRow("pause of 0 ms") << QStringList{"--pause-ms", "0"} << -1;
        QTest::newRow("duplicate every 0th") << QStringList{"--duplicate-every", "0"} << -1;
        QTest::newRow("stray version minor above 63") << QStringList{"--stray-identity-version", "2.64"} << -1;
        QTest::newRow("resend-always with a value") << QStringList{"--resend-always=1"} << -1;
        QTest::newRow("raw MIDI device at DIN speed") << QStringList{"--raw-midi", "/dev/snd/midiC0D0", "--din-speed"} << 10;
        QTest::newRow("DIN speed without a raw MIDI device") << QStringList{"--din-speed"} << -1;
        QTest::newRow("--version alone") << QStringList{"--version"} << -2;
        QTest::newRow("--version before an option") << QStringList{"--version", "--port-name", "x"} << -2;
        QTest::newRow("--version with a value") << QStringList{"--version", "2.09"} << 9;
        QTest::newRow("--version with =") << QStringList{"--version=2.07"} << 7;
        QTest::newRow("--firmware-version") << QStringList{"--firmware-version", "2.11"} << 11;
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, minor);
        UnitCommandLine commandLine;
        QString error;
        QCOMPARE(commandLine.parse(QStringList{"tarsyn-virtual-unit"} + arguments, &error), minor != -1);
        QCOMPARE(error.isEmpty(), minor != -1);
        if (minor != -1) {
            QCOMPARE(commandLine.showVersion, minor == -2);
            QCOMPARE(commandLine.options.versionMinor, minor == -2 ? 10 : minor);
        }
    }
};

QTEST_APPLESS_MAIN(TestUnitModel)
#include "tst_unitmodel.moc"

// The virtual unit's protocol logic, message by message and over whole updates. The block
// messages are built here from the wire format, independently of the model.
#include "SysEx.h"
#include "UnitCommandLine.h"
#include "UnitModel.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QtTest>

using namespace Tarsyn;

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray header(int command)
{
    return bytes({0xF0, 0x00, 0x11, 0x22, 0x02, 0, 0, 0, 0, command});
}

QByteArray reply(int command)
{
    return header(command) + char(0xF7);
}

int commandOf(const QByteArray &message)
{
    return message.size() > 9 ? quint8(message.at(9)) : -1;
}

// Address, checksum and packed data of one block.
QByteArray blockStream(std::uint32_t offset, const QByteArray &data)
{
    QByteArray packed(data.size() / 4 * 5, '\0');
    packSevenBit(reinterpret_cast<const std::uint8_t *>(data.constData()), int(data.size()),
                 reinterpret_cast<std::uint8_t *>(packed.data()));
    int sum = 0;
    for (char c : packed)
        sum += quint8(c);
    return bytes({int((offset >> 8) & 0x7F), int((offset >> 15) & 0x7F), sum & 0x7F}) + packed;
}

QByteArray wholeBlock(std::uint32_t offset, const QByteArray &data)
{
    return header(data.size() == 256 ? 0x05 : 0x04) + blockStream(offset, data) + char(0xF7);
}

// The parts in sending order: 1, 2 (, 3, 4), then 0.
QList<QByteArray> blockParts(std::uint32_t offset, const QByteArray &data)
{
    const QByteArray stream = blockStream(offset, data);
    QList<QByteArray> parts;
    for (int w = 1; w * 132 < stream.size(); ++w)
        parts += header(0x05 + w) + stream.mid(w * 132, 132) + char(0xF7);
    parts += header(data.size() == 256 ? 0x05 : 0x04) + stream.left(132) + char(0xF7);
    return parts;
}

QByteArray pattern(int size, int salt)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 37 + salt * 101 + (i >> 3)) & 0xFF);
    return data;
}

// The payload of a whole update: deterministic, with both halves of the byte range.
QByteArray updateImage()
{
    QByteArray image(PayloadSize, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 7 + (i >> 9) * 13) & 0xFF);
    return image;
}

// A host as the updater behaves towards the unit: stop-and-wait; an acknowledgement sends
// the next message; a resend request at a block's end restarts the block, mid-block it is
// taken as an acknowledgement; no reply sends the last message again.
struct Host {
    UnitModel &unit;
    bool multiPart;
    int summaries = 0;
    int repeatsSent = 0;

    // The unit's reply to `message` (noise and status messages aside), or an empty array.
    QByteArray send(const QByteArray &message)
    {
        const QList<QByteArray> out = unit.handleMessage(message);
        if (unit.updateCompleted())
            ++summaries;
        QByteArray answer;
        for (const QByteArray &m : out) {
            if (m.startsWith(header(0).left(5)) && commandOf(m) != 0x43)
                answer = m;
        }
        return answer;
    }

    QByteArray sendUntilAnswered(const QByteArray &message)
    {
        QByteArray answer = send(message);
        for (int tries = 0; answer.isEmpty() && tries < 50; ++tries) {
            ++repeatsSent;
            answer = send(message);
        }
        return answer;
    }

    bool update(const QByteArray &image)
    {
        std::uint32_t offset = 0;
        while (offset < std::uint32_t(image.size())) {
            const int size = offset < LargeRegion ? 256 : 512;
            const QByteArray data = image.mid(offset, size);
            const QList<QByteArray> messages = multiPart ? blockParts(offset, data) : QList{wholeBlock(offset, data)};
            QByteArray answer;
            for (const QByteArray &message : messages) {
                answer = sendUntilAnswered(message);
                if (answer.isEmpty())
                    return false;
            }
            if (commandOf(answer) == 0x24)
                offset += size;
            else if (commandOf(answer) != (size == 256 ? 0x27 : 0x26))
                return false;
        }
        return true;
    }
};

} // namespace

class TestUnitModel : public QObject {
    Q_OBJECT
private slots:
    void identityReply_data();
    void identityReply();
    void acceptsBlock_data();
    void acceptsBlock();
    void workedExample();
    void rejectsBadBlock_data();
    void rejectsBadBlock();
    void repeatsAreHandledAgain_data();
    void repeatsAreHandledAgain();
    void presetReadWrite();
    void presetFailures();
    void presetFile();
    void badPresetFile_data();
    void badPresetFile();
    void wholeUpdate_data();
    void wholeUpdate();
    void faultsReproducible();
    void resendEveryAndNoise();
    void summaryAfterDroppedAck();
    void silentAfter();
    void commandLine_data();
    void commandLine();
};

void TestUnitModel::identityReply_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<uint>("serial");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("defaults 2.10") << 2 << 10 << 22037u << QByteArray("Tarsyn+")
        << bytes({0xF0, 0x00, 0x11, 0x22, 0x02, 0x15, 0x2C, 0x01, 0x00, 0x20, 0x02, 0x14,
                  'T', 'a', 'r', 's', 'y', 'n', '+', 0x00, 0xF7});
    QTest::newRow("2.09, sixteen characters, no terminator") << 2 << 9 << 0x0FFFFFFFu << QByteArray("ABCDEFGHIJKLMNOP")
        << bytes({0xF0, 0x00, 0x11, 0x22, 0x02, 0x7F, 0x7F, 0x7F, 0x7F, 0x20, 0x02, 0x12,
                  'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 0xF7});
    QTest::newRow("255.63, empty name") << 255 << 63 << 0u << QByteArray()
        << bytes({0xF0, 0x00, 0x11, 0x22, 0x02, 0, 0, 0, 0, 0x20, 0x7F, 0x7F, 0x00, 0xF7});
}

void TestUnitModel::identityReply()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(uint, serial);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, expected);
    UnitOptions options;
    options.versionMajor = major;
    options.versionMinor = minor;
    options.serial = serial;
    options.name = name;
    UnitModel unit(options);
    QCOMPARE(unit.handleMessage(reply(0x00)), QList<QByteArray>{expected});
    // A malformed identify request is not answered.
    QVERIFY(unit.handleMessage(header(0x00) + char(0) + char(0xF7)).isEmpty());
}

void TestUnitModel::acceptsBlock_data()
{
    QTest::addColumn<uint>("offset");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("multiPart");
    QTest::newRow("256, whole") << 0x2C300u << 256 << false;
    QTest::newRow("256, whole, at 0") << 0x0u << 256 << false;
    QTest::newRow("512, whole") << 0x80000u << 512 << false;
    QTest::newRow("256, parts") << 0x7FF00u << 256 << true;
    QTest::newRow("512, parts") << 0xFFE00u << 512 << true;
}

void TestUnitModel::acceptsBlock()
{
    QFETCH(uint, offset);
    QFETCH(int, size);
    QFETCH(bool, multiPart);
    UnitModel unit;
    const QByteArray data = pattern(size, 3);
    const QList<QByteArray> messages = multiPart ? blockParts(offset, data) : QList{wholeBlock(offset, data)};
    QList<int> lengths;
    for (const QByteArray &message : messages)
        lengths += int(message.size());
    const QList<int> expectedLengths = !multiPart ? QList{size == 256 ? 334 : 654}
                                     : size == 256 ? QList{143, 70, 143} : QList{143, 143, 143, 126, 143};
    QCOMPARE(lengths, expectedLengths);
    for (const QByteArray &message : messages)
        QCOMPARE(unit.handleMessage(message), QList<QByteArray>{reply(0x24)});
    QCOMPARE(unit.blocksWritten(), 1);
    QCOMPARE(unit.flash().mid(offset, size), data);
    QCOMPARE(unit.flash().count(char(0xFF)), UnitModel::FlashSize - size + data.count(char(0xFF)));
}

enum class Fault { Checksum, Length, AddressRegion, AddressGrid, HeaderByte, Serial, NoEnd, FlagBits,
                   PartOrder, PartMissing, PartZeroAlone, PartLength, PartFrame, PartMixedSize };
Q_DECLARE_METATYPE(Fault)

// The message builders of this test against the worked example of the wire format.
void TestUnitModel::workedExample()
{
    const QByteArray data = bytes({0x12, 0x9A, 0x7F, 0x80}).repeated(64);
    const QByteArray group = bytes({0x12, 0x1A, 0x7F, 0x00, 0x0A});
    QCOMPARE(wholeBlock(0x2C300, data), header(0x05) + bytes({0x43, 0x05, 0x40}) + group.repeated(64) + char(0xF7));
    const QList<QByteArray> parts = blockParts(0x2C300, data);
    QCOMPARE(parts.value(0), header(0x06) + char(0x0A) + group.repeated(26) + char(0x12) + char(0xF7));
    QCOMPARE(parts.value(1), header(0x07) + group.mid(1) + group.repeated(11) + char(0xF7));
    QCOMPARE(parts.value(2), header(0x05) + bytes({0x43, 0x05, 0x40}) + group.repeated(25) + group.left(4) + char(0xF7));
    UnitModel unit;
    for (const QByteArray &part : parts)
        QCOMPARE(unit.handleMessage(part), QList<QByteArray>{reply(0x24)});
    QCOMPARE(unit.flash().mid(0x2C300, 256), data);
}

void TestUnitModel::rejectsBadBlock_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<Fault>("fault");
    QTest::newRow("whole 256, checksum") << 256 << false << Fault::Checksum;
    QTest::newRow("whole 512, checksum") << 512 << false << Fault::Checksum;
    QTest::newRow("whole 256, one byte short") << 256 << false << Fault::Length;
    QTest::newRow("whole 256, address in the 512 region") << 256 << false << Fault::AddressRegion;
    QTest::newRow("whole 512, address below 0x80000") << 512 << false << Fault::AddressRegion;
    QTest::newRow("whole 512, address off the grid") << 512 << false << Fault::AddressGrid;
    QTest::newRow("whole 256, header byte 4") << 256 << false << Fault::HeaderByte;
    QTest::newRow("whole 512, serial field") << 512 << false << Fault::Serial;
    QTest::newRow("whole 256, no 0xF7") << 256 << false << Fault::NoEnd;
    QTest::newRow("whole 256, flag byte bits 4..6") << 256 << false << Fault::FlagBits;
    QTest::newRow("parts 256, checksum") << 256 << true << Fault::Checksum;
    QTest::newRow("parts 512, address off the grid") << 512 << true << Fault::AddressGrid;
    QTest::newRow("parts 256, part 2 before part 1") << 256 << true << Fault::PartOrder;
    QTest::newRow("parts 512, part 3 missing") << 512 << true << Fault::PartMissing;
    QTest::newRow("parts 256, part 0 alone") << 256 << true << Fault::PartZeroAlone;
    QTest::newRow("parts 512, part 4 one byte short") << 512 << true << Fault::PartLength;
    QTest::newRow("parts 512, serial field in part 2") << 512 << true << Fault::PartFrame;
    QTest::newRow("parts 256 ending with a 512 part 0") << 256 << true << Fault::PartMixedSize;
}

void TestUnitModel::rejectsBadBlock()
{
    QFETCH(int, size);
    QFETCH(bool, multiPart);
    QFETCH(Fault, fault);
    std::uint32_t offset = size == 256 ? 0x2C300 : 0xEDE00;
    if (fault == Fault::AddressRegion)
        offset = size == 256 ? 0x80000 : 0x7FE00;
    if (fault == Fault::AddressGrid)
        offset = 0x80100;
    QByteArray data = pattern(size, 5);
    QList<QByteArray> messages = multiPart ? blockParts(offset, data) : QList{wholeBlock(offset, data)};
    QByteArray &last = messages.last();   // the whole block, or part 0
    int resend = size == 256 ? 0x27 : 0x26;

    switch (fault) {
    case Fault::Checksum: last[12] = char((last[12] + 1) & 0x7F); break;
    case Fault::Length: last.remove(last.size() - 2, 1); break;
    case Fault::HeaderByte: last[4] = 0x03; break;
    case Fault::Serial: last[6] = 0x01; break;
    case Fault::NoEnd: last.chop(1); break;
    case Fault::FlagBits: {
        // Bit 4 set in the first flag byte, with the checksum made to match.
        last[17] = char(quint8(last[17]) | 0x10);
        last[12] = char((last[12] + 0x10) & 0x7F);
        break;
    }
    case Fault::PartOrder: messages.swapItemsAt(0, 1); break;
    case Fault::PartMissing: messages.removeAt(2); break;
    case Fault::PartZeroAlone: messages = {messages.last()}; break;
    case Fault::PartLength: messages[3].remove(messages[3].size() - 2, 1); break;
    case Fault::PartFrame: messages[1][6] = 0x01; break;
    case Fault::PartMixedSize: last[9] = 0x04; resend = 0x26; break;
    case Fault::AddressRegion:
    case Fault::AddressGrid: break;
    }

    UnitModel unit;
    for (int i = 0; i < messages.size(); ++i) {
        const int expected = i + 1 < messages.size() ? 0x24 : resend;
        QCOMPARE(unit.handleMessage(messages[i]), QList<QByteArray>{reply(expected)});
    }
    QCOMPARE(unit.blocksWritten(), 0);
    QCOMPARE(unit.resendsAsked(), 1);
    QCOMPARE(unit.flash().count(char(0xFF)), qsizetype(UnitModel::FlashSize));

    // The block sent again, correctly, is taken.
    data = pattern(size, 6);
    const std::uint32_t good = size == 256 ? 0x1000 : 0x80400;
    const QList<QByteArray> again = multiPart ? blockParts(good, data) : QList{wholeBlock(good, data)};
    for (const QByteArray &message : again)
        QCOMPARE(unit.handleMessage(message), QList<QByteArray>{reply(0x24)});
    QCOMPARE(unit.flash().mid(good, size), data);
}

void TestUnitModel::repeatsAreHandledAgain_data()
{
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<int>("repeated");   // index of the message sent twice in a row
    QTest::newRow("whole block") << false << 0;
    QTest::newRow("part 1") << true << 0;
    QTest::newRow("part 3") << true << 2;
    QTest::newRow("part 0") << true << 4;
}

void TestUnitModel::repeatsAreHandledAgain()
{
    QFETCH(bool, multiPart);
    QFETCH(int, repeated);
    UnitModel unit;
    const QByteArray data = pattern(512, 9);
    QList<QByteArray> messages = multiPart ? blockParts(0x90000, data) : QList{wholeBlock(0x90000, data)};
    messages.insert(repeated, messages[repeated]);
    for (const QByteArray &message : messages)
        QCOMPARE(unit.handleMessage(message), QList<QByteArray>{reply(0x24)});
    QCOMPARE(unit.repeatsReceived(), 1);
    QCOMPARE(unit.blocksWritten(), repeated == messages.size() - 2 ? 2 : 1);
    QCOMPARE(unit.flash().mid(0x90000, 512), data);

    // A block sent again because the unit asked for it is no repeat.
    QByteArray bad = wholeBlock(0x1000, pattern(256, 1));
    bad[12] = char((bad[12] + 1) & 0x7F);
    QCOMPARE(unit.handleMessage(bad), QList<QByteArray>{reply(0x27)});
    QCOMPARE(unit.handleMessage(bad), QList<QByteArray>{reply(0x27)});
    QCOMPARE(unit.repeatsReceived(), 1);
}

void TestUnitModel::presetReadWrite()
{
    UnitOptions options;
    options.seed = 7;
    UnitModel unit(options);
    const QByteArray initial = unit.preset(3, 100);
    QVERIFY(initial.count('\0') < 64);
    QVERIFY(initial != UnitModel(UnitOptions{}).preset(3, 100));   // the seed decides the content
    QCOMPARE(initial, UnitModel(options).preset(3, 100));

    auto readRequest = [](int bank, int slot) { return header(0x01) + bytes({slot, bank, 0xF7}); };
    auto unpacked = [](const QByteArray &dataReply) {
        QByteArray out(256, '\0');
        unpackSevenBit(320, reinterpret_cast<const std::uint8_t *>(dataReply.constData()) + 10,
                       reinterpret_cast<std::uint8_t *>(out.data()));
        return out;
    };
    QList<QByteArray> out = unit.handleMessage(readRequest(3, 100));
    QCOMPARE(out.size(), 1);
    QCOMPARE(out[0].size(), 331);
    QVERIFY(out[0].startsWith(header(0x21)) && out[0].endsWith('\xF7'));
    QCOMPARE(unpacked(out[0]), initial);

    const QByteArray written = pattern(256, 11);
    QCOMPARE(unit.handleMessage(UnitModel::presetWriteMessage(15, 127, written)), QList<QByteArray>{reply(0x22)});
    out = unit.handleMessage(readRequest(15, 127));
    QCOMPARE(unpacked(out.value(0)), written);
    QCOMPARE(unit.preset(3, 100), initial);

    // Requests outside the store or of the wrong length are not answered.
    QVERIFY(unit.handleMessage(readRequest(16, 0)).isEmpty());
    QVERIFY(unit.handleMessage(UnitModel::presetWriteMessage(1, 1, written).chopped(2) + char(0xF7)).isEmpty());
}

void TestUnitModel::presetFailures()
{
    UnitOptions options;
    options.presetFaults = {{2, 5, 2}};
    UnitModel unit(options);
    const QByteArray before = unit.preset(2, 5);
    const QByteArray written = pattern(256, 2);
    for (int write = 1; write <= 3; ++write) {
        QCOMPARE(unit.handleMessage(UnitModel::presetWriteMessage(2, 5, written)),
                 QList<QByteArray>{reply(0x22)});
        QCOMPARE(unit.preset(2, 5), write <= 2 ? before : written);
    }
    unit.handleMessage(UnitModel::presetWriteMessage(2, 6, written));
    QCOMPARE(unit.preset(2, 6), written);
}

void TestUnitModel::presetFile()
{
    UnitOptions options;
    options.seed = 99;
    UnitModel source(options);
    source.setPreset(0, 0, pattern(256, 4));
    const QByteArray file = source.presetFile();
    QCOMPARE(file.size(), 2048 * 333);
    // Bank then slot: the message for bank 1 slot 2 is the 131st.
    QCOMPARE(file.mid(130 * 333, 333), UnitModel::presetWriteMessage(1, 2, source.preset(1, 2)));

    UnitModel target;
    QString error;
    QVERIFY2(target.loadPresetFile(file, &error), qPrintable(error));
    for (int bank : {0, 7, 15})
        for (int slot : {0, 64, 127})
            QCOMPARE(target.preset(bank, slot), source.preset(bank, slot));
    QCOMPARE(target.presetFile(), file);
}

void TestUnitModel::badPresetFile_data()
{
    QTest::addColumn<int>("damage");
    QTest::newRow("one byte short") << 0;
    QTest::newRow("identify command in a message") << 1;
    QTest::newRow("bank 16") << 2;
    QTest::newRow("one preset twice") << 3;
    QTest::newRow("8-bit byte in the data") << 4;
}

void TestUnitModel::badPresetFile()
{
    QFETCH(int, damage);
    UnitModel source;
    QByteArray file = source.presetFile();
    const int second = 333;
    switch (damage) {
    case 0: file.chop(1); break;
    case 1: file[second + 9] = 0x00; break;
    case 2: file[second + 11] = 0x10; break;
    case 3: file.replace(second, 333, file.left(333)); break;
    case 4: file[second + 40] = char(0x85); break;
    }
    UnitOptions options;
    options.seed = 5;
    UnitModel target(options);
    const QByteArray before = target.presetFile();
    QString error;
    QVERIFY(!target.loadPresetFile(file, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(target.presetFile(), before);
}

void TestUnitModel::wholeUpdate_data()
{
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<int>("dropEvery");
    QTest::addColumn<int>("resendEvery");
    QTest::addColumn<int>("midBlockEvery");
    QTest::newRow("whole blocks, no faults") << false << 0 << 0 << 0;
    QTest::newRow("parts, no faults") << true << 0 << 0 << 0;
    QTest::newRow("whole blocks, drops and resends") << false << 7 << 5 << 0;
    QTest::newRow("parts, drops, resends, mid-block resends") << true << 11 << 4 << 3;
}

// A whole update through a host that recovers as the updater does: the flash ends up equal to
// the payload and the summary appears once, with counters that match what happened.
void TestUnitModel::wholeUpdate()
{
    QFETCH(bool, multiPart);
    QFETCH(int, dropEvery);
    QFETCH(int, resendEvery);
    QFETCH(int, midBlockEvery);
    UnitOptions options;
    options.dropEvery = dropEvery;
    options.resendEvery = resendEvery;
    options.resendMidBlockEvery = midBlockEvery;
    UnitModel unit(options);
    Host host{unit, multiPart};
    const QByteArray image = updateImage();
    QVERIFY(host.update(image));

    QCOMPARE(host.summaries, 1);
    QCOMPARE(unit.flash().left(PayloadSize), image);
    QCOMPARE(unit.flash().count(char(0xFF)), 0x100000 - int(PayloadSize) + image.count(char(0xFF)));
    QCOMPARE(unit.repliesDropped(), host.repeatsSent);
    QCOMPARE(unit.repeatsReceived(), host.repeatsSent);
    const int resendsAtEnd = resendEvery ? 2928 / resendEvery : 0;
    QVERIFY(unit.resendsAsked() >= resendsAtEnd);
    if (!dropEvery && !midBlockEvery)
        QCOMPARE(unit.resendsAsked(), resendsAtEnd);
    QVERIFY(unit.blocksWritten() >= 2928);
    if (!dropEvery)
        QCOMPARE(unit.blocksWritten(), 2928);

    const QString expectedHash = QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    QCOMPARE(unit.summaryLine(), QStringLiteral("update received: blocks=%1 resends=%2 repeats=%3 dropped=%4 sha256=%5")
                                     .arg(unit.blocksWritten()).arg(unit.resendsAsked()).arg(unit.repeatsReceived())
                                     .arg(unit.repliesDropped()).arg(expectedHash));
    QVERIFY(QRegularExpression(QStringLiteral("^update received: blocks=\\d+ resends=\\d+ repeats=\\d+ dropped=\\d+ sha256=[0-9a-f]{64}$"))
                .match(unit.summaryLine()).hasMatch());

    // A second update into the same unit counts afresh and reports once more.
    QVERIFY(host.update(image));
    QCOMPARE(host.summaries, 2);
    if (!dropEvery)
        QCOMPARE(unit.blocksWritten(), 2928);
}

// The same seed gives the same replies; probabilities act at about their rate.
void TestUnitModel::faultsReproducible()
{
    auto run = [](std::uint32_t seed) {
        UnitOptions options;
        options.seed = seed;
        options.dropProbability = 0.1;
        options.resendProbability = 0.2;
        UnitModel unit(options);
        QList<QByteArray> log;
        for (int n = 0; n < 400; ++n) {
            for (const QByteArray &m : unit.handleMessage(wholeBlock(std::uint32_t(n) * 256, pattern(256, n))))
                log += m;
            log += QByteArray("|");
        }
        return std::make_tuple(log, unit.repliesDropped(), unit.resendsAsked());
    };
    const auto [first, dropped, resends] = run(42);
    QCOMPARE(std::get<0>(run(42)), first);
    QVERIFY(std::get<0>(run(43)) != first);
    QVERIFY2(dropped > 15 && dropped < 70, qPrintable(QString::number(dropped)));
    QVERIFY2(resends > 40 && resends < 120, qPrintable(QString::number(resends)));
}

void TestUnitModel::resendEveryAndNoise()
{
    UnitOptions options;
    options.resendEvery = 2;
    options.noiseEvery = 3;
    options.statusEvery = 2;
    UnitModel unit(options);
    const QByteArray first = wholeBlock(0, pattern(256, 0));
    const QByteArray second = wholeBlock(0x100, pattern(256, 1));

    // Reply 1: ack. Reply 2: resend (second good block), with a status message first.
    QCOMPARE(unit.handleMessage(first), QList<QByteArray>{reply(0x24)});
    const QList<QByteArray> out = unit.handleMessage(second);
    QCOMPARE(out.size(), 2);
    QCOMPARE(out[0], bytes({0xF0, 0x00, 0x11, 0x22, 0x02, 0, 0, 0, 0, 0x43, 0x01, 0xF7}));
    QCOMPARE(out[1], reply(0x27));
    QCOMPARE(unit.flash().at(0x100), char(0xFF));   // not written when asked again

    // Reply 3: the block asked for comes again and is taken; noise first: a message of another
    // maker, one with a wrong header, a note-on and a clock tick.
    const QList<QByteArray> third = unit.handleMessage(second);
    QCOMPARE(third.size(), 5);
    QVERIFY(third[0].startsWith('\xF0') && third[0].at(1) != 0x00 && third[0].endsWith('\xF7'));
    QVERIFY(third[1].startsWith(bytes({0xF0, 0x00, 0x11, 0x22})) && third[1].at(4) != 0x02);
    QCOMPARE(quint8(third[2].at(0)) & 0xF0, 0x90);
    QCOMPARE(third[3], bytes({0xF8}));
    QCOMPARE(third[4], reply(0x24));
    QCOMPARE(unit.flash().mid(0x100, 256), pattern(256, 1));
    QCOMPARE(unit.repeatsReceived(), 0);
    QCOMPARE(unit.resendsAsked(), 1);
}

// The summary waits for the last block's acknowledgement to go out: when it is dropped, the
// host's repeat brings the block again and the summary comes with that acknowledgement.
void TestUnitModel::summaryAfterDroppedAck()
{
    UnitOptions options;
    options.dropEvery = 2;
    UnitModel unit(options);
    const QByteArray last = wholeBlock(LastPayloadBlock, pattern(512, 1));
    QCOMPARE(unit.handleMessage(reply(0x00)).size(), 1);
    QVERIFY(unit.handleMessage(last).isEmpty());
    QVERIFY(!unit.updateCompleted());
    QCOMPARE(unit.handleMessage(last), QList<QByteArray>{reply(0x24)});
    QVERIFY(unit.updateCompleted());
    QVERIFY(unit.summaryLine().startsWith(QLatin1String("update received: blocks=2 resends=0 repeats=1 dropped=1 sha256=")));
    QVERIFY(unit.handleMessage(last).isEmpty());          // dropped again: no second summary
    QCOMPARE(unit.handleMessage(last).size(), 1);
    QVERIFY(!unit.updateCompleted());
}

void TestUnitModel::silentAfter()
{
    UnitOptions options;
    options.silentAfter = 2;
    UnitModel unit(options);
    QCOMPARE(unit.handleMessage(reply(0x00)).size(), 1);
    QCOMPARE(unit.handleMessage(wholeBlock(0, pattern(256, 0))).size(), 1);
    QVERIFY(unit.handleMessage(wholeBlock(0x100, pattern(256, 1))).isEmpty());
    QVERIFY(unit.handleMessage(reply(0x00)).isEmpty());
    QCOMPARE(unit.blocksWritten(), 1);
}

void TestUnitModel::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("valid");
    QTest::newRow("defaults") << QStringList{} << true;
    QTest::newRow("everything") << QStringList{"--version", "2.09", "--serial=268435455", "--name", "Unit 16 chars ok",
                                               "--seed", "4294967295", "--drop-probability", "0.5", "--preset-fail",
                                               "15:127:3", "--preset-fail=0:0:1", "--exit-after-update", "--verbose",
                                               "--port-name", "t1"} << true;
    QTest::newRow("unknown option") << QStringList{"--colour"} << false;
    QTest::newRow("version without minor") << QStringList{"--version", "2"} << false;
    QTest::newRow("minor above 63") << QStringList{"--version", "2.64"} << false;
    QTest::newRow("serial above 28 bits") << QStringList{"--serial", "268435456"} << false;
    QTest::newRow("name of 17 characters") << QStringList{"--name", "ABCDEFGHIJKLMNOPQ"} << false;
    QTest::newRow("name not ASCII") << QStringList{"--name", QString::fromUtf8("Tärsyn")} << false;
    QTest::newRow("probability above 1") << QStringList{"--resend-probability", "1.5"} << false;
    QTest::newRow("preset-fail bank 16") << QStringList{"--preset-fail", "16:0:1"} << false;
    QTest::newRow("flag with a value") << QStringList{"--verbose=1"} << false;
}

void TestUnitModel::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, valid);
    arguments.prepend(QStringLiteral("tarsyn-virtual-unit"));
    UnitCommandLine commandLine;
    QString error;
    QCOMPARE(commandLine.parse(arguments, &error), valid);
    QCOMPARE(error.isEmpty(), valid);
    if (QByteArray(QTest::currentDataTag()) == "everything") {
        QCOMPARE(UnitModel::identityReply(commandLine.options).mid(5, 7),
                 bytes({0x7F, 0x7F, 0x7F, 0x7F, 0x20, 0x02, 0x12}));
        QCOMPARE(commandLine.options.presetFaults.size(), 2);
        QCOMPARE(commandLine.portBaseName(), QStringLiteral("Tarsyn+ virtual unit t1"));
    }
}

QTEST_APPLESS_MAIN(TestUnitModel)
#include "tst_unitmodel.moc"

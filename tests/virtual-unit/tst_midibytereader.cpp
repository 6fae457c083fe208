// The virtual unit's MIDI input behind a raw device: SysEx messages out of a byte stream
// with everything a MIDI line carries between and inside them.
#include "MidiByteReader.h"

#include <QtTest>

using namespace Tarsyn;

namespace {

QByteArray longMessage(qsizetype size)
{
    QByteArray m(size, '\x55');
    m.front() = char(0xF0);
    m.back() = char(0xF7);
    return m;
}

} // namespace

class TestMidiByteReader : public QObject {
    Q_OBJECT
private slots:
    void messages_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArrayList>("expected");
        const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
        QTest::newRow("one message") << hex("F0 01 02 F7") << QByteArrayList{hex("F0 01 02 F7")};
        QTest::newRow("real-time bytes inside and around")
            << hex("F8 F0 01 F8 02 FE FA FC FF F7 F8") << QByteArrayList{hex("F0 01 02 F7")};
        QTest::newRow("channel messages and running status between")
            << hex("90 40 64 41 64 F0 01 F7 B0 07 7F 0A 00 F0 02 F7 C0 05")
            << QByteArrayList{hex("F0 01 F7"), hex("F0 02 F7")};
        QTest::newRow("a status byte ends a message early")
            << hex("F0 01 02 90 40 64 F7 F0 03 F7") << QByteArrayList{hex("F0 01 02"), hex("F0 03 F7")};
        QTest::newRow("a system common byte ends a message early")
            << hex("F0 01 F2 10 20 F0 02 F7") << QByteArrayList{hex("F0 01"), hex("F0 02 F7")};
        QTest::newRow("F0 without F7 before the next F0")
            << hex("F0 01 F0 02 F7") << QByteArrayList{hex("F0 01"), hex("F0 02 F7")};
        QTest::newRow("data and F7 with no message open") << hex("01 02 F7 7F F7") << QByteArrayList{};
        QTest::newRow("empty message") << hex("F0 F7") << QByteArrayList{hex("F0 F7")};
        QTest::newRow("longest message")
            << longMessage(MidiByteReader::MaxMessageSize) << QByteArrayList{longMessage(MidiByteReader::MaxMessageSize)};
        QTest::newRow("one byte too long, then a good one")
            << longMessage(MidiByteReader::MaxMessageSize + 1) + hex("F0 03 F7") << QByteArrayList{hex("F0 03 F7")};
    }
    void messages()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArrayList, expected);
        MidiByteReader reader;
        QByteArrayList received;
        for (char byte : std::as_const(stream)) {
            if (std::optional<QByteArray> message = reader.push(byte))
                received << *message;
        }
        QCOMPARE(received, expected);
    }
};

QTEST_APPLESS_MAIN(TestMidiByteReader)
#include "tst_midibytereader.moc"

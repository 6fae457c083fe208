// The flash's own files without MIDI: choosing a port from what a user typed, and every way
// a preset .syx file can be unusable.
#include "PortSelector.h"
#include "SyxFile.h"
#include "SysEx.h"

#include <QFile>
#include <QTest>

using namespace Tarsyn;

class TestFlashFiles : public QObject {
    Q_OBJECT

private slots:
    void selectPort_data()
    {
        QTest::addColumn<QString>("selector");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("error");
        QTest::newRow("index") << "2" << 2 << "";
        QTest::newRow("index out of range") << "7" << -1 << "there is no input port 7";
        QTest::newRow("part of a name, any case") << "MIDI THROUGH" << 0 << "";
        QTest::newRow("exact name beats a longer one") << "tarsyn+ virtual unit 1 out" << 1 << "";
        QTest::newRow("several match") << "virtual unit" << -1 << "matches 2 input ports";
        QTest::newRow("none match") << "keyboard" << -1 << "no input port matches \"keyboard\"";
    }
    void selectPort()
    {
        QFETCH(QString, selector);
        QFETCH(int, index);
        QFETCH(QString, error);
        const QStringList names{"Midi Through Port-0", "Tarsyn+ virtual unit 1 out", "Tarsyn+ virtual unit 1 out 2"};
        const PortChoice choice = Tarsyn::selectPort(names, selector, QStringLiteral("input"));
        QCOMPARE(choice.index, index);
        if (index < 0) {
            QVERIFY2(choice.error.contains(error), qPrintable(choice.error));
            // The user is shown what there is to choose from.
            QVERIFY(choice.error.contains(QLatin1String(" 1  Tarsyn+ virtual unit 1 out")));
        }
    }

    void unusablePresetFile_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("error");
        PresetSet set;
        set.packed.fill(QByteArray(PackedPresetSize, '\x2A'));
        const QByteArray good = SyxFile::encodePresets(set);
        const int m = PresetWriteLength;
        auto patched = [&](int pos, char value) { QByteArray f = good; f[pos] = value; return f; };

        QTest::newRow("empty") << QByteArray() << "holds 0 of the 2048 presets";
        QTest::newRow("last byte cut") << good.chopped(1) << "message 2048 (at byte 681651) has no end";
        QTest::newRow("one message missing") << good.chopped(m) << "bank 15 slot 127 is missing";
        QTest::newRow("a preset twice")
            << good.left(5 * m) + good.mid(4 * m, m) + good.mid(6 * m) << "bank 0 slot 4 appears twice";
        QTest::newRow("byte with bit 7") << patched(3 * m + 100, char(0x85)) << "message 4 (at byte 999): byte 100";
        QTest::newRow("bank 16") << patched(11, 16) << "names bank 16";
        QTest::newRow("other command") << patched(9, 0x21) << "not a Tarsyn+ preset-write message";
        QTest::newRow("other maker") << patched(2, 0x12) << "not a Tarsyn+ preset-write message";
        QTest::newRow("garbage between") << good.left(m) + "xyz" + good.mid(m) << "byte 333 is not the start";
        QTest::newRow("short message")
            << good.left(m) + QByteArray::fromHex("F00011220202F7") + good.mid(m) << "7 bytes long";
        QTest::newRow("end marker missing, next message begins")
            << good.left(m - 1) + good.mid(m) << "message 1 (at byte 0) has no end";
    }
    // A write that finds no room says so in plain words (/dev/full: every write ends in
    // ENOSPC); another failure keeps the system's text.
    void writeFailure()
    {
#ifdef _WIN32
        QSKIP("/dev/full is a Linux device");
#endif
        QFile full(QStringLiteral("/dev/full"));
        if (!full.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            QSKIP("/dev/full cannot be opened here");
        QVERIFY(full.write(QByteArray(4096, 'x')) < 4096);
        QCOMPARE(SyxFile::writeFailure(full), QStringLiteral("the disk is full"));
        QFile folder(QStringLiteral(TARSYN_BINARY_DIR));
        QVERIFY(!folder.open(QIODevice::WriteOnly));
        QVERIFY(!SyxFile::writeFailure(folder).contains(QLatin1String("full")));
    }

    void unusablePresetFile()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, error);
        PresetSet set;
        const QString problem = SyxFile::parsePresets(file, set);
        QVERIFY2(problem.contains(error), qPrintable(problem));
    }
};

QTEST_GUILESS_MAIN(TestFlashFiles)
#include "tst_flashfiles.moc"

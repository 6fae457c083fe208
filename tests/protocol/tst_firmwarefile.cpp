// The firmware file: the image load, the check of a user's file, the built-in file.
#include "FirmwareFile.h"
#include "SysEx.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace Tarsyn;

namespace {

constexpr std::uint8_t Before = 0xAA; // what the image holds before a load
constexpr std::uint8_t Skipped = 0xEE; // the skipped bytes of the test files; never in their payload

// A test file: `size` bytes, the skipped part all 0xEE, the payload bytes i % 0xED (no 0xEE).
QByteArray testFile(qint64 size)
{
    QByteArray file(size, char(Skipped));
    for (qint64 i = FileSkip; i < size; ++i)
        file[i] = char(i % 0xED);
    return file;
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return path;
}

std::unique_ptr<std::uint8_t[]> freshImage()
{
    std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[ImageSize]);
    std::memset(image.get(), Before, ImageSize);
    return image;
}

QByteArray asBytes(const std::uint8_t *data, qsizetype n)
{
    return QByteArray(reinterpret_cast<const char *>(data), n);
}

const QString builtFile = QStringLiteral(TARSYN_BINARY_DIR "/firmware/tarsosV2_3.bin");

} // namespace

class TestFirmwareFile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void load_data();
    void load();
    void loadUnopenable();
    void builtInFile();
    void check_data();
    void check();

private:
    QTemporaryDir dir;
};

void TestFirmwareFile::initTestCase()
{
    QVERIFY(dir.isValid());
}

void TestFirmwareFile::load_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("loaded");
    QTest::newRow("1 MiB") << qint64(0x100000) << qint64(PayloadSize);
    QTest::newRow("short") << qint64(FileSkip + 1001) << qint64(1001);
    QTest::newRow("shorter than the skipped part") << qint64(0x1000) << qint64(0);
    QTest::newRow("empty") << qint64(0) << qint64(0);
    QTest::newRow("longer than skip + 1 MiB") << qint64(FileSkip + ImageSize + 4096) << qint64(ImageSize);
}

void TestFirmwareFile::load()
{
    QFETCH(qint64, size);
    QFETCH(qint64, loaded);
    const QByteArray file = testFile(size);
    const QString path = writeFile(dir, QStringLiteral("load.bin"), file);
    QVERIFY(!path.isEmpty());

    auto image = freshImage();
    QVERIFY(loadFirmwareImage(path, image.get()));
    // File bytes 0x12000 on sit at image offset 0; nothing of the skipped part arrives.
    QCOMPARE(asBytes(image.get(), loaded), file.mid(FileSkip, loaded));
    QCOMPARE(qint64(std::count(image.get(), image.get() + ImageSize, Skipped)), qint64(0));
    // What the file does not reach keeps its content: from 0xEE000 on with the 1 MiB file.
    QCOMPARE(qint64(std::count(image.get() + loaded, image.get() + ImageSize, Before)), ImageSize - loaded);

    // Every load yields the same bytes again.
    std::memset(image.get(), 0x11, loaded);
    QVERIFY(loadFirmwareImage(path, image.get()));
    QCOMPARE(asBytes(image.get(), loaded), file.mid(FileSkip, loaded));
}

void TestFirmwareFile::loadUnopenable()
{
    auto image = freshImage();
    QVERIFY(!loadFirmwareImage(dir.filePath(QStringLiteral("missing.bin")), image.get()));
    QVERIFY(!loadFirmwareImage(dir.path(), image.get())); // a directory
    QVERIFY(!loadFirmwareImage(QStringLiteral(":/data/absent.bin"), image.get()));
    QCOMPARE(qint64(std::count(image.get(), image.get() + ImageSize, Before)), qint64(ImageSize));
}

void TestFirmwareFile::builtInFile()
{
    // The build's file is the placeholder, and the programs carry it as a resource.
    std::unique_ptr<std::uint8_t[]> expected(new std::uint8_t[FirmwareFileSize]);
    makePlaceholderFirmware(expected.get());
    QFile file(builtFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray built = file.readAll();
    QCOMPARE(built, asBytes(expected.get(), FirmwareFileSize));

    // Its payload exercises the packing: bit 7 and the SysEx frame bytes occur.
    const QByteArray payload = built.mid(FileSkip);
    QVERIFY(payload.contains(char(0xF0)));
    QVERIFY(payload.contains(char(0xF7)));
    QVERIFY(std::count_if(payload.begin(), payload.end(), [](char c) { return c & 0x80; }) > 1000);

    auto image = freshImage();
    QVERIFY(loadFirmwareImage(QString::fromLatin1(BuiltInFirmwarePath), image.get()));
    QCOMPARE(asBytes(image.get(), PayloadSize), payload);
    QCOMPARE(checkFirmwareFile(QString::fromLatin1(BuiltInFirmwarePath)), QString());
}

void TestFirmwareFile::check_data()
{
    QTest::addColumn<qint64>("size"); // -1: no such file
    QTest::addColumn<QStringList>("mentions");
    QTest::newRow("right size") << qint64(FirmwareFileSize) << QStringList();
    QTest::newRow("short") << qint64(1000) << QStringList{"is 1,000 bytes", "1,048,576 bytes", "check.bin"};
    QTest::newRow("one byte long") << qint64(FirmwareFileSize + 1) << QStringList{"is 1,048,577 bytes", "1,048,576"};
    QTest::newRow("empty") << qint64(0) << QStringList{"is 0 bytes"};
    QTest::newRow("missing") << qint64(-1) << QStringList{"cannot be read", "check.bin"};
}

void TestFirmwareFile::check()
{
    QFETCH(qint64, size);
    QFETCH(QStringList, mentions);
    QTemporaryDir here;
    const QString path = here.filePath(QStringLiteral("check.bin"));
    if (size >= 0)
        QCOMPARE(writeFile(here, QStringLiteral("check.bin"), testFile(size)), path);
    const QString message = checkFirmwareFile(path);
    QCOMPARE(message.isEmpty(), mentions.isEmpty());
    for (const QString &m : mentions)
        QVERIFY2(message.contains(m), qPrintable(message));
}

QTEST_APPLESS_MAIN(TestFirmwareFile)
#include "tst_firmwarefile.moc"

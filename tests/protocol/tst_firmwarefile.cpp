// The firmware file: the image load and the check of a user's file.
#include "FirmwareFile.h"
#include "SysEx.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <vector>

#include <sys/stat.h>

using namespace Tarsyn;

class TestFirmwareFile : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString writeFile(const QByteArray &content)
    {
        QFile file(dir.filePath(QStringLiteral("firmware.bin")));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() ? file.fileName() : QString();
    }

private slots:
    void load()
    {
        std::vector<std::uint8_t> image(ImageSize, 0xAA);
        QVERIFY(!loadFirmwareImage(dir.filePath(QStringLiteral("missing.bin")), image.data()));
        QCOMPARE(std::count(image.begin(), image.end(), 0xAA), qsizetype(ImageSize));

        // The skipped part all 0xEE, a value the payload never has.
        QByteArray content(FirmwareFileSize, char(0xEE));
        for (qint64 i = FileSkip; i < FirmwareFileSize; ++i)
            content[i] = char(i % 0xED);
        QVERIFY(loadFirmwareImage(writeFile(content), image.data()));
        // File bytes 0x12000 on sit at image offset 0; the image from 0xEE000 keeps its content.
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(image.data()), PayloadSize), content.mid(FileSkip));
        QCOMPARE(std::count(image.begin() + PayloadSize, image.end(), 0xAA), qsizetype(ImageSize - PayloadSize));
    }

    void check_data()
    {
        QTest::addColumn<qint64>("size"); // -1: no such file, -2: a FIFO, -3: a folder
        QTest::addColumn<QString>("mentions");
        QTest::newRow("right size") << FirmwareFileSize << QString();
        QTest::newRow("one byte long") << FirmwareFileSize + 1 << QStringLiteral("is 1,048,577 bytes");
        QTest::newRow("missing") << qint64(-1) << QStringLiteral("none.bin\" cannot be read");
        QTest::newRow("FIFO") << qint64(-2) << QStringLiteral("fifo.bin\" is not a regular file");
        QTest::newRow("folder") << qint64(-3) << QStringLiteral("folder.bin\" is not a regular file");
    }

    // Neither the check nor the load may block: a FIFO without a writer would hang open().
    void check()
    {
        QFETCH(qint64, size);
        QFETCH(QString, mentions);
        QString path;
        if (size == -1) {
            path = dir.filePath(QStringLiteral("none.bin"));
        } else if (size == -2) {
            path = dir.filePath(QStringLiteral("fifo.bin"));
#ifdef _WIN32
            QSKIP("no named pipes in the file system on Windows");
#else
            QVERIFY(QFile::exists(path) || ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
#endif
        } else if (size == -3) {
            path = dir.filePath(QStringLiteral("folder.bin"));
            QVERIFY(QDir().mkpath(path));
        } else {
            path = writeFile(QByteArray(size, 0));
        }
        const QString message = checkFirmwareFile(path);
        QCOMPARE(message.isEmpty(), mentions.isEmpty());
        QVERIFY2(message.contains(mentions), qPrintable(message));
        std::vector<std::uint8_t> image(ImageSize, 0xAA);
        QCOMPARE(loadFirmwareImage(path, image.data()), size >= 0);
    }
};

QTEST_APPLESS_MAIN(TestFirmwareFile)
#include "tst_firmwarefile.moc"

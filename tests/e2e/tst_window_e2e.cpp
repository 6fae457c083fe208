// The tarsyn-update window (its test build, tarsyn-update-scripted: the same program plus a
// script driver) on a real X display (Xvfb), updating tarsyn-virtual-unit through the private
// JACK server, driven as a person would: pick the unit's ports, Connect, Update, take a
// screenshot, read the message and press OK. The unit reports the SHA-256 of what it received,
// which must be that of the firmware file's payload.

#include "E2eProcess.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class WindowE2eTest : public QObject {
    Q_OBJECT
private slots:
    void update_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("resendEvery");
        QTest::newRow("single message, 2.09") << "2.09" << 97;
        QTest::newRow("multi-part, 2.10") << "2.10" << 89;
    }

    void update()
    {
        QFETCH(QString, version);
        QFETCH(int, resendEvery);
        // The fixture's Xvfb display, as it wrote it.
        const QByteArray display = readAll(qEnvironmentVariable("TARSYN_TEST_DISPLAY_FILE")).trimmed();
        if (display.isEmpty())
            QFAIL("no display in $TARSYN_TEST_DISPLAY_FILE: run through ctest (fixture xvfb)");
        QFile firmware(QStringLiteral(TARSYN_FIRMWARE_FILE));
        QVERIFY2(firmware.open(QIODevice::ReadOnly), TARSYN_FIRMWARE_FILE " cannot be read");
        const QByteArray payloadDigest =
            QCryptographicHash::hash(firmware.readAll().mid(0x12000, 0xEE000), QCryptographicHash::Sha256).toHex();

        const QString id = QStringLiteral("e2e-%1-%2").arg(QCoreApplication::applicationPid()).arg(version);
        std::unique_ptr<E2eProcess> unit;
        // Right after the JACK server has come up a first client is sometimes turned away.
        for (int attempt = 0; attempt < 3 && !(unit && unit->out.contains("ready:")); ++attempt) {
            unit.reset();
            unit = std::make_unique<E2eProcess>(TARSYN_UNIT_EXE, QStringList{"--port-name", id, "--version", version,
                                                "--resend-every", QString::number(resendEvery)});
            unit->waitForOutput("ready:", 20000);
        }
        QVERIFY2(unit->out.contains("ready:"), unit->describe().constData());

        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString shot = home.filePath("window.png");
        QFile script(home.filePath("script"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("select MidiInList virtual unit %1\nselect MidiOutList virtual unit %1\nconnect\n"
                                    "print SnEdit\nprint VersionEdit\nclick TransferButton\nwait-progress 1\n"
                                    "shot %2\nbox\nclose\n").arg(id, shot).toUtf8());
        script.close();
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("DISPLAY", display);
        qputenv("TARSYN_UI_SCRIPT", QFile::encodeName(script.fileName()));
        qputenv("TARSYN_UI_SCRIPT_TIMEOUT", "400");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path())); // the user's own settings stay untouched
        // In a sanitizer build, strict string checks flag libxkbcommon-x11's strndup of an
        // unterminated X reply (it reads no further than its bound); not ours to mend.
        qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS").replace("strict_string_checks=1", "strict_string_checks=0"));
        E2eProcess window(TARSYN_UPDATE_EXE, {});
        QVERIFY2(window.waitForEnd(450000) && window.exitCode() == 0, window.describe().constData());

        const auto shown = [&](const QString &line) {
            return QRegularExpression(line, QRegularExpression::MultilineOption).match(window.out);
        };
        const auto box = shown("^box: Tarsyn\\+ Update \\| transfer successful, (\\d+) retries \\[OK\\]$");
        QVERIFY2(box.hasMatch() && box.captured(1).toInt() > 0, window.describe().constData());
        QVERIFY2(shown("^SnEdit: \\d{3}-\\d{3}-\\d{3}$").hasMatch(), window.describe().constData());
        QVERIFY2(shown("^VersionEdit: " + QRegularExpression::escape(version) + "$").hasMatch(),
                 window.describe().constData());
        QFile picture(shot);
        QVERIFY2(picture.open(QIODevice::ReadOnly) && picture.read(8) == "\x89PNG\r\n\x1a\n", qPrintable(shot));

        QVERIFY2(unit->waitForOutput("update received: ", 20000), unit->describe().constData());
        const auto digest = QRegularExpression("^update received: .*sha256=([0-9a-f]{64})",
                                               QRegularExpression::MultilineOption).match(unit->out);
        QVERIFY2(digest.hasMatch(), unit->describe().constData());
        QCOMPARE(digest.captured(1).toLatin1(), payloadDigest);
    }
};

QTEST_GUILESS_MAIN(WindowE2eTest)
#include "tst_window_e2e.moc"

// tarsyn-flash against tarsyn-virtual-unit through a real JACK server: each test starts its
// own unit (its own port name) and runs the flash as a user would.
//
// A real MIDI link loses a message now and then, so the counts are compared as bounds that
// allow for the flash's repeats, never as "nothing was lost".
#include "E2eProcess.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString FlashExe = QStringLiteral(TARSYN_FLASH_EXE);
const QString UnitExe = QStringLiteral(TARSYN_UNIT_EXE);
constexpr int UpdateMs = 240000;   // a whole update under the sanitizers, with room to spare
constexpr int ShortMs = 60000;
constexpr int PresetMessage = 333;

QString uniqueId(const QString &tag)
{
    return QStringLiteral("flash-%1-%2").arg(tag).arg(QCoreApplication::applicationPid());
}

QStringList pair(const QString &id)
{
    return {QStringLiteral("--in"), id, QStringLiteral("--out"), id};
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// SHA-256 of the firmware file's payload, bytes 0x12000 .. 0xFFFFF.
QString payloadHash()
{
    const QByteArray file = readAll(QStringLiteral(TARSYN_FIRMWARE_FILE));
    return QString::fromLatin1(QCryptographicHash::hash(file.mid(0x12000), QCryptographicHash::Sha256).toHex());
}

// The numbers after "key=" in the unit's summary line.
int summaryValue(const QString &summary, const QString &key)
{
    const QRegularExpressionMatch m = QRegularExpression(key + QStringLiteral("=(\\d+)")).match(summary);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// Unit stderr lines (--verbose) for the messages it received.
QStringList receivedLog(const QString &err)
{
    QStringList lines;
    for (const QString &line : err.split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1Char('#')))
            lines << line;
    return lines;
}

} // namespace

class TestFlash : public QObject {
    Q_OBJECT

private:
    // Starts a unit and waits for its ready line.
    std::unique_ptr<E2eProcess> startUnit(const QString &id, const QStringList &options)
    {
        auto unit = std::make_unique<E2eProcess>(UnitExe, QStringList{QStringLiteral("--port-name"), id} + options);
        unit->start();
        if (!unit->waitForOutput(QStringLiteral("ready: "), ShortMs))
            qWarning("%s", qPrintable(unit->describe()));
        return unit;
    }

    std::unique_ptr<E2eProcess> flash(const QStringList &arguments, int milliseconds = ShortMs)
    {
        return runToEnd(FlashExe, arguments, milliseconds);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("JACK_DEFAULT_SERVER"), "needs the jack fixture");
        QVERIFY(QFile::exists(FlashExe));
        QVERIFY(QFile::exists(UnitExe));
        QCOMPARE(QFileInfo(QStringLiteral(TARSYN_FIRMWARE_FILE)).size(), 0x100000);
    }

    void identify_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("form");
        QTest::newRow("2.09") << "2.09" << "single message";
        QTest::newRow("2.10") << "2.10" << "multi-part";
    }
    void identify()
    {
        QFETCH(QString, version);
        QFETCH(QString, form);
        const QString id = uniqueId(QStringLiteral("identify-") + version);
        auto unit = startUnit(id, {"--version", version, "--serial", "123456789", "--name", "Studio A"});
        QVERIFY(unit->running());

        auto ports = flash({"ports"});
        QCOMPARE(ports->exitCode(), 0);
        const QString listing = ports->out();
        const qsizetype outputs = listing.indexOf(QLatin1String("output ports:"));
        QVERIFY2(outputs > 0, qPrintable(listing));
        QVERIFY2(listing.left(outputs).contains(id), qPrintable(listing));
        QVERIFY2(listing.mid(outputs).contains(id), qPrintable(listing));

        auto run = flash(QStringList{"identify"} + pair(id));
        QVERIFY2(run->exitCode() == 0, qPrintable(run->describe()));
        QVERIFY2(run->out().contains(QLatin1String("serial:     123-456-789")), qPrintable(run->describe()));
        QVERIFY2(run->out().contains(QLatin1String("version:    ") + version), qPrintable(run->describe()));
        QVERIFY2(run->out().contains(QLatin1String("name:       Studio A")), qPrintable(run->describe()));
        QVERIFY2(run->out().contains(QLatin1String("block form: ") + form), qPrintable(run->describe()));

        // A selector that names no port: status 3 and the ports to choose from.
        auto wrong = flash({"identify", "--in", id + "-nosuch", "--out", id});
        QCOMPARE(wrong->exitCode(), 3);
        QVERIFY2(wrong->err().contains(QLatin1String("no input port matches")) && wrong->err().contains(id),
                 qPrintable(wrong->describe()));
    }

    void noUnitAnswers()
    {
        const QString id = uniqueId(QStringLiteral("mute"));
        auto unit = startUnit(id, {"--silent-after", "0"});
        QVERIFY(unit->running());
        auto run = flash(QStringList{"update", "--timeout", "0.3"} + pair(id));
        QVERIFY2(run->exitCode() == 4, qPrintable(run->describe()));
        QVERIFY2(run->err().contains(QLatin1String("no unit answered on ")), qPrintable(run->describe()));
        QVERIFY(!run->out().contains(QLatin1String("update:")));   // no transfer began
    }

    // A whole update in each block form, with everything the unit can throw in: resend
    // requests (for 256- and 512-byte blocks, and in the middle of a block), dropped replies,
    // noise and status messages between replies.
    void update_data()
    {
        QTest::addColumn<QStringList>("unitOptions");
        QTest::newRow("single message")
            << QStringList{"--version", "2.09", "--seed", "3", "--resend-every", "211", "--drop-every", "401",
                           "--noise-every", "37", "--status-every", "53"};
        QTest::newRow("multi-part")
            << QStringList{"--version", "2.10", "--seed", "4", "--resend-every", "307", "--resend-mid-block-every",
                           "1009", "--drop-every", "1999", "--noise-every", "41", "--status-every", "59"};
    }
    void update()
    {
        QFETCH(QStringList, unitOptions);
        const QString id = uniqueId(QStringLiteral("update-") + QTest::currentDataTag()).replace(' ', '-');
        auto unit = startUnit(id, unitOptions);
        QVERIFY(unit->running());

        auto run = flash(QStringList{"update", "--timeout", "1"} + pair(id), UpdateMs);
        QVERIFY2(!run->running() && !run->crashed() && run->exitCode() == 0, qPrintable(run->describe()));
        const QRegularExpressionMatch reported =
            QRegularExpression(QStringLiteral("transfer successful: (\\d+) resend requests?, (\\d+) repeats?"))
                .match(run->out());
        QVERIFY2(reported.hasMatch(), qPrintable(run->describe()));
        // Plain progress lines when standard output is not a terminal.
        QVERIFY2(run->out().contains(QLatin1String("update: 50%")) && run->out().contains(QLatin1String("update: 100%")),
                 qPrintable(run->describe()));

        QVERIFY2(unit->waitForOutput(QStringLiteral("update received:"), ShortMs), qPrintable(unit->describe()));
        const QString summary = unit->out().mid(unit->out().indexOf(QLatin1String("update received:")));
        QVERIFY2(summary.contains(QLatin1String("sha256=") + payloadHash()), qPrintable(summary));

        const int flashResends = reported.captured(1).toInt();
        const int flashRepeats = reported.captured(2).toInt();
        const int unitResends = summaryValue(summary, QStringLiteral("resends"));
        const int unitRepeats = summaryValue(summary, QStringLiteral("repeats"));
        const int unitDropped = summaryValue(summary, QStringLiteral("dropped"));
        const QString counts = QStringLiteral("flash: %1 resends %2 repeats; unit: %3")
                                   .arg(flashResends).arg(flashRepeats).arg(summary.trimmed());
        QVERIFY2(unitResends > 0 && unitDropped > 0, qPrintable(counts));   // the faults did happen
        // Every resend request that arrived was counted; one that was lost was made up for
        // by a repeat. Every dropped reply cost a repeat, and the unit saw no repeat that the
        // flash did not send.
        QVERIFY2(flashResends <= unitResends && unitResends <= flashResends + flashRepeats, qPrintable(counts));
        QVERIFY2(flashRepeats >= unitDropped, qPrintable(counts));
        QVERIFY2(unitRepeats <= flashRepeats, qPrintable(counts));
    }

    // The unit stops answering mid-transfer, by going silent or by dying: the flash repeats,
    // gives up and says so, with a failure status; it neither hangs nor crashes.
    void unitStops_data()
    {
        QTest::addColumn<bool>("kill");
        QTest::newRow("silent") << false;
        QTest::newRow("killed") << true;
    }
    void unitStops()
    {
        QFETCH(bool, kill);
        const QString id = uniqueId(QStringLiteral("stops-") + QTest::currentDataTag());
        auto unit = startUnit(id, kill ? QStringList{"--version", "2.09"} : QStringList{"--silent-after", "300"});
        QVERIFY(unit->running());

        E2eProcess run(FlashExe, QStringList{"update", "--timeout", "0.3", "--retries", "3"} + pair(id));
        run.start();
        if (kill) {
            QVERIFY2(run.waitForOutput(QStringLiteral("update: 10%"), UpdateMs), qPrintable(run.describe()));
            unit->sendSignal(SIGKILL);
        }
        QVERIFY2(run.waitForEnd(ShortMs), qPrintable(run.describe()));
        QVERIFY2(!run.crashed() && run.exitCode() == 1, qPrintable(run.describe()));
        QVERIFY2(run.err().contains(QLatin1String("the unit does not answer (no reply after 3 repeats in a row)")),
                 qPrintable(run.describe()));
        QVERIFY2(run.err().contains(QLatin1String("the update did not complete")), qPrintable(run.describe()));
        QVERIFY(!run.out().contains(QLatin1String("transfer successful")));
    }

    // Unusable input is refused before anything goes to the unit.
    void refusedInputSendsNothing()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString id = uniqueId(QStringLiteral("refuse"));
        auto unit = startUnit(id, {"--verbose", "--dump-presets", dir.filePath("unit.syx")});
        QVERIFY(unit->running());
        // A well-formed preset file to damage: the unit's own store.
        unit->sendSignal(SIGTERM);
        QVERIFY(unit->waitForEnd(ShortMs));
        const QByteArray presets = readAll(dir.filePath("unit.syx"));
        QCOMPARE(presets.size(), 2048 * PresetMessage);
        unit = startUnit(id, {"--verbose"});
        QVERIFY(unit->running());

        QByteArray damaged = presets;
        damaged[5 * PresetMessage + 40] = char(0x80);
        QVERIFY(writeAll(dir.filePath("short.bin"), QByteArray(1000, '\x55')));
        QVERIFY(writeAll(dir.filePath("long.bin"), QByteArray(0x100001, '\x55')));
        QVERIFY(writeAll(dir.filePath("truncated.syx"), presets.chopped(100)));
        QVERIFY(writeAll(dir.filePath("damaged.syx"), damaged));

        struct Case {
            QStringList arguments;
            QString error;
        };
        const QList<Case> cases{
            {{"update", "--firmware", dir.filePath("short.bin")}, "is 1,000 bytes"},
            {{"update", "--firmware", dir.filePath("long.bin")}, "is 1,048,577 bytes"},
            {{"update", "--firmware", dir.filePath("none.bin")}, "cannot be read"},
            {{"restore", dir.filePath("truncated.syx")}, "has no end"},
            {{"restore", dir.filePath("damaged.syx")}, "message 6"},
            {{"restore", dir.filePath("none.syx")}, "cannot read"},
        };
        for (const Case &c : cases) {
            auto run = flash(c.arguments + pair(id));
            QVERIFY2(run->exitCode() == 2 && run->err().contains(c.error), qPrintable(run->describe()));
        }
        QVERIFY(receivedLog(unit->err()).isEmpty());

        // The unit logs what it receives: a good command shows up as its first messages.
        auto good = flash(QStringList{"identify"} + pair(id));
        QCOMPARE(good->exitCode(), 0);
        QVERIFY(QTest::qWaitFor([&] { return !receivedLog(unit->err()).isEmpty(); }, ShortMs));
        const QStringList log = receivedLog(unit->err());
        QVERIFY2(log.first().startsWith(QLatin1String("#1 11 bytes, command 0x00")), qPrintable(log.join('\n')));
        // The identify request goes out a second time only when the first reply is late.
        QVERIFY2(log.size() <= 2, qPrintable(log.join('\n')));
    }

    // Backup, interrupted backup, restore with a preset that needs retries, and a preset that
    // never sticks.
    void presets()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString backupPath = dir.filePath("backup.syx");
        const QString id = uniqueId(QStringLiteral("presets"));
        auto unit = startUnit(id, {"--seed", "11", "--dump-presets", dir.filePath("unit-a.syx")});
        QVERIFY(unit->running());

        auto backup = flash(QStringList{"backup"} + pair(id) + QStringList{backupPath}, UpdateMs);
        QVERIFY2(backup->exitCode() == 0, qPrintable(backup->describe()));
        QVERIFY2(backup->out().contains(QLatin1String("backup written: 2048 presets")), qPrintable(backup->describe()));

        // Interrupted half-way: no file under the name, and no temporary one left behind.
        E2eProcess interrupted(FlashExe, QStringList{"backup"} + pair(id) + QStringList{dir.filePath("cut.syx")});
        interrupted.start();
        QVERIFY2(interrupted.waitForOutput(QStringLiteral("backup: 30%"), UpdateMs), qPrintable(interrupted.describe()));
        interrupted.sendSignal(SIGINT);
        QVERIFY(interrupted.waitForEnd(ShortMs));
        QVERIFY2(!interrupted.crashed() && interrupted.exitCode() == 130, qPrintable(interrupted.describe()));
        QVERIFY2(QDir(dir.path()).entryList({"cut*"}, QDir::Files | QDir::Hidden).isEmpty(),
                 qPrintable(QDir(dir.path()).entryList().join(' ')));

        // The backup is the unit's store byte for byte (bank 0's byte 128 as the unit holds it).
        unit->sendSignal(SIGTERM);
        QVERIFY(unit->waitForEnd(ShortMs));
        const QByteArray saved = readAll(backupPath);
        QCOMPARE(saved.size(), 2048 * PresetMessage);
        QVERIFY(saved == readAll(dir.filePath("unit-a.syx")));

        // A file that differs from the unit in four presets. Bank 0 slot 0 differs in data
        // byte 128 (packed byte 160), the byte the store keeps adjusted.
        QByteArray wanted = saved;
        const QList<QPair<int, int>> changed{{0, 0}, {3, 5}, {9, 77}, {15, 127}};
        for (const auto &[bank, slot] : changed) {
            const int message = (bank * 128 + slot) * PresetMessage;
            const int packedByte = bank == 0 ? 160 : 17;
            wanted[message + 12 + packedByte] = char(wanted[message + 12 + packedByte] ^ 0x01);
        }
        const QString wantedPath = dir.filePath("wanted.syx");
        QVERIFY(writeAll(wantedPath, wanted));

        // Preset (3, 5) loses its first two writes: two retries.
        unit = startUnit(id, {"--presets", backupPath, "--preset-fail", "3:5:2", "--dump-presets",
                              dir.filePath("unit-c.syx")});
        QVERIFY(unit->running());
        auto restore = flash(QStringList{"restore"} + pair(id) + QStringList{wantedPath}, UpdateMs);
        QVERIFY2(restore->exitCode() == 0, qPrintable(restore->describe()));
        QVERIFY2(restore->out().contains(QLatin1String("restore complete: 4 presets written, 2 retries")),
                 qPrintable(restore->describe()));
        unit->sendSignal(SIGTERM);
        QVERIFY(unit->waitForEnd(ShortMs));
        QVERIFY(readAll(dir.filePath("unit-c.syx")) == wanted);

        // A preset that never sticks: the flash gives up on it and names it.
        unit = startUnit(id, {"--presets", backupPath, "--preset-fail", "0:0:100"});
        QVERIFY(unit->running());
        auto failing = flash(QStringList{"restore"} + pair(id) + QStringList{wantedPath}, UpdateMs);
        QVERIFY2(failing->exitCode() == 1, qPrintable(failing->describe()));
        QVERIFY2(failing->err().contains(QLatin1String("the preset in bank 0, slot 0 did not take after 16 writes")),
                 qPrintable(failing->describe()));
    }
};

QTEST_GUILESS_MAIN(TestFlash)
#include "tst_flash.moc"

// tarsyn-flash against a virtual unit that plays the faults of a real link and of a busy
// unit, through a real JACK server: replies that come twice (at several delays against a
// round trip), that are lost, that come from elsewhere (an identity reply of another
// version), a unit that pauses for seconds, one that asks for every block again, a second
// host on the same ports, and preset backups and restores while replies come twice.
//
// The outcomes that may be accepted: success with the unit's flash (or the backup) exact;
// where no recovery is possible, a failure with a clear message. Never success with a wrong
// flash or backup, and never a hang: every run has a time budget and is killed after it.
#include "E2eProcess.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>

namespace {

using Process = std::unique_ptr<E2eProcess>;
const QString FlashExe = QStringLiteral(TARSYN_FLASH_EXE);
constexpr int ShortMs = 60000;
constexpr int PayloadOffset = 0x12000;
constexpr int PayloadSize = 0x100000 - PayloadOffset;

// Time budgets of one update under the sanitizers: a clean one takes about 8 s in single
// messages and 30 s in parts; the faults below may add their pauses and some recovery.
int budgetMs(const QString &version)
{
    return version == QLatin1String("2.09") ? 60000 : 150000;
}

QString portName(const QString &tag)
{
    return QStringLiteral("faults-%1-%2").arg(tag).arg(QCoreApplication::applicationPid());
}

QStringList pair(const QString &id)
{
    return {QStringLiteral("--in"), id, QStringLiteral("--out"), id};
}

Process startUnit(const QString &id, const QStringList &options)
{
    auto unit = std::make_unique<E2eProcess>(QStringLiteral(TARSYN_UNIT_EXE), QStringList{"--port-name", id} + options);
    unit->waitForOutput(QStringLiteral("ready: "), ShortMs);
    return unit;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QByteArray &payload()
{
    static const QByteArray bytes = readAll(QStringLiteral(TARSYN_FIRMWARE_FILE)).mid(PayloadOffset);
    return bytes;
}

// The flash's output and the unit's, for a failure message.
QByteArray both(const E2eProcess &flash, const E2eProcess &unit)
{
    return flash.describe() + "\n=== unit:\n" + unit.describe();
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    // Runs `tarsyn-flash update` (with `flashOptions`) against a unit with `unitOptions` and
    // returns the flash's run; `flash` holds the unit's flash at its end (from --dump).
    struct UpdateRun {
        Process unit;
        Process run;
        bool ended = false;
        QByteArray flash;
    };
    UpdateRun update(const QString &id, const QStringList &unitOptions, int budget, const QStringList &flashOptions = {})
    {
        UpdateRun r;
        const QString dump = dir.filePath(id + QLatin1String(".bin"));
        QFile::remove(dump);
        r.unit = startUnit(id, unitOptions + QStringList{"--dump", dump});
        if (!r.unit->running())
            return r;
        r.run = std::make_unique<E2eProcess>(FlashExe, QStringList{"update"} + flashOptions + pair(id));
        r.ended = r.run->waitForEnd(budget);
        r.run->sendSignal(SIGKILL);   // over its budget: a hang
        r.unit->sendSignal(SIGTERM);
        r.unit->waitForEnd(ShortMs);
        r.flash = readAll(dump);
        return r;
    }

    // The one outcome where recovery is possible: success, the unit's flash exact.
    static void verifyExact(const UpdateRun &r, int budget)
    {
        QVERIFY2(r.unit && r.run, "the unit did not start");
        QVERIFY2(r.ended, "no end within " + QByteArray::number(budget / 1000) + " s\n" + both(*r.run, *r.unit));
        QVERIFY2(r.flash.size() == 0x100000, "no flash dump from the unit\n" + r.unit->describe());
        const bool exact = r.flash.left(PayloadSize) == payload();
        // The worst outcome first: success claimed over a wrong flash.
        QVERIFY2(r.run->exitCode() != 0 || exact, "SUCCESS CLAIMED WITH A WRONG FLASH\n" + both(*r.run, *r.unit));
        QVERIFY2(r.run->exitCode() == 0 && r.run->out.contains(QLatin1String("transfer successful")),
                 "failed where recovery is possible\n" + both(*r.run, *r.unit));
        QVERIFY2(r.unit->out.contains(QLatin1String("update received:")), r.unit->describe());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QCOMPARE(payload().size(), PayloadSize);
    }

    // Every 20th reply comes twice: well under a round trip later (~0.3 ms), about one
    // (~3 ms) and several (~10 ms). A second copy must never be taken as the answer to the
    // next message.
    void duplicatedReplies_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("delay");
        for (const char *version : {"2.09", "2.10"})
            for (const char *delay : {"0.3", "3", "10"})
                QTest::addRow("%s, copy after %s ms", version, delay) << QString::fromLatin1(version) << QString::fromLatin1(delay);
    }
    void duplicatedReplies()
    {
        QFETCH(QString, version);
        QFETCH(QString, delay);
        const QString id = portName(QStringLiteral("dup-%1-%2").arg(version, delay));
        const UpdateRun r = update(id, {"--version", version, "--duplicate-every", "20", "--duplicate-delay", delay},
                                   budgetMs(version));
        verifyExact(r, budgetMs(version));
        QVERIFY2(!r.unit->out.contains(QLatin1String("duplicated=0 ")), r.unit->describe());
    }

    // Another program on the port asks the unit who it is now and then; its identity replies,
    // naming the other block form, must not switch the form of the update under way (the
    // unit takes only its own form, so a switch cannot go unnoticed).
    void strayIdentity_data()
    {
        QTest::addColumn<QString>("version");
        QTest::newRow("single-message unit, stray 2.10") << "2.09";
        QTest::newRow("multi-part unit, stray 2.09") << "2.10";
    }
    void strayIdentity()
    {
        QFETCH(QString, version);
        const UpdateRun r = update(portName(QStringLiteral("stray-") + version),
                                   {"--version", version, "--stray-identity-every", "500", "--strict-form"},
                                   budgetMs(version));
        verifyExact(r, budgetMs(version));
        QVERIFY2(!r.unit->out.contains(QLatin1String("strays=0 ")), r.unit->describe());
    }

    // The unit pauses 2.5 s after every 700th block, reading nothing meanwhile (a sector
    // erase): the update with default settings must wait for it, not give up, and stay exact
    // although its repeats pile up in the unit's input meanwhile.
    void unitPauses_data()
    {
        QTest::addColumn<QString>("version");
        QTest::newRow("single-message") << "2.09";
        QTest::newRow("multi-part") << "2.10";
    }
    void unitPauses()
    {
        QFETCH(QString, version);
        const int budget = budgetMs(version) + 4 * 2500;
        const UpdateRun r = update(portName(QStringLiteral("pause-") + version),
                                   {"--version", version, "--pause-every", "700", "--pause-ms", "2500"}, budget);
        verifyExact(r, budget);
        QVERIFY2(r.unit->out.contains(QLatin1String("paused=4 ")), r.unit->describe());
    }

    // One reply in 400 is lost: exact, success.
    void lostReplies_data()
    {
        QTest::addColumn<QString>("version");
        QTest::newRow("single-message") << "2.09";
        QTest::newRow("multi-part") << "2.10";
    }
    void lostReplies()
    {
        QFETCH(QString, version);
        const UpdateRun r = update(portName(QStringLiteral("loss-") + version),
                                   {"--version", version, "--drop-every", "400"}, budgetMs(version));
        verifyExact(r, budgetMs(version));
        QVERIFY2(!r.unit->out.contains(QLatin1String("dropped=0 ")), r.unit->describe());
    }

    // A unit (or a cable) that asks for every block again: the update ends, with a failure
    // and a message naming the block, instead of running forever.
    void endlessResendRequests_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("block");
        QTest::newRow("single-message") << "2.09" << "0x0";
        QTest::newRow("multi-part") << "2.10" << "0x0";
    }
    void endlessResendRequests()
    {
        QFETCH(QString, version);
        QFETCH(QString, block);
        const UpdateRun r = update(portName(QStringLiteral("resend-") + version), {"--version", version, "--resend-always"},
                                   ShortMs);
        QVERIFY2(r.unit && r.run, "the unit did not start");
        QVERIFY2(r.ended, "no end within 60 s\n" + both(*r.run, *r.unit));
        const QRegularExpression message(QStringLiteral("the unit keeps asking for block 0x[0-9A-Fa-f]+ again: "
                                                        "check the MIDI connection"));
        QVERIFY2(r.run->exitCode() == 1 && r.run->err.contains(message), both(*r.run, *r.unit));
        QVERIFY2(r.run->err.contains(QLatin1String("block ") + block + QLatin1Char(' '), Qt::CaseInsensitive),
                 both(*r.run, *r.unit));
        QVERIFY2(!r.unit->out.contains(QLatin1String("update received:")), r.unit->describe());
    }

    // A second tarsyn-flash on the ports of a unit that another is updating is refused at
    // once (status 3, naming the port); the first goes on undisturbed.
    void secondHostRefused()
    {
        const QString id = portName(QStringLiteral("two-hosts"));
        const QString dump = dir.filePath(id + QLatin1String(".bin"));
        auto unit = startUnit(id, {"--version", "2.09", "--dump", dump});
        QVERIFY2(unit->running(), unit->describe());
        E2eProcess first(FlashExe, QStringList{"update"} + pair(id));
        QVERIFY2(first.waitForOutput(QStringLiteral(" form"), ShortMs), first.describe());

        for (const QString &job : {QStringLiteral("update"), QStringLiteral("identify")}) {
            E2eProcess second(FlashExe, QStringList{job} + pair(id));
            QVERIFY2(second.waitForEnd(ShortMs), second.describe());
            QVERIFY2(second.exitCode() == 3 && second.err.contains(QLatin1String("in use"))
                         && second.err.contains(QLatin1String("virtual unit ") + id),
                     second.describe());
        }

        QVERIFY2(first.waitForEnd(budgetMs(QStringLiteral("2.09"))) && first.exitCode() == 0, first.describe());
        // Once the first has ended, the ports are free again.
        E2eProcess third(FlashExe, QStringList{"identify"} + pair(id));
        QVERIFY2(third.waitForEnd(ShortMs) && third.exitCode() == 0, third.describe());
        unit->sendSignal(SIGTERM);
        QVERIFY(unit->waitForEnd(ShortMs));
        QVERIFY2(readAll(dump).left(PayloadSize) == payload(), unit->describe());
    }

    // A backup while replies come twice: the file equals the unit's store, or no file is
    // written and the failure is said. Preset replies name no slot; a copy taken as the
    // next preset shifts the whole backup.
    void backupWithDuplicates_data()
    {
        QTest::addColumn<QString>("delay");
        QTest::newRow("copy after 1.5 ms") << "1.5";
        QTest::newRow("copy after 8 ms") << "8";
    }
    void backupWithDuplicates()
    {
        QFETCH(QString, delay);
        const QString id = portName(QStringLiteral("backup-") + delay);
        const QString store = dir.filePath(id + QLatin1String("-store.syx"));
        const QString backup = dir.filePath(id + QLatin1String("-backup.syx"));
        auto unit = startUnit(id, {"--seed", "5", "--duplicate-every", "50", "--duplicate-delay", delay,
                                   "--dump-presets", store});
        QVERIFY2(unit->running(), unit->describe());
        E2eProcess run(FlashExe, QStringList{"backup"} + pair(id) + QStringList{backup});
        const bool ended = run.waitForEnd(ShortMs * 2);
        run.sendSignal(SIGKILL);
        unit->sendSignal(SIGTERM);
        QVERIFY(unit->waitForEnd(ShortMs));
        QVERIFY2(ended, "no end within 120 s\n" + both(run, *unit));
        const QByteArray saved = readAll(backup);
        QVERIFY2(run.exitCode() != 0 || saved == readAll(store), "SUCCESS CLAIMED WITH A WRONG BACKUP\n" + both(run, *unit));
        QVERIFY2(run.exitCode() == 0 || (!QFile::exists(backup) && !run.err.isEmpty()), both(run, *unit));
        QVERIFY2(run.exitCode() == 0, "failed where recovery is possible\n" + both(run, *unit));
    }

    // A restore while replies come twice: every preset differs, so each is written and read
    // back. It ends with the unit's store equal to the file, or with a failure that says so;
    // never "complete" over a store that differs.
    void restoreWithDuplicates()
    {
        const QString id = portName(QStringLiteral("restore"));
        const QString wanted = dir.filePath(id + QLatin1String("-wanted.syx"));
        const QString store = dir.filePath(id + QLatin1String("-store.syx"));
        auto source = startUnit(id + QLatin1String("-source"), {"--seed", "6", "--dump-presets", wanted});
        source->sendSignal(SIGTERM);
        QVERIFY2(source->waitForEnd(ShortMs) && readAll(wanted).size() == 2048 * 333, source->describe());

        auto unit = startUnit(id, {"--seed", "5", "--duplicate-every", "50", "--duplicate-delay", "1.5",
                                   "--dump-presets", store});
        QVERIFY2(unit->running(), unit->describe());
        E2eProcess run(FlashExe, QStringList{"restore"} + pair(id) + QStringList{wanted});
        const bool ended = run.waitForEnd(ShortMs * 3);
        run.sendSignal(SIGKILL);
        unit->sendSignal(SIGTERM);
        QVERIFY(unit->waitForEnd(ShortMs));
        QVERIFY2(ended, "no end within 180 s\n" + both(run, *unit));
        const bool same = readAll(store) == readAll(wanted);
        QVERIFY2(run.exitCode() != 0 || same, "SUCCESS CLAIMED OVER A STORE THAT DIFFERS\n" + both(run, *unit));
        QVERIFY2(run.exitCode() == 0 && run.out.contains(QLatin1String("restore complete: 2048 presets written")),
                 "failed where recovery is possible\n" + both(run, *unit));
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"

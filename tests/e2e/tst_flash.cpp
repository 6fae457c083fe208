// tarsyn-flash against tarsyn-virtual-unit through a real MIDI system (a private JACK server, or
// ALSA's sequencer in the ALSA guest): each test starts its own units (their own port names)
// and runs the flash as a user would.
//
// A real MIDI link loses a message now and then, so the counts are compared as bounds that
// allow for the flash's repeats, never as "nothing was lost".
#include "E2eProcess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <csignal>
#include <sys/stat.h>

#include <algorithm>
#include <tuple>
#include <utility>

namespace {

constexpr int LongMs = 240000;   // a whole transfer under the sanitizers, with room to spare
// Over the USB link of an emulated guest each message also crosses the emulated controller and
// the USB MIDI drivers on both sides: a whole multi-part update takes about five minutes there.
constexpr int UsbLongMs = 900000;
constexpr int PresetMessage = 333;

Process flash(const QStringList &arguments, int milliseconds = ShortMs)
{
    auto run = std::make_unique<E2eProcess>(FlashExe, arguments);
    run->waitForEnd(milliseconds);
    return run;
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A MIDI interface: the unit behind a raw MIDI device, the flash on the sequencer port at the
// device's other end. In the ALSA guest's run: snd-virmidi's (TARSYN_TEST_RAW_MIDI and
// TARSYN_TEST_RAW_MIDI_PORT), or the USB MIDI gadget, which scripts/usb-midi-unit
// (TARSYN_USB_MIDI_UNIT, in the `usb` tests' run) plugs in as the unit starts behind it; the
// host's USB MIDI class driver names its port after the product, and the flash waits for it
// as for a unit just plugged in. Empty elsewhere.
struct MidiInterface {
    QString port;     // the flash's selector; empty when there is no interface
    QString device;   // snd-virmidi's raw device
    QString usb;      // the USB gadget's script

    // tarsyn-flash's options for the interface's port.
    QStringList ports() const
    {
        return pair(port) + (usb.isEmpty() ? QStringList() : QStringList{"--wait", "60"});
    }
    // The bound of a whole job.
    int longMs() const { return usb.isEmpty() ? LongMs : UsbLongMs; }

    Process startUnit(const QStringList &options) const
    {
        if (usb.isEmpty())
            return ::startUnit(QStringList{"--raw-midi", device} + options);
        return startUsbUnit(usb, options);
    }
};
MidiInterface midiInterface()
{
    const QString script = qEnvironmentVariable("TARSYN_USB_MIDI_UNIT");
    if (!script.isEmpty())
        return MidiInterface{QStringLiteral("Tarsyn+ MIDI 1"), {}, script};
    const QString device = qEnvironmentVariable("TARSYN_TEST_RAW_MIDI");
    const QString port = qEnvironmentVariable("TARSYN_TEST_RAW_MIDI_PORT");
    return device.isEmpty() || port.isEmpty() ? MidiInterface() : MidiInterface{port, device, {}};
}
constexpr char NoMidiInterface[] = "needs a raw MIDI device and its sequencer port (TARSYN_TEST_RAW_MIDI, "
                                   "TARSYN_TEST_RAW_MIDI_PORT) or the USB MIDI gadget (TARSYN_USB_MIDI_UNIT), "
                                   "which the ALSA guest's run sets (ctest -L alsa, -L usb)";

// Checks the report of the flash's update `run` against the unit's summary: the unit received
// exactly the firmware's payload, the faults it was told to make happened, and the counts of
// both sides agree.
void verifyUpdated(E2eProcess &unit, E2eProcess *run)
{
    const QRegularExpressionMatch reported =
        QRegularExpression(QStringLiteral("transfer successful: (\\d+) resend requests?, (\\d+) repeats?")).match(run->out);
    QVERIFY2(run->exitCode() == 0 && reported.hasMatch(), run->describe());

    QVERIFY2(unit.waitForOutput(QStringLiteral("update received:"), ShortMs), unit.describe());
    const QString summary = unit.out.mid(unit.out.indexOf(QLatin1String("update received:")));
    // The payload is bytes 0x12000 .. 0xFFFFF of the firmware file.
    const QByteArray payload = readAll(QStringLiteral(TARSYN_FIRMWARE_FILE)).mid(0x12000);
    QVERIFY2(summary.contains(QLatin1String("sha256=") + QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex()),
             qPrintable(summary));
    const auto unitCount = [&summary](const char *key) {
        const QRegularExpressionMatch m = QRegularExpression(QLatin1String(key) + QStringLiteral("=(\\d+)")).match(summary);
        return m.hasMatch() ? m.captured(1).toInt() : -1;
    };
    const int flashResends = reported.captured(1).toInt(), flashRepeats = reported.captured(2).toInt();
    const int unitResends = unitCount("resends"), unitDropped = unitCount("dropped");
    const QByteArray counts = (reported.captured(0) + QLatin1String("; unit: ") + summary).toLocal8Bit();
    QVERIFY2(unitResends > 0 && unitDropped > 0, counts);   // the faults did happen
    // Every resend request that arrived was counted; one that was lost was made up for by a
    // repeat. Every dropped reply cost a repeat, and the unit saw no repeat that the flash
    // did not send. After the unit's summary (the last block's acknowledgement) refusals can
    // still come: of blocks gone past, which a flash sends until an in-order unit has refused
    // one three times, and of repeats (an in-order unit refuses a block it holds).
    QVERIFY2(flashResends <= unitResends + 3 + flashRepeats && unitResends <= flashResends + flashRepeats, counts);
    QVERIFY2(unitDropped <= flashRepeats && unitCount("repeats") <= flashRepeats, counts);
}

// Updates `unit` through the ports that `ports` selects, as verifyUpdated() checks.
void verifyUpdate(E2eProcess &unit, const QStringList &ports, int milliseconds = LongMs)
{
    QVERIFY2(unit.running(), unit.describe());
    verifyUpdated(unit, flash(QStringList{"update", "--timeout", "1"} + ports, milliseconds).get());
}

} // namespace

class TestFlash : public QObject {
    Q_OBJECT

private slots:
    // A whole update in each block form, with everything the unit can throw in: resend
    // requests (for 256- and 512-byte blocks, and in the middle of a block), dropped replies,
    // noise and status messages between replies.
    // What a user who set something up wrongly is told: each message names the cause and
    // what to look at, in one style (lower-case start, no full stop).
    void setupMessages_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("lines");   // each a whole line of the output
        const QStringList noServer{"TARSYN_MIDI_API=jack", "JACK_DEFAULT_SERVER=tst-flash-none"};
        const QString noServerLine = "  JACK: no server \"tst-flash-none\" running (JACK_DEFAULT_SERVER names the server; "
                                     "unset, \"default\")";
        QTest::newRow("unknown MIDI system")
            << QStringList{"ports"} << QStringList{"TARSYN_MIDI_API=jak"} << 2
            << QStringList{"tarsyn-flash: TARSYN_MIDI_API is \"jak\", which names no MIDI system: it takes alsa or jack, "
                           "or unset, every MIDI system that runs (see tarsyn-flash --help)"};
        QTest::newRow("no JACK server")
            << QStringList{"ports"} << noServer << 0
            << QStringList{"input ports:", "  (none)", "no MIDI ports but the system's; the MIDI systems looked at:",
                           noServerLine, "  (TARSYN_MIDI_API=jack: no other MIDI system was looked at)"};
        QTest::newRow("no ALSA sequencer")
            << QStringList{"ports"} << QStringList{"TARSYN_MIDI_API=alsa"} << 0
            << QStringList{"  ALSA: no sequencer device (/dev/snd/seq); as root, modprobe snd-seq loads it"};
        // Both selectors wrong: both directions' ports listed.
        QTest::newRow("no port matches")
            << QStringList{"identify", "--in", "nosuch", "--out", "nosuch"} << noServer << 3
            << QStringList{"tarsyn-flash: no input port matches \"nosuch\"", "input ports:",
                           "tarsyn-flash: no output port matches \"nosuch\"", "output ports:", noServerLine};
        QTest::newRow("the parser's error")
            << QStringList{"ports", "--bogus"} << QStringList() << 2
            << QStringList{"tarsyn-flash: unknown option 'bogus' (see tarsyn-flash --help)"};
        QTest::newRow("the firmware check's error")
            << QStringList{"update", "--in", "x", "--out", "x", "--firmware", "/"} << QStringList() << 2
            << QStringList{"tarsyn-flash: the firmware file \"/\" is not a regular file"};
        QTest::newRow("help")
            << QStringList{"--help"} << QStringList() << 0
            << QStringList{"Environment:", "Examples:", "  tarsyn-flash ports",
                           "  TARSYN_MIDI_API      the MIDI system to use: alsa or jack; unset: every one that runs",
                           "  JACK_DEFAULT_SERVER  the JACK server to use; unset: the one named \"default\""};
    }
    void setupMessages()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, environment);
        QFETCH(int, status);
        QFETCH(QStringList, lines);
        if (environment.contains("TARSYN_MIDI_API=alsa") && QFile::exists("/dev/snd/seq"))
            QSKIP("this machine has an ALSA sequencer device");
        E2eProcess run(FlashExe, arguments, environment);
        QVERIFY2(run.waitForEnd(ShortMs) && run.exitCode() == status, run.describe());
        const QStringList output = (run.out + run.err).split(QLatin1Char('\n'));
        for (const QString &line : lines)
            QVERIFY2(output.contains(line), qPrintable(line + QLatin1String("\n") + run.describe()));
    }

    void update_data()
    {
        QTest::addColumn<QStringList>("unitOptions");
        QTest::newRow("single-message")
            << QStringList{"--version", "2.09", "--seed", "3", "--resend-every", "211", "--drop-every", "401",
                           "--noise-every", "37", "--status-every", "53"};
        QTest::newRow("multi-part")
            << QStringList{"--version", "2.10", "--seed", "4", "--resend-every", "307", "--resend-mid-block-every",
                           "1009", "--drop-every", "1999", "--noise-every", "41", "--status-every", "59"};
    }
    void update()
    {
        QFETCH(QStringList, unitOptions);
        const QString id = portName(QTest::currentDataTag());
        verifyUpdate(*startUnit(id, unitOptions), pair(id));
    }

    // Through a MIDI interface, as a user has it: the unit behind a raw MIDI device whose
    // other end is an ALSA sequencer port (snd-virmidi, or the USB MIDI gadget and the host's
    // class driver, in the ALSA guest), the flash on that port. The blocks reach the unit as
    // a byte stream, among the unit's noise and real-time bytes the other way; the presets
    // (333 bytes) reach the flash through the sequencer in pieces and must arrive whole.
    void updateThroughInterface_data() { update_data(); }
    void updateThroughInterface()
    {
        QFETCH(QStringList, unitOptions);
        const MidiInterface interface = midiInterface();
        if (interface.port.isEmpty())
            QSKIP(NoMidiInterface);
        verifyUpdate(*interface.startUnit(unitOptions), interface.ports(), interface.longMs());
    }

    // The unit identified, backed up and restored. The backup reads all 2048 presets through
    // the interface and must be the unit's store byte for byte. The restore of that backup
    // changed in three presets reads all 2048 again and compares each with the file: a preset
    // damaged on the way in would be written too, so exactly three writes, and the unit holding
    // the file afterwards, show both directions exact.
    void presetsThroughInterface()
    {
        const MidiInterface interface = midiInterface();
        if (interface.port.isEmpty())
            QSKIP(NoMidiInterface);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // The unit's store, from a unit on virtual ports that writes it on exit, untouched.
        auto source = startUnit(portName(QStringLiteral("presets-source")),
                                {"--seed", "12", "--dump-presets", dir.filePath("store.syx")});
        QVERIFY2(source->running(), source->describe());
        source->sendSignal(SIGTERM);
        QVERIFY2(source->waitForEnd(ShortMs) && source->exitCode() == 0, source->describe());
        const QByteArray store = readAll(dir.filePath("store.syx"));
        QCOMPARE(store.size(), 2048 * PresetMessage);

        // --verbose: the unit logs every message, so a failure shows which presets it was sent.
        auto unit = interface.startUnit({"--seed", "12", "--presets", dir.filePath("store.syx"), "--noise-every", "29",
                                         "--verbose", "--dump-presets", dir.filePath("unit.syx")});
        QVERIFY2(unit->running(), unit->describe());
        auto identify = flash(QStringList{"identify"} + interface.ports());
        QVERIFY2(identify->exitCode() == 0 && identify->out.contains(QLatin1String("serial:     000-022-037"))
                     && identify->out.contains(QLatin1String("version:    2.10")),
                 identify->describe());
        auto backup = flash(QStringList{"backup"} + interface.ports() + QStringList{dir.filePath("backup.syx")},
                            interface.longMs());
        QVERIFY2(backup->exitCode() == 0, backup->describe());
        const QByteArray saved = readAll(dir.filePath("backup.syx"));
        QVERIFY2(saved == store, qPrintable(QStringLiteral("the backup (%1 bytes) differs from the unit's store at byte %2")
                                                .arg(saved.size())
                                                .arg(std::ranges::mismatch(saved, store).in1 - saved.begin())));

        QByteArray wanted = saved;
        for (const auto &[bank, slot] : QList<QPair<int, int>>{{3, 5}, {9, 77}, {15, 127}})
            wanted[(bank * 128 + slot) * PresetMessage + 12 + 17] ^= 0x01;
        QVERIFY(writeAll(dir.filePath("wanted.syx"), wanted));
        auto restore = flash(QStringList{"restore"} + interface.ports() + QStringList{dir.filePath("wanted.syx")},
                             interface.longMs());
        QVERIFY2(restore->exitCode() == 0, restore->describe());
        unit->sendSignal(SIGTERM);
        QVERIFY(unit->waitForEnd(ShortMs));
        // The presets the unit was sent, should it have been sent others.
        const QStringList writes = unit->err.split(QLatin1Char('\n')).filter(QLatin1String(": preset write"));
        QVERIFY2(restore->out.contains(QLatin1String("restore complete: 3 presets written, 0 retries")),
                 qPrintable(restore->describe() + writes.join(QLatin1Char('\n'))));
        QVERIFY(wanted == readAll(dir.filePath("unit.syx")));
    }

    // The USB cable pulled mid-update (the gadget unplugged): the flash ends at once, naming
    // the port that went, with a failure status, never stuck closing ports whose device has
    // gone. Plugged in again, the unit's port returns under its name, and an update started
    // before that, waiting for it (--wait), puts the whole firmware into the unit.
    void unplugged()
    {
        const MidiInterface usb = midiInterface();
        if (usb.usb.isEmpty())
            QSKIP("needs the USB MIDI gadget (TARSYN_USB_MIDI_UNIT, which the ALSA guest's run sets: ctest -L usb)");
        auto unit = usb.startUnit({"--version", "2.10"});
        QVERIFY2(unit->running(), unit->describe());
        E2eProcess cut(FlashExe, QStringList{"update", "--timeout", "60", "--silence", "20"} + usb.ports());
        QVERIFY2(cut.waitForOutput(QStringLiteral("update: 10%"), usb.longMs()), cut.describe());
        UsbUnplug unplug(usb.usb, usb.port);
        QVERIFY2(unplug.waitUntil([&] { return !cut.running(); }, "the update ended", ShortMs), cut.describe());
        QVERIFY2(cut.waitForEnd(ShortMs) && cut.exitCode() == 1, cut.describe());
        QVERIFY2(cut.err.contains(QRegularExpression(
                     QStringLiteral("the MIDI port \"[^\"]*Tarsyn\\+ MIDI 1[^\"]*\" has gone; the update did not complete"))),
                 cut.describe());
        QVERIFY2(unplug.finished(ShortMs), unplug.errors().constData());
        // The unit's raw device went with the cable.
        QVERIFY2(unit->waitForEnd(ShortMs) && unit->exitCode() == 1, unit->describe());

        E2eProcess again(FlashExe, QStringList{"update", "--wait", "120", "--timeout", "1"} + pair(usb.port));
        QVERIFY2(again.waitForOutput(QStringLiteral("waiting for the unit's ports"), ShortMs), again.describe());
        unit = usb.startUnit({"--version", "2.09", "--seed", "3", "--resend-every", "211", "--drop-every", "401"});
        QVERIFY2(unit->running(), unit->describe());
        QVERIFY2(again.waitForEnd(usb.longMs()), again.describe());
        verifyUpdated(*unit, &again);
    }

    // The unit stops answering mid-job: it goes silent (the flash repeats and gives up), its
    // process is killed (the system takes its ports away at once) or the JACK server stops.
    // The job ends with a failure status and says why; where a port went, at once (not after
    // the reply timeouts) and naming the port. No backup is written.
    void unitStops_data()
    {
        QTest::addColumn<QString>("job");
        QTest::addColumn<QString>("how");
        QTest::newRow("update, silent") << "update" << "silent";
        QTest::newRow("update, killed") << "update" << "killed";
        QTest::newRow("backup, killed") << "backup" << "killed";
        QTest::newRow("update, server stopped") << "update" << "server";
        // A server that no longer answers: the flash tells so and ends, though closing its
        // ports cannot complete.
        QTest::newRow("update, server hangs") << "update" << "hangs";
    }
    void unitStops()
    {
        QFETCH(QString, job);
        QFETCH(QString, how);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // A name of this build tree's own, the same in every run: JACK frees the registry slot
        // of a server that died without leaving it only for a server of the same name.
        const QString server = QStringLiteral("tarsyn-e2e-stop-%1").arg(qHash(QByteArray(TARSYN_BINARY_DIR)), 0, 16);
        const QString script = QStringLiteral(TARSYN_SOURCE_DIR "/scripts/jack-server");
        const QByteArray jackServerBefore = qgetenv("JACK_DEFAULT_SERVER");
        const bool hangServer = how == QLatin1String("hangs");
        const bool stopServer = how == QLatin1String("server") || hangServer;
        QFile pidFile(dir.filePath(QStringLiteral("jackd-%1.pid").arg(server)));
        const auto serverSignal = [&](int signal) {
            QVERIFY(pidFile.open(QIODevice::ReadOnly));
            QCOMPARE(::kill(pid_t(pidFile.readAll().trimmed().toInt()), signal), 0);
            pidFile.close();
        };
        const auto restore = qScopeGuard([&] {
            if (stopServer) {
                if (hangServer)
                    serverSignal(SIGCONT);
                QProcess::execute(script, {"stop", server, dir.path()});
                qputenv("JACK_DEFAULT_SERVER", jackServerBefore);
            }
        });
        if (stopServer) {
            if (qgetenv("TARSYN_MIDI_API") != "jack")
                QSKIP("a MIDI server that stops: JACK only (the ALSA sequencer is the kernel's)");
            // A server of this test's own for the unit and the flash (they inherit the name).
            QCOMPARE(QProcess::execute(script, {"start", server, dir.path()}), 0);
            qputenv("JACK_DEFAULT_SERVER", server.toLocal8Bit());
        }
        const QString id = portName(job + QLatin1Char('-') + how);
        const bool silent = how == QLatin1String("silent");
        auto unit = startUnit(id, silent ? QStringList{"--silent-after", "300"} : QStringList{"--version", "2.10"});
        QVERIFY2(unit->running(), unit->describe());

        // Where a port goes, a long timeout: only its going can end the job within the wait.
        QStringList arguments{job, "--timeout", silent ? "0.3" : "60", "--retries", "3", "--silence", hangServer ? "3" : "20"};
        arguments += pair(id);
        if (job == QLatin1String("backup"))
            arguments << dir.filePath(QStringLiteral("backup.syx"));
        E2eProcess run(FlashExe, arguments);
        QProcess stopper;
        if (!silent) {
            QVERIFY2(run.waitForOutput(job + QStringLiteral(": 10%"), LongMs), run.describe());
            if (hangServer)
                serverSignal(SIGSTOP);
            else if (stopServer)
                stopper.start(script, {"stop", server, dir.path()});
            else
                unit->sendSignal(SIGKILL);
        }
        QVERIFY2(run.waitForEnd(ShortMs) && run.exitCode() == 1, run.describe());
        QVERIFY(!stopServer || hangServer || (stopper.waitForFinished(30000) && stopper.exitCode() == 0));
        // A stopped server refuses the next message before its ports are reported gone, or
        // after: either way the job ends at once, naming the port.
        const QString port = QStringLiteral("the MIDI port \"[^\"]*%1 (in|out)[^\"]*\"").arg(QRegularExpression::escape(id));
        const QString cause = silent || hangServer ? QStringLiteral("the unit does not answer at [^;]*; ")
                              : stopServer ? QStringLiteral("(cannot send to %1|%1 has gone); ").arg(port)
                                           : port + QStringLiteral(" has gone; ");
        const QString ending = job == QLatin1String("update") ? QStringLiteral("the update did not complete")
                                                              : QStringLiteral("no backup was written");
        QVERIFY2(run.err.contains(QRegularExpression(cause + ending)), run.describe());
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("backup.syx"))));
    }

    // Backup (whole and interrupted), input refused before anything is sent, and a restore
    // that writes back only what differs.
    void presets()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const auto path = [&dir](const char *name) { return dir.filePath(QLatin1String(name)); };
        const QString id = portName(QStringLiteral("presets"));
        auto unit = startUnit(id, {"--seed", "11", "--dump-presets", path("unit-a.syx")});
        QVERIFY2(unit->running(), unit->describe());

        auto ports = flash({"ports"});
        const qsizetype outputs = ports->out.indexOf(QLatin1String("output ports:"));
        QVERIFY2(ports->exitCode() == 0 && outputs > 0 && ports->out.left(outputs).contains(id)
                     && ports->out.mid(outputs).contains(id),
                 ports->describe());

        // Its output read by a pipe's reader that goes away after the first line (`| head -n 1`):
        // the later writes fail, and the backup goes on to the end. (The status is the flash's,
        // 141 if SIGPIPE ended it.)
        E2eProcess backup(QStringLiteral("bash"), QStringList{"-c", R"("$@" | head -n 1; exit "${PIPESTATUS[0]}")", "bash",
                                                              FlashExe, "backup"} + pair(id) + QStringList{path("backup.syx")});
        QVERIFY2(backup.waitForEnd(LongMs) && backup.exitCode() == 0 && backup.out.count('\n') == 1, backup.describe());
        const QByteArray saved = readAll(path("backup.syx"));
        QCOMPARE(saved.size(), 2048 * PresetMessage);

        // Interrupted half-way: no file under the name, and no temporary one left behind.
        E2eProcess cut(FlashExe, QStringList{"backup"} + pair(id) + QStringList{path("cut.syx")});
        QVERIFY2(cut.waitForOutput(QStringLiteral("backup: 30%"), LongMs), cut.describe());
        cut.sendSignal(SIGINT);
        QVERIFY2(cut.waitForEnd(ShortMs) && cut.exitCode() == 130, cut.describe());
        QVERIFY2(QDir(dir.path()).entryList({"cut*"}, QDir::Files | QDir::Hidden).isEmpty(),
                 qPrintable(QDir(dir.path()).entryList().join(' ')));

        // Unusable input is refused before anything goes to the unit, which logs what it
        // receives. A selector that matches no port or several shows the ports there are.
        const QString refuseId = id + QLatin1String("-refuse");
        auto refuser = startUnit(refuseId, {"--verbose", "--serial", "123456789", "--version", "2.10"});
        QVERIFY2(refuser->running(), refuser->describe());
        QByteArray damaged = saved;
        damaged[5 * PresetMessage + 40] = char(0x80);
        QVERIFY(writeAll(path("short.bin"), QByteArray(0xFFFFF, '\x55')) && writeAll(path("damaged.syx"), damaged)
                && ::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600) == 0);
        const QList<std::tuple<QStringList, int, QString>> refused{
            {{"update", "--firmware", path("short.bin")}, 2, "is 1,048,575 bytes"},
            {{"restore", path("damaged.syx")}, 2, "message 6"},
            // Renaming the finished backup over a pipe or a device would destroy it.
            {{"backup", path("fifo")}, 2, "not a regular file"},
            // A later --in wins over the one before; `id` is part of both units' names.
            {{"identify", "--in", refuseId + "-nosuch"}, 3, "no input port matches"},
            {{"identify", "--out", refuseId + "-nosuch"}, 3, "no output port matches"},
            {{"identify", "--in", refuseId + "-nosuch", "--wait", "0.5"}, 3, "did not appear within 0.5 s: no input port"},
            {{"identify", "--in", id}, 3, "matches 2 input ports"},
        };
        for (const auto &[arguments, status, error] : refused) {
            auto run = flash(pair(refuseId) + arguments);
            const bool listed = status != 3 || run->err.contains(refuseId);
            QVERIFY2(run->exitCode() == status && run->err.contains(error) && listed, run->describe());
        }

        // The backup is the unit's store byte for byte (bank 0's byte 128 as the unit holds it).
        unit->sendSignal(SIGTERM);
        QVERIFY(unit->waitForEnd(ShortMs));
        QVERIFY(saved == readAll(path("unit-a.syx")));

        // The first message the unit received is the identify request (sent once more only
        // when the first reply is late).
        auto identify = flash(QStringList{"identify"} + pair(refuseId));
        QVERIFY2(identify->exitCode() == 0 && identify->out.contains(QLatin1String("serial:     123-456-789"))
                     && identify->out.contains(QLatin1String("version:    2.10")),
                 identify->describe());
        refuser->sendSignal(SIGTERM);
        QVERIFY(refuser->waitForEnd(ShortMs));
        const QStringList log = refuser->err.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^#")));
        QVERIFY2(!log.isEmpty() && log.size() <= 2 && log[0].startsWith(QLatin1String("#1 11 bytes, command 0x00")),
                 refuser->describe());

        // A file that differs from the unit in four presets. Bank 0 slot 0 differs in data
        // byte 128 (packed byte 160), the byte the store keeps adjusted.
        QByteArray wanted = saved;
        for (const auto &[bank, slot] : QList<QPair<int, int>>{{0, 0}, {3, 5}, {9, 77}, {15, 127}})
            wanted[(bank * 128 + slot) * PresetMessage + 12 + (bank == 0 ? 160 : 17)] ^= 0x01;
        QVERIFY(writeAll(path("wanted.syx"), wanted));

        // Preset (3, 5) loses its first two writes: two retries.
        unit = startUnit(id, {"--presets", path("backup.syx"), "--preset-fail", "3:5:2", "--dump-presets",
                              path("unit-c.syx")});
        QVERIFY2(unit->running(), unit->describe());
        auto restore = flash(QStringList{"restore"} + pair(id) + QStringList{path("wanted.syx")}, LongMs);
        QVERIFY2(restore->exitCode() == 0
                     && restore->out.contains(QLatin1String("restore complete: 4 presets written, 2 retries")),
                 restore->describe());
        unit->sendSignal(SIGTERM);
        QVERIFY(unit->waitForEnd(ShortMs));
        QVERIFY(readAll(path("unit-c.syx")) == wanted);
    }
};

QTEST_GUILESS_MAIN(TestFlash)
#include "tst_flash.moc"

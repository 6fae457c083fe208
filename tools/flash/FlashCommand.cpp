#include "FlashCommand.h"

#include "FirmwareFile.h"
#include "FlashSession.h"
#include "InterruptWatcher.h"
#include "MidiPort.h"
#include "PortSelector.h"
#include "ProgressReport.h"
#include "SyxFile.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace Tarsyn {

namespace {

void out(const QString &text)
{
    std::fputs(qPrintable(text), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Every error in one style: "tarsyn-flash: " and a lower-case start, no full stop. Texts
// from elsewhere (the command-line parser's, the firmware check's, which the window shares)
// are brought into it here.
QString errorStyle(QString text)
{
    text = text.trimmed();
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'));
    qsizetype end = lineEnd < 0 ? text.size() : lineEnd;
    if (end > 0 && text.at(end - 1) == QLatin1Char('.'))
        text.remove(--end, 1);
    // "The ..." but not "MIDI ...".
    if (text.size() > 1 && text.at(0).isUpper() && text.at(1).isLower())
        text[0] = text.at(0).toLower();
    return text;
}

void err(const QString &text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "tarsyn-flash: %s\n", qPrintable(errorStyle(text)));
    std::fflush(stderr);
}

// Why no port of a unit is listed: what each MIDI system looked at showed.
QString systemsReport()
{
    QString text = QStringLiteral("no MIDI ports but the system's; the MIDI systems looked at:\n");
    for (const MidiPort::SystemLook &look : MidiPort::lookAtSystems()) {
        text += QStringLiteral("  %1: ").arg(look.system);
        switch (look.found) {
        case MidiPort::SystemLook::NoDevice:
            text += QStringLiteral("no sequencer device (/dev/snd/seq); as root, modprobe snd-seq loads it");
            break;
        case MidiPort::SystemLook::DeviceRefused:
            text += QStringLiteral("the sequencer device /dev/snd/seq cannot be opened: %1").arg(look.reason);
            break;
        case MidiPort::SystemLook::NotRunning:
            text += look.server.isEmpty() ? QStringLiteral("not running")
                                          : QStringLiteral("no server \"%1\" running (JACK_DEFAULT_SERVER names "
                                                           "the server; unset, \"default\")").arg(look.server);
            break;
        case MidiPort::SystemLook::OnlySystemPorts:
            text += look.server.isEmpty()
                        ? QStringLiteral("no ports but the system's: no unit, MIDI interface or unit's program is connected")
                        : QStringLiteral("the server \"%1\" runs, with no MIDI ports: no unit's program is connected to it")
                              .arg(look.server);
            break;
        case MidiPort::SystemLook::Ports:
            text += QStringLiteral("ports listed above");
            break;
        }
        text += QLatin1Char('\n');
    }
    const QString chosen = qEnvironmentVariable("TARSYN_MIDI_API").trimmed();
    if (!chosen.isEmpty())
        text += QStringLiteral("  (TARSYN_MIDI_API=%1: no other MIDI system was looked at)\n").arg(chosen);
    return text;
}

// True when no listed port is a unit's or an interface's.
bool onlySystemPorts(const QStringList &inputs, const QStringList &outputs)
{
    return std::all_of(inputs.begin(), inputs.end(), MidiPort::isSystemPort)
        && std::all_of(outputs.begin(), outputs.end(), MidiPort::isSystemPort);
}

QString counted(int n, const char *singular, const char *plural)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? singular : plural));
}

// Closing the ports can block inside the MIDI system (a JACK server that no longer answers).
// The result has been told by then: after this long the program ends without them.
constexpr auto CloseLimit = std::chrono::seconds(5);

void closeWithin(FlashSession &session, int status)
{
    std::mutex mutex;
    std::condition_variable closed;
    bool done = false;
    std::thread deadline([&] {
        std::unique_lock lock(mutex);
        if (!closed.wait_for(lock, CloseLimit, [&] { return done; })) {
            std::fflush(nullptr);
            std::_Exit(status);
        }
    });
    session.session().close();
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    closed.notify_one();
    deadline.join();
}

// --wait: the unit's ports may appear after the program started (a unit plugged in, or one
// that restarts and comes back). Follows the MIDI systems until both selectors pick a port.
// Success, Interrupted, or PortError with the reason told.
FlashSession::Status waitForPorts(const QString &inSelector, const QString &outSelector, int milliseconds)
{
    MidiPort watcher;
    PortChoice input, output;
    const auto found = [&] {
        input = selectPort(watcher.listedInputs(), inSelector, QStringLiteral("input"));
        output = selectPort(watcher.listedOutputs(), outSelector, QStringLiteral("output"));
        return input.index >= 0 && output.index >= 0;
    };
    watcher.watchPorts();
    if (found())
        return FlashSession::Success;
    out(QStringLiteral("waiting for the unit's ports (at most %1 s)").arg(milliseconds / 1000.0));
    QEventLoop loop;
    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &loop,
                     [&loop] { loop.exit(FlashSession::Interrupted); });
    QObject::connect(&watcher, &MidiPort::portsChanged, &loop, [&] {
        if (found())
            loop.exit(FlashSession::Success);
    });
    QTimer::singleShot(milliseconds, &loop, [&loop] { loop.exit(FlashSession::PortError); });
    const auto status = FlashSession::Status(loop.exec());
    if (status == FlashSession::Interrupted)
        err(QStringLiteral("interrupted while waiting for the ports"));
    else if (status == FlashSession::PortError)
        err(QStringLiteral("the unit's ports did not appear within %1 s: %2")
                .arg(milliseconds / 1000.0).arg(input.index < 0 ? input.error : output.error));
    return status;
}

} // namespace

QString FlashCommand::helpText()
{
    return QStringLiteral(
        "Usage:\n"
        "  tarsyn-flash ports\n"
        "  tarsyn-flash identify --in SEL --out SEL [--timeout S] [--silence S] [--wait S]\n"
        "  tarsyn-flash update   --in SEL --out SEL [--firmware FILE] [TIMING]\n"
        "  tarsyn-flash backup   --in SEL --out SEL [TIMING] FILE.syx\n"
        "  tarsyn-flash restore  --in SEL --out SEL [TIMING] FILE.syx\n"
        "  TIMING: [--timeout S] [--retries N] [--silence S] [--wait S]\n"
        "\n"
        "Commands:\n"
        "  ports     list the MIDI input and output ports with their indices\n"
        "  identify  show the unit's serial number, firmware version, name and block form\n"
        "  update    send the firmware to the unit (the built-in firmware unless --firmware)\n"
        "  backup    read all 2048 presets into FILE.syx (written only when complete)\n"
        "  restore   write the presets of FILE.syx back where the unit's differ\n"
        "\n"
        "Options:\n"
        "  --in SEL, --out SEL  the MIDI input and output port: an index from `ports`, or a\n"
        "                       case-insensitive part of the port's name\n"
        "  --firmware FILE      a firmware file of exactly 1,048,576 bytes\n"
        "  --timeout S          seconds to wait for the first reply before repeating the\n"
        "                       message; default 1. From then on the wait follows the link:\n"
        "                       the measured round trip plus four times its variation, at\n"
        "                       least 0.01 s, doubled on each repeat in a row (at most 4 s)\n"
        "  --retries N          give up after N repeats of one message in a row once nothing\n"
        "                       has come for (N + 1) x --timeout; default 0: no limit,\n"
        "                       --silence decides\n"
        "  --silence S          give up when nothing has come from the unit for S seconds;\n"
        "                       default 20 (identify: at most 5)\n"
        "  --wait S             wait up to S seconds for the ports to appear (a unit being\n"
        "                       plugged in) and the unit to answer; default: the ports must\n"
        "                       be there\n"
        "  -h, --help           this text\n"
        "  --version            the program's version\n"
        "\n"
        "Environment:\n"
        "  TARSYN_MIDI_API      the MIDI system to use: %1; unset: every one that runs\n"
        "  JACK_DEFAULT_SERVER  the JACK server to use; unset: the one named \"default\"\n"
        "  XDG_RUNTIME_DIR      where the port locks are kept (else /tmp/tarsyn-UID)\n"
        "\n"
        "Examples:\n"
        "  tarsyn-flash ports\n"
        "  tarsyn-flash update --in \"interface name\" --out \"interface name\"\n"
        "\n"
        "Exit status:\n"
        "  0    success\n"
        "  1    the unit failed or stopped answering, or its port went away: the job did\n"
        "       not complete\n"
        "  2    usage error or unusable input (options, TARSYN_MIDI_API, firmware or\n"
        "       preset file), or a backup file that cannot be written (the disk is full, ...)\n"
        "  3    no port matches a selector, several do, the ports could not be opened, or\n"
        "       another Tarsyn+ program on this computer has one of them open\n"
        "  4    no unit answered the identify request\n"
        "  130  interrupted (SIGINT or SIGTERM); the ports are closed\n")
        .arg(MidiPort::apiChoices().join(QLatin1String(" or ")));
}

int FlashCommand::run(const QStringList &arguments)
{
    std::optional<FlashSession> session;
    const int status = runCommand(arguments, session);
    if (session)
        closeWithin(*session, status);
    return status;
}

int FlashCommand::runCommand(const QStringList &arguments, std::optional<FlashSession> &sessionSlot)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption inOption(QStringLiteral("in"), QString(), QStringLiteral("SEL"));
    const QCommandLineOption outOption(QStringLiteral("out"), QString(), QStringLiteral("SEL"));
    const QCommandLineOption firmwareOption(QStringLiteral("firmware"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QString(), QStringLiteral("S"));
    const QCommandLineOption retriesOption(QStringLiteral("retries"), QString(), QStringLiteral("N"));
    const QCommandLineOption silenceOption(QStringLiteral("silence"), QString(), QStringLiteral("S"));
    const QCommandLineOption waitOption(QStringLiteral("wait"), QString(), QStringLiteral("S"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringLiteral("version"));
    parser.addOptions({inOption, outOption, firmwareOption, timeoutOption, retriesOption, silenceOption, waitOption,
                       helpOption, versionOption});
    parser.addPositionalArgument(QStringLiteral("command"), QString());

    auto usage = [](const QString &problem) {
        err(errorStyle(problem) + QStringLiteral(" (see tarsyn-flash --help)"));
        return int(FlashSession::BadInput);
    };

    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(helpText()), stdout);
        return FlashSession::Success;
    }
    if (parser.isSet(versionOption)) {
        out(QStringLiteral("tarsyn-flash " TARSYN_VERSION));
        return FlashSession::Success;
    }
    const QString unknownApi = MidiPort::unknownApiChoice();
    if (!unknownApi.isEmpty())
        return usage(QStringLiteral("TARSYN_MIDI_API is \"%1\", which names no MIDI system: it takes %2, or unset, "
                                    "every MIDI system that runs")
                         .arg(unknownApi, MidiPort::apiChoices().join(QLatin1String(" or "))));
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usage(QStringLiteral("no command given"));
    const QString command = positional.first();
    const QStringList known{QStringLiteral("ports"), QStringLiteral("identify"), QStringLiteral("update"),
                            QStringLiteral("backup"), QStringLiteral("restore")};
    if (!known.contains(command))
        return usage(QStringLiteral("unknown command \"%1\"").arg(command));

    const bool presetJob = command == QLatin1String("backup") || command == QLatin1String("restore");
    const int expectedPositional = presetJob ? 2 : 1;
    if (positional.size() < expectedPositional)
        return usage(QStringLiteral("%1 needs a .syx file name").arg(command));
    if (positional.size() > expectedPositional)
        return usage(QStringLiteral("unexpected argument \"%1\"").arg(positional.at(expectedPositional)));
    if (parser.isSet(firmwareOption) && command != QLatin1String("update"))
        return usage(QStringLiteral("--firmware belongs to update"));

    FlashSession &session = sessionSlot.emplace();
    if (command == QLatin1String("ports")) {
        if (parser.isSet(inOption) || parser.isSet(outOption))
            return usage(QStringLiteral("ports takes no options"));
        const QStringList inputs = session.port().inputDeviceNames();
        const QStringList outputs = session.port().outputDeviceNames();
        std::fputs(qPrintable(portListing(inputs, QStringLiteral("input"))), stdout);
        std::fputs(qPrintable(portListing(outputs, QStringLiteral("output"))), stdout);
#ifndef _WIN32
        // Windows lists its MIDI devices whenever there are any; Linux needs a MIDI system running.
        if (onlySystemPorts(inputs, outputs))
            std::fputs(qPrintable(systemsReport()), stdout);
#endif
        return FlashSession::Success;
    }

    if (!parser.isSet(inOption) || !parser.isSet(outOption))
        return usage(QStringLiteral("%1 needs --in and --out").arg(command));
    // Seconds from 0 (exclusive) to an hour, as whole milliseconds; -1 for a bad value.
    const auto milliseconds = [&parser](const QCommandLineOption &option) {
        bool ok = false;
        const double seconds = parser.value(option).toDouble(&ok);
        return ok && seconds > 0 && seconds <= 3600 ? qMax(1, qRound(seconds * 1000)) : -1;
    };
    for (const QCommandLineOption *option : {&timeoutOption, &silenceOption, &waitOption}) {
        if (!parser.isSet(*option))
            continue;
        const int ms = milliseconds(*option);
        if (ms < 0)
            return usage(QStringLiteral("--%1 takes seconds between 0 and 3600, not \"%2\"")
                             .arg(option->names().first(), parser.value(*option)));
        if (option == &timeoutOption)
            session.setTimeout(ms);
        else if (option == &silenceOption)
            session.setSilenceSpan(ms);
    }
    if (parser.isSet(retriesOption)) {
        bool ok = false;
        const int retries = parser.value(retriesOption).toInt(&ok);
        if (!ok || retries < 0 || retries > 1000)
            return usage(QStringLiteral("--retries takes a count between 0 and 1000, not \"%1\"")
                             .arg(parser.value(retriesOption)));
        session.setRetries(retries);
    }

    // Every input is checked before the ports are opened: a refused file sends nothing.
    PresetSet presets;
    std::unique_ptr<QSaveFile> backupFile;
    const QString syxPath = presetJob ? positional.at(1) : QString();
    if (command == QLatin1String("update")) {
        QString firmware = QString::fromLatin1(BuiltInFirmwarePath);
        if (parser.isSet(firmwareOption)) {
            firmware = parser.value(firmwareOption);
            const QString problem = checkFirmwareFile(firmware);
            if (!problem.isEmpty()) {
                err(problem);
                return FlashSession::BadInput;
            }
        }
        if (!session.loadFirmware(firmware)) {
            err(QStringLiteral("cannot read the firmware file %1").arg(firmware));
            return firmware == QLatin1String(BuiltInFirmwarePath) ? FlashSession::Failed : FlashSession::BadInput;
        }
    } else if (command == QLatin1String("restore")) {
        const QString problem = SyxFile::readPresets(syxPath, presets);
        if (!problem.isEmpty()) {
            err(problem);
            return FlashSession::BadInput;
        }
    } else if (command == QLatin1String("backup")) {
        // Written under its name only once complete; an interrupted backup leaves nothing.
        // The finished file replaces what is there by renaming: only ever a regular file
        // (never a device, a pipe or a folder, which renaming would destroy).
        const QFileInfo target(syxPath);
        if (target.exists() && !target.isFile()) {
            err(QStringLiteral("cannot write %1: it is not a regular file").arg(syxPath));
            return FlashSession::BadInput;
        }
        backupFile = std::make_unique<QSaveFile>(syxPath);
        if (!backupFile->open(QIODevice::WriteOnly)) {
            err(QStringLiteral("cannot write %1: %2").arg(syxPath, backupFile->errorString()));
            return FlashSession::BadInput;
        }
        // Room for the whole file now, so that a full disk is found before the unit is asked
        // for anything; the presets overwrite these bytes at the end.
        const QByteArray room(PresetCount * PresetWriteLength, '\0');
        if (backupFile->write(room) != room.size() || !backupFile->flush() || !backupFile->seek(0)) {
            err(QStringLiteral("cannot write %1: %2").arg(syxPath, SyxFile::writeFailure(*backupFile)));
            return FlashSession::BadInput;
        }
    }

    if (parser.isSet(waitOption)) {
        QElapsedTimer waiting;
        waiting.start();
        const int waitMs = milliseconds(waitOption);
        const auto waited = waitForPorts(parser.value(inOption), parser.value(outOption), waitMs);
        if (waited != FlashSession::Success)
            return waited;
        session.setUnitWait(int(waitMs - waiting.elapsed()));
    }
    const QStringList inputs = session.port().inputDeviceNames();
    const QStringList outputs = session.port().outputDeviceNames();
    const PortChoice input = selectPort(inputs, parser.value(inOption), QStringLiteral("input"));
    const PortChoice output = selectPort(outputs, parser.value(outOption), QStringLiteral("output"));
    if (input.index < 0 || output.index < 0) {
        QString problem = input.index < 0 ? input.error : QString();
        if (output.index < 0)
            problem += (problem.isEmpty() ? QString() : QStringLiteral("tarsyn-flash: ")) + output.error;
#ifndef _WIN32
        if (onlySystemPorts(inputs, outputs))
            problem += systemsReport();
#endif
        err(problem);
        return FlashSession::PortError;
    }
    const QString inName = inputs.at(input.index);
    const QString outName = outputs.at(output.index);
    if (!session.openPorts(input.index, output.index)) {
        if (!session.busyPort().isEmpty())
            err(QStringLiteral("the port \"%1\" is in use by another Tarsyn+ program on this computer (one host per unit)")
                    .arg(session.busyPort()));
        else
            err(QStringLiteral("could not open the ports %1 / %2").arg(inName, outName));
        return FlashSession::PortError;
    }

    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &session,
                     [&session] { session.stop(FlashSession::Interrupted); });

    ProgressReport progress(command, ::isatty(STDOUT_FILENO) == 1);
    QObject::connect(&session, &FlashSession::progress, &session,
                     [&progress](int value, int maximum) { progress.update(value, maximum); });
    QObject::connect(&session, &FlashSession::identified, &session, [&session, &command] {
        const UnitSession &unit = session.session();
        if (command == QLatin1String("identify")) {
            out(QStringLiteral("serial:     %1").arg(unit.serialText()));
            out(QStringLiteral("version:    %1").arg(session.versionText()));
            out(QStringLiteral("name:       %1").arg(unit.deviceName()));
            out(QStringLiteral("block form: %1").arg(session.blockFormText()));
        } else {
            out(QStringLiteral("unit %1 \"%2\", firmware %3, %4 form")
                    .arg(unit.serialText(), unit.deviceName(), session.versionText(), session.blockFormText()));
        }
    });

    QEventLoop loop;
    QObject::connect(&session, &FlashSession::finished, &loop, &QEventLoop::exit);
    if (command == QLatin1String("identify"))
        session.identify();
    else if (command == QLatin1String("update"))
        session.update();
    else if (command == QLatin1String("backup"))
        session.backup(&presets);
    else
        session.restore(presets);
    const auto status = FlashSession::Status(session.running() ? loop.exec() : FlashSession::Failed);
    progress.finish();

    const QString whatFailed = command == QLatin1String("update")    ? QStringLiteral("the update did not complete")
                               : command == QLatin1String("backup")  ? QStringLiteral("no backup was written")
                               : command == QLatin1String("restore") ? QStringLiteral("the restore did not complete")
                                                                     : QString();
    switch (status) {
    case FlashSession::Success:
        break;
    case FlashSession::NoUnit:
        err(QStringLiteral("no unit answered on %1 / %2").arg(inName, outName));
        return status;
    case FlashSession::Interrupted:
        err(QStringLiteral("interrupted; ") + (whatFailed.isEmpty() ? QStringLiteral("ports closed") : whatFailed));
        return status;
    default: {
        const UnitSession::Outcome &outcome = session.outcome();
        using End = UnitSession::End;
        switch (outcome.end) {
        case End::PortGone:
            err(QStringLiteral("the MIDI port \"%1\" has gone; %2")
                    .arg(outcome.port, whatFailed.isEmpty() ? QStringLiteral("the unit was not identified")
                                                            : whatFailed));
            break;
        case End::SendFailed:
            err(QStringLiteral("cannot send to the MIDI port \"%1\"; %2")
                    .arg(outcome.port, whatFailed.isEmpty() ? QStringLiteral("the unit was not identified")
                                                            : whatFailed));
            break;
        case End::PresetFailed:
            err(QStringLiteral("the preset in bank %1, slot %2 did not take after %3 writes; %4")
                    .arg(outcome.bank).arg(outcome.slot).arg(PresetExchange::MaxWrites).arg(whatFailed));
            break;
        case End::KeepsAsking:
            err(QStringLiteral("the unit keeps asking for block 0x%1 again: check the MIDI connection; %2")
                    .arg(QString::number(outcome.block, 16).toUpper()).arg(whatFailed));
            break;
        case End::Silent:
            err(QStringLiteral("the unit does not answer at %1 of %2; %3")
                    .arg(outcome.progress).arg(outcome.maximum).arg(whatFailed));
            break;
        default:
            err(whatFailed.isEmpty() ? QStringLiteral("failed") : whatFailed);
            break;
        }
        return status;
    }
    }

    if (command == QLatin1String("update")) {
        out(QStringLiteral("transfer successful: %1, %2")
                .arg(counted(session.outcome().resendRequests, "resend request", "resend requests"),
                     counted(session.outcome().repeats, "repeat", "repeats")));
    } else if (command == QLatin1String("backup")) {
        if (!SyxFile::writePresets(*backupFile, presets) || !backupFile->commit()) {
            err(QStringLiteral("cannot write %1: %2").arg(syxPath, SyxFile::writeFailure(*backupFile)));
            return FlashSession::BadInput;
        }
        out(QStringLiteral("backup written: %1 presets to %2 (%3)")
                .arg(PresetCount).arg(syxPath, counted(session.outcome().repeats, "repeat", "repeats")));
    } else if (command == QLatin1String("restore")) {
        out(QStringLiteral("restore complete: %1 written, %2, %3")
                .arg(counted(session.outcome().presetsWritten, "preset", "presets"),
                     counted(session.outcome().presetRetries, "retry", "retries"),
                     counted(session.outcome().repeats, "repeat", "repeats")));
    }
    return FlashSession::Success;
}

} // namespace Tarsyn

#include "UnitCommandLine.h"

#include "SysEx.h"

#include <QRegularExpression>

#include <limits>

namespace Tarsyn {

namespace {

bool parseCount(const QString &text, qint64 minimum, qint64 maximum, qint64 *value)
{
    bool ok = false;
    const qint64 number = text.toLongLong(&ok, 10);
    if (!ok || number < minimum || number > maximum)
        return false;
    *value = number;
    return true;
}

} // namespace

QString UnitCommandLine::helpText()
{
    return QStringLiteral(
        "Usage: tarsyn-virtual-unit [OPTIONS]\n"
        "A Tarsyn+ unit on virtual MIDI ports, named \"Tarsyn+ virtual unit[ NAME] in/out\".\n"
        "Prints \"ready: ...\" once its ports are open, and a summary line when an update is received.\n"
        "\n"
        "Identity:\n"
        "  --firmware-version MAJOR.MINOR\n"
        "                             firmware version to report (default 2.10; 2.10 and later\n"
        "                             receive blocks in parts); also --version MAJOR.MINOR\n"
        "  --serial N                 serial number, 0..268435455 (default 22037)\n"
        "  --name TEXT                unit name, at most 16 printable ASCII characters (default Tarsyn+)\n"
        "Ports and output:\n"
        "  --port-name TEXT           appended to the ports' name\n"
        "  --raw-midi DEVICE          no virtual ports: sit behind the raw MIDI device DEVICE (such as\n"
        "                             /dev/snd/midiC0D0 of snd-virmidi, whose other end is the ALSA\n"
        "                             sequencer port \"VirMIDI 0-0\"), as a unit at the end of a cable\n"
        "  --din-speed                with --raw-midi: at the speed of a MIDI cable (3,125 bytes/s)\n"
        "  --dump FILE                write the 1 MiB flash image to FILE on exit\n"
        "  --presets FILE.syx         load the 2048 presets from FILE.syx\n"
        "  --dump-presets FILE.syx    write the 2048 presets to FILE.syx on exit\n"
        "  --exit-after-update        exit once an update has been received\n"
        "  --verbose                  one line per received message on standard error\n"
        "Faults (reproducible for a seed):\n"
        "  --seed N                   seed of every random choice and of the default presets (default 1)\n"
        "  --resend-every N           ask again for every Nth good block\n"
        "  --resend-probability P     ask again for a good block with probability P (0..1)\n"
        "  --resend-mid-block-every N answer every Nth non-final part with a resend request\n"
        "  --drop-every N             send no reply for every Nth reply\n"
        "  --drop-probability P       send no reply with probability P (0..1)\n"
        "  --noise-every N            unrelated MIDI messages before every Nth reply\n"
        "  --status-every N           a status message (0x43, non-zero) before every Nth reply\n"
        "  --preset-fail BANK:SLOT:K  the first K writes of that preset are acknowledged but lost\n"
        "                             (repeatable)\n"
        "  --silent-after N           stop answering after N received messages\n"
        "Faults of the link and of a busy unit (counted in the summary line):\n"
        "  --duplicate-every N        send every Nth reply twice (duplicated=)\n"
        "  --duplicate-delay MS       the second copy this many milliseconds after the first,\n"
        "                             0..10000, fractions allowed (default 1)\n"
        "  --pause-every N            after every Nth block written, read nothing for a while:\n"
        "                             what arrives meanwhile waits (paused=)\n"
        "  --pause-ms MS              the length of that pause, 1..600000 ms (default 2500)\n"
        "  --stray-identity-every N   an identity reply after every Nth block written, as if\n"
        "                             another program had asked (strays=)\n"
        "  --stray-identity-version MAJOR.MINOR\n"
        "                             the version it reports (default: the other block form,\n"
        "                             2.09 for a unit of 2.10 and later, else 2.10)\n"
        "  --resend-always            ask again for every block; nothing is ever written\n"
        "  --address-policy POLICY    which good blocks are written: any (each at its address),\n"
        "                             sequence (only the block waited for; the one written last\n"
        "                             again is acknowledged), strict (only the block waited for);\n"
        "                             default strict\n"
        "  --strict-form              take blocks only in the form of the firmware version: from 2.10 on a\n"
        "                             block in one message is asked for again, before 2.10 parts\n"
        "                             are ignored\n"
        "  -h, --help                 this text\n"
        "  --version                  the program's version (with no value)\n"
        "\n"
        "Summary line, when the payload's last block is acknowledged:\n"
        "  update received: blocks=B resends=R repeats=P dropped=D duplicated=U paused=S strays=I sha256=H\n"
        "  B blocks written (repeats too), R resend requests sent, P repeats received, D replies\n"
        "  dropped, U replies sent twice, S pauses, I stray identity replies, H the SHA-256 of flash\n"
        "  bytes 0..0xEDFFF (the payload)\n"
        "\n"
        "Exit status: 0 on SIGINT/SIGTERM or after --exit-after-update, 1 when no MIDI system can\n"
        "open the ports, the raw MIDI device fails or a file cannot be written, 2 for a bad command\n"
        "line or preset file.\n");
}

QString UnitCommandLine::portBaseName() const
{
    QString name = QStringLiteral("Tarsyn+ virtual unit");
    if (!portName.isEmpty())
        name += QLatin1Char(' ') + portName;
    return name;
}

bool UnitCommandLine::parse(const QStringList &arguments, QString *error)
{
    static const QStringList flags = {QStringLiteral("--exit-after-update"), QStringLiteral("--verbose"),
                                      QStringLiteral("--din-speed"), QStringLiteral("--help"), QStringLiteral("-h")};
    static const QStringList valued = {
        QStringLiteral("--version"), QStringLiteral("--firmware-version"), QStringLiteral("--serial"), QStringLiteral("--name"),
        QStringLiteral("--port-name"), QStringLiteral("--raw-midi"), QStringLiteral("--dump"), QStringLiteral("--presets"),
        QStringLiteral("--dump-presets"), QStringLiteral("--seed"), QStringLiteral("--resend-every"),
        QStringLiteral("--resend-probability"), QStringLiteral("--resend-mid-block-every"),
        QStringLiteral("--drop-every"), QStringLiteral("--drop-probability"), QStringLiteral("--noise-every"),
        QStringLiteral("--status-every"), QStringLiteral("--preset-fail"), QStringLiteral("--silent-after"),
        QStringLiteral("--address-policy")};
    // Faults of the link and of a busy unit.
    static const QStringList linkFaultFlags = {QStringLiteral("--resend-always"), QStringLiteral("--strict-form")};
    static const QStringList linkFaultValued = {
        QStringLiteral("--duplicate-every"), QStringLiteral("--duplicate-delay"), QStringLiteral("--pause-every"),
        QStringLiteral("--pause-ms"), QStringLiteral("--stray-identity-every"),
        QStringLiteral("--stray-identity-version")};

    for (int i = 1; i < arguments.size(); ++i) {
        QString option = arguments.at(i);
        QString value;
        bool hasValue = false;
        const int equals = option.indexOf(QLatin1Char('='));
        if (option.startsWith(QLatin1String("--")) && equals > 0) {
            value = option.mid(equals + 1);
            option = option.left(equals);
            hasValue = true;
        }
        if (linkFaultFlags.contains(option)) {
            if (hasValue) {
                *error = QStringLiteral("option %1 takes no value").arg(option);
                return false;
            }
            if (option == QLatin1String("--resend-always"))
                options.resendAlways = true;
            else
                options.strictForm = true;
            continue;
        }
        if (flags.contains(option)) {
            if (hasValue) {
                *error = QStringLiteral("option %1 takes no value").arg(option);
                return false;
            }
            if (option == QLatin1String("--exit-after-update"))
                exitAfterUpdate = true;
            else if (option == QLatin1String("--verbose"))
                verbose = true;
            else if (option == QLatin1String("--din-speed"))
                dinSpeed = true;
            else
                help = true;
            continue;
        }
        if (!valued.contains(option) && !linkFaultValued.contains(option)) {
            *error = QStringLiteral("unknown option '%1' (see --help)").arg(arguments.at(i));
            return false;
        }
        // "--version" with no value asks for the program's version; with one it is the
        // older spelling of --firmware-version (a firmware version never starts with '-').
        if (option == QLatin1String("--version") && !hasValue
            && (i + 1 >= arguments.size() || arguments.at(i + 1).startsWith(QLatin1Char('-')))) {
            showVersion = true;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= arguments.size()) {
                *error = QStringLiteral("option %1 needs a value").arg(option);
                return false;
            }
            value = arguments.at(++i);
        }

        qint64 number = 0;
        auto count = [&](qint64 minimum, qint64 maximum, const char *what) {
            if (parseCount(value, minimum, maximum, &number))
                return true;
            *error = QStringLiteral("%1 '%2': expected %3 from %4 to %5")
                         .arg(option, value, QLatin1String(what)).arg(minimum).arg(maximum);
            return false;
        };
        auto probability = [&](double *out) {
            bool ok = false;
            const double p = value.toDouble(&ok);
            if (!ok || !(p >= 0.0 && p <= 1.0)) {
                *error = QStringLiteral("%1 '%2': expected a probability from 0 to 1").arg(option, value);
                return false;
            }
            *out = p;
            return true;
        };
        constexpr qint64 intMax = std::numeric_limits<int>::max();

        auto version = [&](int *major, int *minor) {
            static const QRegularExpression form(QStringLiteral("^(\\d{1,3})\\.(\\d{1,2})$"));
            const QRegularExpressionMatch match = form.match(value);
            *major = match.hasMatch() ? match.captured(1).toInt() : -1;
            *minor = match.hasMatch() ? match.captured(2).toInt() : -1;
            // The version travels as a 14-bit word: major in the low 8 bits, minor above.
            if (*major < 0 || *major > 255 || *minor < 0 || *minor > 63) {
                *error = QStringLiteral("%1 '%2': expected MAJOR.MINOR with MAJOR 0..255 and MINOR 0..63").arg(option, value);
                return false;
            }
            return true;
        };

        if (option == QLatin1String("--version") || option == QLatin1String("--firmware-version")) {
            if (!version(&options.versionMajor, &options.versionMinor))
                return false;
        } else if (option == QLatin1String("--duplicate-every")) {
            if (!count(1, intMax, "a count"))
                return false;
            options.duplicateEvery = int(number);
        } else if (option == QLatin1String("--duplicate-delay")) {
            bool ok = false;
            const double ms = value.toDouble(&ok);
            if (!ok || !(ms >= 0.0 && ms <= 10000.0)) {
                *error = QStringLiteral("%1 '%2': expected milliseconds from 0 to 10000").arg(option, value);
                return false;
            }
            options.duplicateDelayMs = ms;
        } else if (option == QLatin1String("--pause-every")) {
            if (!count(1, intMax, "a count"))
                return false;
            options.pauseEvery = int(number);
        } else if (option == QLatin1String("--pause-ms")) {
            if (!count(1, 600000, "milliseconds"))
                return false;
            options.pauseMs = int(number);
        } else if (option == QLatin1String("--stray-identity-every")) {
            if (!count(1, intMax, "a count"))
                return false;
            options.strayIdentityEvery = int(number);
        } else if (option == QLatin1String("--stray-identity-version")) {
            if (!version(&options.strayVersionMajor, &options.strayVersionMinor))
                return false;
        } else if (option == QLatin1String("--serial")) {
            if (!count(0, 0x0FFFFFFF, "a serial number"))
                return false;
            options.serial = std::uint32_t(number);
        } else if (option == QLatin1String("--name")) {
            const QByteArray latin = value.toLatin1();
            bool printable = value.size() <= 16 && QString::fromLatin1(latin) == value;
            for (char c : latin)
                printable = printable && c >= 0x20 && c <= 0x7E;
            if (!printable) {
                *error = QStringLiteral("--name '%1': at most 16 printable ASCII characters").arg(value);
                return false;
            }
            options.name = latin;
        } else if (option == QLatin1String("--port-name")) {
            portName = value;
        } else if (option == QLatin1String("--raw-midi")) {
            rawMidiDevice = value;
        } else if (option == QLatin1String("--dump")) {
            dumpFile = value;
        } else if (option == QLatin1String("--presets")) {
            presetsFile = value;
        } else if (option == QLatin1String("--dump-presets")) {
            dumpPresetsFile = value;
        } else if (option == QLatin1String("--seed")) {
            if (!count(0, std::numeric_limits<std::uint32_t>::max(), "a seed"))
                return false;
            options.seed = std::uint32_t(number);
        } else if (option == QLatin1String("--resend-every")) {
            if (!count(1, intMax, "a count"))
                return false;
            options.resendEvery = int(number);
        } else if (option == QLatin1String("--resend-probability")) {
            if (!probability(&options.resendProbability))
                return false;
        } else if (option == QLatin1String("--resend-mid-block-every")) {
            if (!count(1, intMax, "a count"))
                return false;
            options.resendMidBlockEvery = int(number);
        } else if (option == QLatin1String("--drop-every")) {
            if (!count(1, intMax, "a count"))
                return false;
            options.dropEvery = int(number);
        } else if (option == QLatin1String("--drop-probability")) {
            if (!probability(&options.dropProbability))
                return false;
        } else if (option == QLatin1String("--noise-every")) {
            if (!count(1, intMax, "a count"))
                return false;
            options.noiseEvery = int(number);
        } else if (option == QLatin1String("--status-every")) {
            if (!count(1, intMax, "a count"))
                return false;
            options.statusEvery = int(number);
        } else if (option == QLatin1String("--address-policy")) {
            static const QStringList policies = {QStringLiteral("any"), QStringLiteral("sequence"), QStringLiteral("strict")};
            const int policy = int(policies.indexOf(value));
            if (policy < 0) {
                *error = QStringLiteral("--address-policy '%1': expected any, sequence or strict").arg(value);
                return false;
            }
            options.addressPolicy = UnitOptions::AddressPolicy(policy);
        } else if (option == QLatin1String("--silent-after")) {
            if (!count(0, intMax, "a count"))
                return false;
            options.silentAfter = int(number);
        } else if (option == QLatin1String("--preset-fail")) {
            const QStringList fields = value.split(QLatin1Char(':'));
            qint64 bank = -1, slot = -1, failures = -1;
            if (fields.size() != 3 || !parseCount(fields[0], 0, PresetBanks - 1, &bank)
                || !parseCount(fields[1], 0, PresetSlots - 1, &slot) || !parseCount(fields[2], 0, intMax, &failures)) {
                *error = QStringLiteral("--preset-fail '%1': expected BANK:SLOT:K with BANK 0..15, SLOT 0..127, K 0 or more").arg(value);
                return false;
            }
            options.presetFaults.append({int(bank), int(slot), int(failures)});
        }
    }
    if (dinSpeed && rawMidiDevice.isEmpty()) {
        *error = QStringLiteral("--din-speed needs --raw-midi");
        return false;
    }
    return true;
}

} // namespace Tarsyn

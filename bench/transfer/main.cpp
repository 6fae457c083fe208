// tarsyn-bench-transfer: times whole firmware updates through a running MIDI system, one per
// case given, and prints what they cost against the MIDI server's floor and against the
// clean update of the same block form.
//
//   tarsyn-bench-transfer [--period-ms MS | --din | --usb | --usb-high] [--limit-s S] CASE [CASE ...]
//   CASE: [UNIT/]NAME:SEL[:LOG]
//
// UNIT names the kind of unit (its address policy) and groups the cases: each group's case
// named "clean" is its reference. A case named "plain" runs a plain stop-and-wait host instead
// of tarsyn-flash's (each block on the unit's acknowledgement, the block again on its resend
// request; no recovery but a repeat after a second of silence): the yardstick for the clean
// update's pace.
//
// SEL selects both the input and the output port of one unit (as tarsyn-flash's --in and
// --out do). LOG is the unit's standard output: its summary line tells how many faults it
// played (dropped=, duplicated=, paused=) and the SHA-256 of what it received, checked here
// against the payload. The case named "clean" is the reference of its block form; a fault
// case's cost is its extra time over that reference per fault, in ms and in round trips
// (the clean update's time per message). The program starts nothing itself:
// scripts/bench-transfer starts the JACK server and the virtual units. The floor is one round
// trip per message, two server periods; with the scripts' server (256 frames at 192000 Hz)
// that is 2.667 ms. With --din the units sit behind a MIDI cable (tarsyn-virtual-unit --raw-midi
// --din-speed, in the ALSA guest): the floor is then the bytes on the cable at 3,125 bytes/s,
// every byte sent and an acknowledgement (11 bytes) per message, and a case may take 30 minutes
// instead of 10 before it is stopped. With --usb the unit sits behind a full-speed USB MIDI
// link (scripts/usb-midi-unit, in the ALSA guest): the floor is the same bytes at the link's
// rate, 19 bulk packets of 64 bytes per 1-ms frame with 3 MIDI bytes per 4-byte USB MIDI event
// (912,000 bytes/s). Each case also prints its round trip per message, the round trip of a
// short message on the same link just before and just after it (the median of 50 identity
// requests each), and the update's time over what their mean predicts: messages x that round
// trip + the bytes at the link's rate (the goal is at most 1.10). --usb-high: the same link at
// high speed, 13 bulk packets of 512 bytes per 125-us microframe (39,936,000 bytes/s).

#include "DeviceLink.h"
#include "FirmwareFile.h"
#include "FlashSession.h"
#include "MidiEvent.h"
#include "MidiPort.h"
#include "PortSelector.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using Tarsyn::FlashSession;

namespace {

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct Result {
    bool ok = false;
    QString form;
    quint64 messages = 0;
    quint64 bytes = 0;
    double seconds = 0;
    double cpuSeconds = 0;
    int resends = 0;
    int repeats = 0;
    int held = 0;
};

Result runUpdate(const QString &selector, int limitSeconds)
{
    Result result;
    FlashSession session;
    const QStringList inputs = session.port().inputDeviceNames();
    const QStringList outputs = session.port().outputDeviceNames();
    const Tarsyn::PortChoice in = Tarsyn::selectPort(inputs, selector, QStringLiteral("input"));
    const Tarsyn::PortChoice out = Tarsyn::selectPort(outputs, selector, QStringLiteral("output"));
    if (in.index < 0 || out.index < 0) {
        std::fprintf(stderr, "%s\n", qPrintable(in.index < 0 ? in.error : out.error));
        return result;
    }
    if (!session.loadFirmware(QString::fromLatin1(Tarsyn::BuiltInFirmwarePath))
        || !session.openPorts(in.index, out.index)) {
        std::fprintf(stderr, "cannot load the firmware or open the ports of \"%s\"\n", qPrintable(selector));
        return result;
    }

    // Timed from the identity reply (the transfer's start) to the last acknowledgement.
    QElapsedTimer clock;
    double cpuAtStart = 0;
    quint64 messagesAtStart = 0;
    quint64 bytesAtStart = 0;
    QObject::connect(&session, &FlashSession::identified, &session, [&] {
        result.form = session.blockFormText();
        messagesAtStart = session.messagesSent();
        bytesAtStart = session.bytesSent();
        cpuAtStart = processCpuSeconds();
        clock.start();
    });
    // A case that does not end is stopped, so that one fault cannot hang the whole run.
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &session, [&session] { session.stop(FlashSession::Failed); });
    limit.start(limitSeconds * 1000);
    QEventLoop loop;
    QObject::connect(&session, &FlashSession::finished, &loop, &QEventLoop::exit);
    session.update();
    const int status = loop.exec();
    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.cpuSeconds = processCpuSeconds() - cpuAtStart;
    result.messages = session.messagesSent() - messagesAtStart;
    result.bytes = session.bytesSent() - bytesAtStart;
    result.resends = session.outcome().resendRequests;
    result.repeats = session.outcome().repeats;
    result.held = session.outcome().heldReplies;
    result.ok = status == FlashSession::Success;
    if (!result.ok)
        std::fprintf(stderr, "the update of \"%s\" did not complete (status %d%s)\n", qPrintable(selector), status,
                     limit.isActive() ? "" : ", stopped at the time limit");
    return result;
}

// The plain stop-and-wait host: identify, then each block (or part) on an acknowledgement and
// the block again on a resend request, until the payload's last block is acknowledged. (A
// reply lost by a loaded MIDI server would stop it for good: after a second of silence it
// sends its last message again.)
class PlainHost : public QObject {
public:
    Result run(const QString &selector, int limitSeconds)
    {
        Result result;
        result.form = QStringLiteral("?");
        const QStringList inputs = port_.inputDeviceNames();
        const QStringList outputs = port_.outputDeviceNames();
        const Tarsyn::PortChoice in = Tarsyn::selectPort(inputs, selector, QStringLiteral("input"));
        const Tarsyn::PortChoice out = Tarsyn::selectPort(outputs, selector, QStringLiteral("output"));
        sink_.next = &port_;
        port_.setReceiver(this);
        if (in.index < 0 || out.index < 0 || !Tarsyn::loadFirmwareImage(QString::fromLatin1(Tarsyn::BuiltInFirmwarePath), link_.imageBuffer())
            || !port_.open(in.index, out.index)) {
            std::fprintf(stderr, "the plain host cannot open the ports of \"%s\"\n", qPrintable(selector));
            return result;
        }
        QTimer::singleShot(limitSeconds * 1000, &loop_, [this] { loop_.exit(1); });
        silence_.setInterval(1000);
        QObject::connect(&silence_, &QTimer::timeout, [this] { link_.repeatLastMessage(); });
        link_.sendIdentifyRequest();
        silence_.start();
        const int status = loop_.exec();
        port_.close();
        result.form = link_.multiPart() ? QStringLiteral("multi-part") : QStringLiteral("single message");
        result.seconds = double(clock_.nsecsElapsed()) / 1e9;
        result.cpuSeconds = processCpuSeconds() - cpuAtStart_;
        result.messages = sink_.count - messagesAtStart_;
        result.bytes = sink_.bytes - bytesAtStart_;
        result.resends = link_.retryCount();
        result.ok = status == 0;
        return result;
    }

protected:
    bool event(QEvent *event) override
    {
        if (event->type() != Tarsyn::MidiEvent::EventType)
            return QObject::event(event);
        const Tarsyn::ReplyCode code = link_.decodeReply(static_cast<Tarsyn::MidiEvent *>(event)->message());
        silence_.start();
        if (code == Tarsyn::ReplyIdentity && !clock_.isValid()) {
            link_.acceptIdentity();
            messagesAtStart_ = sink_.count;
            bytesAtStart_ = sink_.bytes;
            cpuAtStart_ = processCpuSeconds();
            clock_.start();
            link_.startTransfer();
        } else if (clock_.isValid() && (code == Tarsyn::ReplyBlockOk24 || code == Tarsyn::ReplyBlockOk25)) {
            if (link_.cursor() >= Tarsyn::PayloadSize && link_.phase() == 0)
                loop_.exit(0);
            else
                link_.advanceTransfer();
        } else if (clock_.isValid() && code == Tarsyn::ReplyResendSmall) {
            link_.sendSmallBlock(false);
        } else if (clock_.isValid() && code == Tarsyn::ReplyResendLarge) {
            link_.sendLargeBlock(false);
        }
        return true;
    }

private:
    Tarsyn::MidiPort port_;
    Tarsyn::CountingSink sink_;
    Tarsyn::DeviceLink link_{&sink_};
    QEventLoop loop_;
    QTimer silence_;
    QElapsedTimer clock_;
    double cpuAtStart_ = 0;
    quint64 messagesAtStart_ = 0;
    quint64 bytesAtStart_ = 0;
};

// The round trip of a short message on the link alone: identity requests (11 bytes) one after
// another, each sent when the reply to the one before is in; the median of their times, in
// seconds (0 when fewer than half were answered). A request whose reply is lost is sent again
// after a second and not counted.
class RoundTripProbe : public QObject {
public:
    double run(const QString &selector, int count)
    {
        const Tarsyn::PortChoice in = Tarsyn::selectPort(port_.inputDeviceNames(), selector, QStringLiteral("input"));
        const Tarsyn::PortChoice out = Tarsyn::selectPort(port_.outputDeviceNames(), selector, QStringLiteral("output"));
        port_.setReceiver(this);
        if (in.index < 0 || out.index < 0 || !port_.open(in.index, out.index)) {
            std::fprintf(stderr, "the round-trip probe cannot open the ports of \"%s\"\n", qPrintable(selector));
            return 0;
        }
        count_ = count;
        lost_.setInterval(1000);
        QObject::connect(&lost_, &QTimer::timeout, [this] { send(); });
        QTimer::singleShot(30000, &loop_, [this] { loop_.exit(1); });
        send();
        loop_.exec();
        port_.close();
        if (int(times_.size()) < count / 2)
            return 0;
        std::sort(times_.begin(), times_.end());
        return times_[times_.size() / 2];
    }

protected:
    bool event(QEvent *event) override
    {
        if (event->type() != Tarsyn::MidiEvent::EventType)
            return QObject::event(event);
        if (link_.decodeReply(static_cast<Tarsyn::MidiEvent *>(event)->message()) != Tarsyn::ReplyIdentity
            || !clock_.isValid())
            return true;
        times_.push_back(double(clock_.nsecsElapsed()) / 1e9);
        clock_.invalidate();
        if (int(times_.size()) >= count_)
            loop_.exit(0);
        else
            send();
        return true;
    }

private:
    void send()
    {
        clock_.start();
        lost_.start();
        link_.sendIdentifyRequest();
    }

    Tarsyn::MidiPort port_;
    Tarsyn::DeviceLink link_{&port_};
    QEventLoop loop_;
    QTimer lost_;
    QElapsedTimer clock_;
    std::vector<double> times_;
    int count_ = 0;
};

// The unit's counts from the last summary line of its log after byte `from` (a unit may run
// several cases); empty when there is none.
QHash<QString, QString> unitSummary(const QString &logPath, qint64 from)
{
    QHash<QString, QString> counts;
    QFile log(logPath);
    if (logPath.isEmpty() || !log.open(QIODevice::ReadOnly))
        return counts;
    if (!log.seek(from))
        return counts;
    const QString text = QString::fromLocal8Bit(log.readAll());
    const qsizetype at = text.lastIndexOf(QLatin1String("update received:"));
    if (at < 0)
        return counts;
    static const QRegularExpression field(QStringLiteral("(\\w+)=(\\w+)"));
    for (const QRegularExpressionMatch &m : field.globalMatch(text.mid(at, text.indexOf(QLatin1Char('\n'), at) - at)))
        counts.insert(m.captured(1), m.captured(2));
    return counts;
}

QString payloadHash()
{
    QFile file(QString::fromLatin1(Tarsyn::BuiltInFirmwarePath));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(QCryptographicHash::hash(file.readAll().mid(0x12000), QCryptographicHash::Sha256).toHex());
}

struct Case {
    QString name;
    QString selector;
    QString log;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    double periodMs = 256.0 / 192000.0 * 1000.0;
    int limitSeconds = 0;   // 0: the mode's own
    bool din = false;
    bool usb = false;
    bool usbHigh = false;
    bool periodGiven = false;
    bool usage = false;
    while (!arguments.isEmpty() && arguments.first().startsWith(QLatin1String("--"))) {
        const QString option = arguments.takeFirst();
        if (option == QLatin1String("--din")) {
            din = true;
        } else if (option == QLatin1String("--usb") || option == QLatin1String("--usb-high")) {
            usbHigh = option == QLatin1String("--usb-high");
            usb = true;
        } else if ((option == QLatin1String("--period-ms") || option == QLatin1String("--limit-s")) && !arguments.isEmpty()) {
            const QString value = arguments.takeFirst();
            if (option == QLatin1String("--period-ms")) {
                periodMs = value.toDouble();
                periodGiven = true;
            } else {
                limitSeconds = value.toInt();
                usage = usage || limitSeconds <= 0;
            }
        } else {
            usage = true;
            break;
        }
    }
    if (limitSeconds == 0)
        limitSeconds = din ? 1800 : 600;
    QList<Case> cases;
    for (const QString &argument : arguments) {
        const QStringList fields = argument.split(QLatin1Char(':'));
        if (fields.size() < 2 || fields.size() > 3)
            break;
        cases.append({fields.at(0), fields.at(1), fields.value(2)});
    }
    if (usage || cases.isEmpty() || cases.size() != arguments.size() || periodMs <= 0
        || int(din) + int(usb) + int(periodGiven) > 1) {
        std::fprintf(stderr, "usage: tarsyn-bench-transfer [--period-ms MS | --din | --usb | --usb-high] [--limit-s S] "
                             "NAME:SEL[:LOG] ...\n");
        return 2;
    }
    const double floorPerMessage = 2 * periodMs / 1000.0;
    constexpr double DinBytesPerSecond = 3125.0;
    const double usbBytesPerSecond = usbHigh ? 39936000.0 : 912000.0;
    constexpr double AcknowledgementBytes = 11.0;
    constexpr int ProbeRequests = 50;
    const QString expectedHash = payloadHash();

    std::printf("%-15s %-9s %-12s %8s %8s %7s %6s %6s %8s %7s %7s %5s %6s %9s %8s %s\n", "block form", "unit", "case",
                "messages", "time s", "msg/s", "/floor", "/clean", "cpu us/m", "resends", "repeats", "held", "faults",
                "ms/fault", "RT/fault", "flash");
    std::fflush(stdout);   // shown at once: a case at cable speed takes minutes
    int status = 0;
    QHash<QString, Result> clean;   // by block form and unit
    for (const Case &c : cases) {
        const qsizetype slash = c.name.indexOf(QLatin1Char('/'));
        const QString unit = slash < 0 ? QStringLiteral("-") : c.name.left(slash);
        const QString name = c.name.mid(slash + 1);
        const qint64 logFrom = c.log.isEmpty() ? 0 : QFileInfo(c.log).size();
        // Over USB: the link's round trip for a short message, measured before and after the
        // update (an emulated link's pace drifts from one minute to the next).
        const double probeBefore = usb ? RoundTripProbe().run(c.selector, ProbeRequests) : 0.0;
        const Result r = name == QLatin1String("plain") ? PlainHost().run(c.selector, limitSeconds)
                                                         : runUpdate(c.selector, limitSeconds);
        const double probeAfter = usb && r.ok ? RoundTripProbe().run(c.selector, ProbeRequests) : 0.0;
        const double shortRoundTrip =
            probeBefore > 0 && probeAfter > 0 ? (probeBefore + probeAfter) / 2 : std::max(probeBefore, probeAfter);
        if (!r.ok || r.messages == 0) {
            std::printf("%-15s %-9s %-12s did not complete\n", qPrintable(r.form), qPrintable(unit), qPrintable(name));
            status = 1;
            continue;
        }
        // Give the unit's summary line time to reach its log.
        QHash<QString, QString> counts;
        for (int attempt = 0; attempt < 20 && !c.log.isEmpty() && counts.isEmpty(); ++attempt) {
            QEventLoop wait;
            QTimer::singleShot(50, &wait, &QEventLoop::quit);
            wait.exec();
            counts = unitSummary(c.log, logFrom);
        }
        const QString flash = counts.isEmpty() ? QStringLiteral("?")
                              : counts.value(QStringLiteral("sha256")) == expectedHash ? QStringLiteral("exact")
                                                                                        : QStringLiteral("WRONG");
        if (flash == QLatin1String("WRONG"))
            status = 1;
        const QString group = r.form + QLatin1Char('|') + unit;
        if (name == QLatin1String("clean"))
            clean.insert(group, r);
        const int faults = counts.value(QStringLiteral("dropped")).toInt() + counts.value(QStringLiteral("duplicated")).toInt()
                           + counts.value(QStringLiteral("paused")).toInt();

        const double linkBytes = double(r.bytes) + AcknowledgementBytes * double(r.messages);
        const double floorSeconds = din ? linkBytes / DinBytesPerSecond
                                    : usb ? linkBytes / usbBytesPerSecond
                                          : double(r.messages) * floorPerMessage;
        const auto reference = clean.constFind(group);
        const bool compared = reference != clean.constEnd() && name != QLatin1String("clean");
        const double ratio = compared ? r.seconds / reference->seconds : 1.0;
        std::printf("%-15s %-9s %-12s %8llu %8.2f %7.0f %6.2f %6.2f %8.1f %7d %7d %5d %6d", qPrintable(r.form),
                    qPrintable(unit), qPrintable(name),
                    static_cast<unsigned long long>(r.messages), r.seconds, double(r.messages) / r.seconds,
                    r.seconds / floorSeconds, ratio, r.cpuSeconds * 1e6 / double(r.messages), r.resends, r.repeats,
                    r.held, faults);
        if (compared && faults > 0) {
            const double roundTrip = reference->seconds / double(reference->messages);
            const double cost = (r.seconds - reference->seconds) / faults;
            std::printf(" %9.1f %8.1f", cost * 1000, cost / roundTrip);
        } else {
            std::printf(" %9s %8s", "-", "-");
        }
        std::printf(" %s\n", qPrintable(flash));
        if (usb) {
            std::printf("%-15s round trip per message: %.2f ms\n", qPrintable(r.form), r.seconds * 1000 / double(r.messages));
            // What the link alone predicts: a short message's round trip per message, and the
            // bytes at the link's rate.
            const double predicted = double(r.messages) * shortRoundTrip + linkBytes / usbBytesPerSecond;
            if (shortRoundTrip > 0)
                std::printf("%-15s identity round trip (median of %d, before and after): %.2f and %.2f ms; predicted "
                            "%llu x %.2f ms + %.0f bytes at the link's rate = %.1f s; measured/predicted %.2f (goal <= "
                            "1.10)\n",
                            qPrintable(r.form), ProbeRequests, probeBefore * 1000, probeAfter * 1000,
                            static_cast<unsigned long long>(r.messages), shortRoundTrip * 1000, linkBytes, predicted,
                            r.seconds / predicted);
            else
                std::printf("%-15s identity round trip: the unit did not answer the probe\n", qPrintable(r.form));
        }
        std::fflush(stdout);
    }
    if (din)
        std::printf("floor: every byte on a MIDI cable at 3,125 bytes/s, one 11-byte acknowledgement per message\n");
    else if (usb)
        std::printf("floor: every byte over %s USB MIDI at %s bytes/s, one 11-byte acknowledgement per message\n",
                    usbHigh ? "high-speed" : "full-speed", usbHigh ? "39,936,000" : "912,000");
    else
        std::printf("floor: one round trip per message = 2 periods of %.3f ms = %.3f ms; RT: the clean update's time "
                    "per message; a pause's cost includes the pause itself\n",
                    periodMs, floorPerMessage * 1000.0);
    return status;
}

// tarsyn-bench-transfer: times whole firmware updates through a running MIDI system, one per
// unit given, and prints what they cost against the MIDI server's floor.
//
//   tarsyn-bench-transfer [--period-ms MS | --din] SEL [SEL ...]
//
// Each SEL selects both the input and the output port of one unit (as tarsyn-flash's --in and
// --out do). The program starts nothing itself: scripts/bench-transfer starts the JACK server
// and the virtual units. The floor is one round trip per message, two server periods; with the
// scripts' server (256 frames at 192000 Hz) that is 2.667 ms. With --din the unit sits behind
// a MIDI cable (tarsyn-virtual-unit --raw-midi --din-speed): the floor is then the bytes on
// the cable at 3,125 bytes/s, every byte sent and an acknowledgement (11 bytes) per message.

#include "FirmwareFile.h"
#include "FlashSession.h"
#include "PortSelector.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>
#include <ctime>

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
};

Result runUpdate(const QString &selector)
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
    QEventLoop loop;
    QObject::connect(&session, &FlashSession::finished, &loop, &QEventLoop::exit);
    session.update();
    const int status = loop.exec();
    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.cpuSeconds = processCpuSeconds() - cpuAtStart;
    result.messages = session.messagesSent() - messagesAtStart;
    result.bytes = session.bytesSent() - bytesAtStart;
    result.resends = session.resendRequests();
    result.repeats = session.repeats();
    result.ok = status == FlashSession::Success;
    if (!result.ok)
        std::fprintf(stderr, "the update of \"%s\" did not complete (status %d)\n", qPrintable(selector), status);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList selectors = app.arguments().mid(1);
    double periodMs = 256.0 / 192000.0 * 1000.0;
    bool din = false;
    if (selectors.size() >= 2 && selectors.first() == QLatin1String("--period-ms")) {
        periodMs = selectors.at(1).toDouble();
        selectors = selectors.mid(2);
    } else if (!selectors.isEmpty() && selectors.first() == QLatin1String("--din")) {
        din = true;
        selectors = selectors.mid(1);
    }
    if (selectors.isEmpty() || periodMs <= 0) {
        std::fprintf(stderr, "usage: tarsyn-bench-transfer [--period-ms MS | --din] SEL [SEL ...]\n");
        return 2;
    }
    const double floorPerMessage = 2 * periodMs / 1000.0;
    constexpr double DinBytesPerSecond = 3125.0;
    constexpr double AcknowledgementBytes = 11.0;

    std::printf("%-16s %9s %9s %9s %9s %7s %12s %8s %8s\n", "block form", "messages", "time s", "msg/s",
                "floor s", "ratio", "cpu us/msg", "resends", "repeats");
    int status = 0;
    for (const QString &selector : selectors) {
        const Result r = runUpdate(selector);
        if (!r.ok || r.messages == 0) {
            status = 1;
            continue;
        }
        const double floorSeconds = din ? (double(r.bytes) + AcknowledgementBytes * double(r.messages)) / DinBytesPerSecond
                                        : double(r.messages) * floorPerMessage;
        std::printf("%-16s %9llu %9.2f %9.0f %9.2f %7.2f %12.1f %8d %8d\n", qPrintable(r.form),
                    static_cast<unsigned long long>(r.messages), r.seconds, double(r.messages) / r.seconds,
                    floorSeconds, r.seconds / floorSeconds, r.cpuSeconds * 1e6 / double(r.messages), r.resends,
                    r.repeats);
        std::fflush(stdout);
    }
    if (din)
        std::printf("floor: every byte on a MIDI cable at 3,125 bytes/s, one 11-byte acknowledgement per message\n");
    else
        std::printf("floor: one round trip per message = 2 periods of %.3f ms = %.3f ms\n", periodMs,
                    floorPerMessage * 1000.0);
    return status;
}

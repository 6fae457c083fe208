// tarsyn-virtual-unit: a Tarsyn+ unit on virtual MIDI ports, for demonstrations and for the
// end-to-end tests. UnitModel does the protocol; this file wires it to a MidiPort (or to a
// RawMidiDevice), prints the lines that scripts wait for and handles the exit.
//
// Exit status: 0 after SIGINT/SIGTERM or --exit-after-update, 1 when the ports cannot be
// opened, the raw MIDI device fails or a dump cannot be written, 2 for a bad command line or
// preset file.

#include "RawMidiDevice.h"
#include "UnitCommandLine.h"
#include "UnitModel.h"

#include "MidiEvent.h"
#include "SysEx.h"
#include "MidiPort.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

void printLine(std::FILE *stream, const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

QString describe(const QByteArray &message)
{
    QString text = QStringLiteral("%1 bytes").arg(message.size());
    if (message.size() > Tarsyn::CommandPos)
        text += QStringLiteral(", command 0x%1").arg(quint8(message.at(Tarsyn::CommandPos)), 2, 16, QLatin1Char('0'));
    return text;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        printLine(stderr, QStringLiteral("tarsyn-virtual-unit: cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

// Receives the MidiEvents on the main thread and answers through the port (virtual ports or
// a raw MIDI device). During a pause (--pause-every) the messages that arrive wait in order,
// as in a busy unit's input buffer, and are handled when it ends.
class UnitReceiver : public QObject {
public:
    UnitReceiver(Tarsyn::UnitModel &model, Tarsyn::MessageSink &port, const Tarsyn::UnitCommandLine &commandLine)
        : model_(model), port_(port), commandLine_(commandLine)
    {
        pauseTimer_.setSingleShot(true);
        pauseTimer_.setTimerType(Qt::PreciseTimer);
        connect(&pauseTimer_, &QTimer::timeout, this, &UnitReceiver::resume);
    }

    bool event(QEvent *event) override
    {
        if (event->type() != Tarsyn::MidiEvent::EventType)
            return QObject::event(event);
        const QByteArray &message = static_cast<Tarsyn::MidiEvent *>(event)->message();
        if (pauseTimer_.isActive())
            waiting_.append(message);
        else
            handle(message);
        return true;
    }

private:
    void resume()
    {
        if (commandLine_.verbose)
            printLine(stderr, QStringLiteral("pause over: %1 messages waited").arg(waiting_.size()));
        while (!waiting_.isEmpty() && !pauseTimer_.isActive())
            handle(waiting_.takeFirst());
    }

    void handle(const QByteArray &message)
    {
        const QList<QByteArray> replies = model_.handleMessage(message);
        for (const QByteArray &reply : replies)
            port_.sendLongMessage(reply);
        const QByteArray copy = model_.duplicateDue();
        if (!copy.isEmpty())
            sendCopy(copy);
        if (commandLine_.verbose) {
            printLine(stderr, QStringLiteral("#%1 %2: %3; %4 sent")
                                  .arg(model_.messagesReceived()).arg(describe(message), model_.lastEvent())
                                  .arg(replies.size()));
        }
        if (model_.pauseDue())
            pauseTimer_.start(commandLine_.options.pauseMs);
        if (model_.updateCompleted()) {
            printLine(stdout, model_.summaryLine());
            // Give the acknowledgement time to leave before the ports close.
            if (commandLine_.exitAfterUpdate && !quitting_) {
                quitting_ = true;
                QTimer::singleShot(100, QCoreApplication::instance(), &QCoreApplication::quit);
            }
        }
    }

    // The second copy of a reply, as a MIDI link that delivers a message twice would make
    // it. Below a millisecond the unit waits itself (a timer is not finer than that).
    void sendCopy(const QByteArray &copy)
    {
        const double delayMs = commandLine_.options.duplicateDelayMs;
        if (delayMs < 1.0) {
            if (delayMs > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(qRound(delayMs * 1000)));
            port_.sendLongMessage(copy);
            return;
        }
        QTimer::singleShot(qRound(delayMs), Qt::PreciseTimer, this, [this, copy] { port_.sendLongMessage(copy); });
    }

    Tarsyn::UnitModel &model_;
    Tarsyn::MessageSink &port_;
    const Tarsyn::UnitCommandLine &commandLine_;
    QTimer pauseTimer_;
    QList<QByteArray> waiting_;
    bool quitting_ = false;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    Tarsyn::UnitCommandLine commandLine;
    QString error;
    if (!commandLine.parse(app.arguments(), &error)) {
        printLine(stderr, QStringLiteral("tarsyn-virtual-unit: %1").arg(error));
        return 2;
    }
    if (commandLine.help) {
        std::fputs(Tarsyn::UnitCommandLine::helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (commandLine.showVersion) {
        std::fputs("tarsyn-virtual-unit " TARSYN_VERSION "\n", stdout);
        return 0;
    }
    const QString unknownApi = Tarsyn::MidiPort::unknownApiChoice();
    if (!unknownApi.isEmpty()) {
        printLine(stderr, QStringLiteral("tarsyn-virtual-unit: TARSYN_MIDI_API is \"%1\", which names no MIDI system: "
                                         "it takes %2, or unset, every MIDI system that runs")
                              .arg(unknownApi, Tarsyn::MidiPort::apiChoices().join(QLatin1String(" or "))));
        return 2;
    }

    Tarsyn::UnitModel model(commandLine.options);
    if (!commandLine.presetsFile.isEmpty()) {
        QFile file(commandLine.presetsFile);
        if (!file.open(QIODevice::ReadOnly)) {
            printLine(stderr, QStringLiteral("tarsyn-virtual-unit: cannot read preset file %1: %2")
                                  .arg(commandLine.presetsFile, file.errorString()));
            return 2;
        }
        if (!model.loadPresetFile(file.readAll(), &error)) {
            printLine(stderr, QStringLiteral("tarsyn-virtual-unit: %1 is not a preset file: %2")
                                  .arg(commandLine.presetsFile, error));
            return 2;
        }
    }

    // SIGINT and SIGTERM end the event loop through a pipe, so the exit runs on this thread.
    if (::pipe(signalPipe) != 0) {
        std::perror("tarsyn-virtual-unit: pipe");
        return 1;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    Tarsyn::MidiPort port;
    Tarsyn::RawMidiDevice device;
    const bool raw = !commandLine.rawMidiDevice.isEmpty();
    UnitReceiver receiver(model, raw ? static_cast<Tarsyn::MessageSink &>(device) : port, commandLine);
    port.setReceiver(&receiver);
    device.setReceiver(&receiver);
    QObject::connect(&device, &Tarsyn::RawMidiDevice::failed, &app, [&app](const QString &reason) {
        printLine(stderr, QStringLiteral("tarsyn-virtual-unit: %1").arg(reason));
        app.exit(1);
    });
    const QString name = raw ? commandLine.rawMidiDevice : commandLine.portBaseName();
    if (raw && !device.open(name, commandLine.dinSpeed, &error)) {
        printLine(stderr, QStringLiteral("tarsyn-virtual-unit: %1").arg(error));
        return 1;
    }
    if (!raw && !port.openVirtual(name)) {
        printLine(stderr, QStringLiteral("tarsyn-virtual-unit: cannot open the virtual MIDI ports \"%1\": "
                                         "no MIDI system is running (start JACK or load ALSA's sequencer)").arg(name));
        return 1;
    }
    printLine(stdout, QStringLiteral("ready: %1").arg(name));

    int status = app.exec();

    port.close();
    device.close();
    if (!commandLine.dumpFile.isEmpty() && !writeFile(commandLine.dumpFile, model.flash()))
        status = 1;
    if (!commandLine.dumpPresetsFile.isEmpty() && !writeFile(commandLine.dumpPresetsFile, model.presetFile()))
        status = 1;
    return status;
}

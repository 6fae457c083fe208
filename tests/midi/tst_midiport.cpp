// MidiPort through a real MIDI system (a private JACK server, or ALSA's sequencer in the ALSA
// guest): a second MidiPort with virtual ports is the peer.
// A real link may lose a message now and then, so every wait ends in a resend or a bound,
// never in the assumption that nothing is lost.
#include "MidiEvent.h"
#include "MidiPort.h"
#include "UsbLink.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <functional>
#include <thread>

using namespace Tarsyn;

namespace {

// Collects the bytes of every MidiEvent it receives.
struct Collector : QObject {
    QList<QByteArray> messages;
    std::function<void()> onMessage = [] {};
    bool event(QEvent *e) override
    {
        if (e->type() != MidiEvent::EventType)
            return QObject::event(e);
        messages << static_cast<MidiEvent *>(e)->message();
        onMessage();
        return true;
    }
};

// A SysEx message of `size` bytes (at least 2); from 4 bytes on it carries `tag` in bytes 1-2.
QByteArray sysex(int size, int tag)
{
    QByteArray m(size, char(0xF7));
    m[0] = char(0xF0);
    for (int i = 1; i < size - 1; ++i)
        m[i] = char((i == 1 ? tag : i == 2 ? tag >> 7 : tag * 31 + i * 7) & 0x7F);
    return m;
}

// ALSA's port names end in the client and port numbers ("... peer out 128:1"), JACK's in the
// port's own name.
int indexEndingWith(const QStringList &names, const QString &suffix)
{
    return int(names.indexOf(QRegularExpression(".*" + QRegularExpression::escape(suffix) + "( \\d+:\\d+)?")));
}

// Sends `message` until `collector` has it (five tries at most); true when it did. What came
// before it stays in the collector, it and what came after are dropped.
bool deliver(MidiPort &sender, Collector &collector, const QByteArray &message)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        sender.sendLongMessage(message);
        if (QTest::qWaitFor([&] { return collector.messages.contains(message); }, 3000)) {
            collector.messages.resize(collector.messages.indexOf(message));
            return true;
        }
    }
    return false;
}

// Writes all of `bytes` to the non-blocking file `fd`, waiting while its buffer is full.
bool writeAll(int fd, QByteArray bytes)
{
    while (!bytes.isEmpty()) {
        pollfd writable{fd, POLLOUT, 0};
        if (::poll(&writable, 1, 10000) != 1)
            return false;
        const ssize_t written = ::write(fd, bytes.constData(), size_t(bytes.size()));
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        bytes.remove(0, std::max<ssize_t>(written, 0));
    }
    return true;
}

// This binary in one of its child modes (see main), with `environment` changed.
struct Child {
    QProcess process;
    QString out;
    Child(const QString &mode, const QStringList &environment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TARSYN_MIDI_PORT_CHILD", mode);
        for (const QString &setting : environment) {   // NAME=VALUE, or NAME alone to remove
            if (setting.contains('='))
                env.insert(setting.section('=', 0, 0), setting.section('=', 1));
            else
                env.remove(setting);
        }
        process.setProcessEnvironment(env);
        process.start(QCoreApplication::applicationFilePath(), {});
    }
    ~Child()
    {
        process.kill();
        process.waitForFinished(10000);
    }
    // Its output so far, how it ended and what it wrote to standard error.
    QByteArray describe()
    {
        out += QString::fromLocal8Bit(process.readAllStandardOutput());
        QByteArray text = out.toLocal8Bit();
        if (process.state() == QProcess::NotRunning)
            text += process.exitStatus() == QProcess::CrashExit ? "[crashed]\n"
                                                                 : "[exit " + QByteArray::number(process.exitCode()) + "]\n";
        return text + process.readAllStandardError();
    }
    bool waitForOutput(const QString &text, int milliseconds)
    {
        return QTest::qWaitFor([&] {
            out += QString::fromLocal8Bit(process.readAllStandardOutput());
            return out.contains(text) || process.state() == QProcess::NotRunning;
        }, milliseconds) && out.contains(text);
    }
};

} // namespace

class TestMidiPort : public QObject {
    Q_OBJECT

    const QString peerName = QStringLiteral("peer-%1").arg(QCoreApplication::applicationPid());
    MidiPort peer, port;
    Collector atPeer, atPort;
    int peerInput() { return indexEndingWith(port.inputDeviceNames(), peerName + " out"); }
    int peerOutput() { return indexEndingWith(port.outputDeviceNames(), peerName + " in"); }

private slots:
    void initTestCase()
    {
        // The MIDI system that TARSYN_MIDI_API chose runs: JACK, which ctest starts, or ALSA's
        // sequencer in the guest that ctest boots.
        const QString chosen = qEnvironmentVariable("TARSYN_MIDI_API");
        QVERIFY2(!chosen.isEmpty() && port.apiName() == chosen,
                 qPrintable("TARSYN_MIDI_API=" + chosen + " is not running: run through ctest, which starts it"));
        peer.setReceiver(&atPeer);
        port.setReceiver(&atPort);
        QVERIFY(peer.openVirtual(peerName));
    }

    void openPicksPair_data()
    {
        // Each half: 0 for the peer's port, 1 for -1, 2 for one past the end of the list.
        QTest::addColumn<int>("input");
        QTest::addColumn<int>("output");
        QTest::newRow("both") << 0 << 0;
        QTest::newRow("negative input") << 1 << 0;
        QTest::newRow("input past the end") << 2 << 0;
        QTest::newRow("output past the end") << 0 << 2;
    }
    void openPicksPair()
    {
        QFETCH(int, input);
        QFETCH(int, output);
        // The lists change as JACK clients come and go; open() uses the last ones taken.
        const QStringList inputs = port.inputDeviceNames(), outputs = port.outputDeviceNames();
        const int in[] = {indexEndingWith(inputs, peerName + " out"), -1, int(inputs.size())};
        const int out[] = {indexEndingWith(outputs, peerName + " in"), -1, int(outputs.size())};
        QCOMPARE(port.open(in[input], out[output]), !input && !output);
        // The half that opened is connected to the peer; the other is closed.
        QCOMPARE(port.inputOpen(), !input);
        QCOMPARE(port.sendLongMessage(sysex(8, 1)), !output);
        QVERIFY(input || deliver(peer, atPort, sysex(12, 2)));
        QVERIFY(output || deliver(port, atPeer, sysex(12, 3)));
        port.close();
        QVERIFY(!port.inputOpen() && !port.outputOpen() && !port.sendLongMessage(sysex(8, 1)));
    }

    void arriveWholeAndInOrder()
    {
        // SysEx messages of 2 to 654 bytes, with short messages among them that must not
        // arrive; at most eight in flight, as a paced transfer has. Each SysEx arrives as one
        // event with exactly its bytes, in order. A rare loss, or a repeat when a client
        // missed its JACK cycle, is allowed; a lost message only ends its window's wait early.
        QVERIFY(port.open(peerInput(), peerOutput()));
        atPort.messages.clear();
        QList<QByteArray> sent;
        for (int i = 0; i < 400; ++i) {
            (void)QTest::qWaitFor([&] {
                return sent.lastIndexOf(atPort.messages.value(atPort.messages.size() - 1))
                       >= sent.size() - 8; }, 1000);
            if (i % 40 == 20)
                QVERIFY(peer.sendLongMessage(QByteArray::fromHex(i % 80 ? "904064" : "f8")));
            sent << sysex(2 + (i * 97) % 653, i);
            QVERIFY(peer.sendLongMessage(sent.last()));
        }
        QVERIFY(deliver(peer, atPort, QByteArray::fromHex("f07d7e7f7e7df7")));
        qsizetype next = 0, repeated = 0;
        for (const QByteArray &m : std::as_const(atPort.messages)) {
            if (m == sent.value(next - 1))
                ++repeated;
            else
                next = sent.indexOf(m, next) + 1;
            QVERIFY2(next > 0, ("unexpected: " + m.left(8).toHex()).constData());
        }
        const qsizetype lost = sent.size() - atPort.messages.size() + repeated;
        QVERIFY2(lost <= sent.size() / 4 && repeated <= sent.size() / 4,
                 qPrintable(QStringLiteral("%1 lost, %2 repeated").arg(lost).arg(repeated)));
    }

    void openCloseUnderTraffic()
    {
        // As the window does: list once, connect many times. A streamer on its own thread
        // sends bursts without pause; some rounds close with whole-length messages queued for
        // output, every other round closes from within the first delivery, while events of
        // the same burst are still queued: those are handled after close and stay whole. The
        // other rounds delete the receiver right after close.
        QSemaphore stop;
        std::thread streamer([&] {
            MidiPort s;
            const bool opened = s.openVirtual(peerName + "-stream");
            for (int i = 0; opened && !stop.tryAcquire(1, 1);) {
                for (int end = i + 8; i < end; ++i)
                    s.sendLongMessage(sysex(4 + i * 37 % 651, i % 16384));
            }
        });
        const auto finish = qScopeGuard([&] {
            stop.release();
            streamer.join();
            port.setReceiver(&atPort);
        });
        int in = -1;
        QVERIFY(QTest::qWaitFor([&] {
            return (in = indexEndingWith(port.inputDeviceNames(), peerName + "-stream out")) >= 0;
        }, 10000));
        const int out = peerOutput();
        for (int round = 0; round < 100; ++round) {
            auto *collector = new Collector;
            port.setReceiver(collector);
            QVERIFY2(port.open(in, out), qPrintable(QStringLiteral("round %1: in %2, out %3").arg(
                                             round).arg(port.inputOpen()).arg(port.outputOpen())));
            for (int i = 0; round % 5 == 3 && i < 20; ++i)
                QVERIFY(port.sendLongMessage(sysex(654, i)));
            if (round % 2)
                collector->onMessage = [&] { port.close(); };
            QVERIFY(QTest::qWaitFor([&] { return !collector->messages.isEmpty(); }, 3000));
            port.close();
            if (round % 2) {
                QCoreApplication::sendPostedEvents(collector);
                for (const QByteArray &m : std::as_const(collector->messages))
                    QVERIFY(m.size() > 3 && m == sysex(int(m.size()), m[1] | m[2] << 7));
            }
            delete collector;
        }
    }

    void watchFollowsPorts()
    {
        // A watching port's snapshot follows ports that come and go, and it says so only on a
        // change: listing clients that come and go without ports change nothing.
        MidiPort watcher;
        watcher.watchPorts();
        QList<QStringList> seen{watcher.listedInputs() + watcher.listedOutputs()};
        connect(&watcher, &MidiPort::portsChanged, this,
                [&] { seen << watcher.listedInputs() + watcher.listedOutputs(); });
        const QString extraName = peerName + "-extra";
        const auto listed = [&](const QString &suffix) {
            return indexEndingWith(watcher.listedInputs(), suffix + " out") >= 0
                   && indexEndingWith(watcher.listedOutputs(), suffix + " in") >= 0;
        };
        {
            MidiPort extra;
            QVERIFY(extra.openVirtual(extraName));
            QVERIFY(QTest::qWaitFor([&] { return listed(extraName); }, 10000));
            for (int i = 0; i < 3; ++i)
                (void)port.inputDeviceNames();
            // The snapshot is what a fresh look shows, in the same order, each port once;
            // probing by index, as the window does, yields the same list and then a null name.
            QCOMPARE(watcher.listedInputs(), port.inputDeviceNames());
            QCOMPARE(watcher.listedOutputs(), port.outputDeviceNames());
            QCOMPARE(watcher.listedInputs().filter(extraName).size() + watcher.listedOutputs().filter(extraName).size(), 2);
            QStringList probed;
            for (unsigned i = 0; !port.inputDeviceName(i).isNull(); ++i)
                probed << port.inputDeviceName(i);
            QCOMPARE(probed, watcher.listedInputs());
        }
        QVERIFY(QTest::qWaitFor([&] { return !watcher.listedInputs().join('\n').contains(extraName); }, 10000));
        QVERIFY(QTest::qWaitFor([&] { return !watcher.listedOutputs().join('\n').contains(extraName); }, 10000));
        for (qsizetype i = 1; i < seen.size(); ++i)
            QVERIFY2(seen[i] != seen[i - 1], qPrintable(QStringLiteral("no change at signal %1").arg(i)));
        QVERIFY(seen.size() >= 3);   // came, went
    }

    void openPortGone_data()
    {
        QTest::addColumn<bool>("kill");
        QTest::newRow("peer closes its ports") << false;
        QTest::newRow("peer process killed") << true;
    }
    void openPortGone()
    {
        // The peer of an open pair goes: the pair says so once, naming the port, and not
        // again for later changes; a new open() may say so again.
        QFETCH(bool, kill);
        const QString name = peerName + (kill ? "-killed" : "-closes");
        MidiPort inProcess;
        std::unique_ptr<Child> child;
        if (kill) {
            child = std::make_unique<Child>("peer:" + name);
            QVERIFY2(child->waitForOutput("ready", 30000), qPrintable(child->out));
        } else {
            QVERIFY(inProcess.openVirtual(name));
        }
        MidiPort pair;
        pair.watchPorts();
        QSignalSpy gone(&pair, &MidiPort::openPortGone);
        int in = -1, out = -1;
        QVERIFY(QTest::qWaitFor([&] {
            in = indexEndingWith(pair.listedInputs(), name + " out");
            out = indexEndingWith(pair.listedOutputs(), name + " in");
            return in >= 0 && out >= 0;
        }, 10000));
        QVERIFY(pair.open(in, out));
        // A peer's two ports go one after the other: either may be named.
        const QStringList peerPorts{pair.openInputName(), pair.openOutputName()};
        QVERIFY2(indexEndingWith({peerPorts[0]}, name + " out") == 0 && indexEndingWith({peerPorts[1]}, name + " in") == 0,
                 qPrintable(peerPorts.join(" / ")));

        QElapsedTimer sinceGone;
        sinceGone.start();
        if (kill)
            ::kill(pid_t(child->process.processId()), SIGKILL);
        else
            inProcess.close();
        QVERIFY(gone.wait(10000));
        qInfo("%s: reported %lld ms after the peer went", QTest::currentDataTag(), sinceGone.elapsed());
        QCOMPARE(gone.count(), 1);
        QVERIFY2(peerPorts.contains(gone.at(0).at(0).toString()), qPrintable(gone.at(0).at(0).toString()));
        QVERIFY(pair.inputOpen() && pair.outputOpen());   // closing is the owner's business

        // Later changes are no news about the same pair.
        QSignalSpy changed(&pair, &MidiPort::portsChanged);
        MidiPort later;
        QVERIFY(later.openVirtual(name + "-later"));
        QVERIFY(changed.wait(10000));
        QCOMPARE(gone.count(), 1);
        // Opening again takes the news afresh: its peer goes too.
        QVERIFY(QTest::qWaitFor([&] {
            return indexEndingWith(pair.listedInputs(), name + "-later out") >= 0
                   && indexEndingWith(pair.listedOutputs(), name + "-later in") >= 0;
        }, 10000));
        QVERIFY(pair.open(indexEndingWith(pair.listedInputs(), name + "-later out"),
                          indexEndingWith(pair.listedOutputs(), name + "-later in")));
        later.close();
        QVERIFY(gone.wait(10000));
        QVERIFY(gone.at(1).at(0).toString().contains(name + "-later "));
    }

    void sysexThroughUsb_data()
    {
        QTest::addColumn<bool>("toUnit");
        QTest::newRow("host to unit") << true;
        QTest::newRow("unit to host") << false;
    }
    void sysexThroughUsb()
    {
        // Through a USB MIDI link: the host's port of the USB MIDI class driver on one side,
        // the raw MIDI device of the USB MIDI gadget (scripts/usb-midi-unit, in the ALSA guest)
        // on the other. USB MIDI carries SysEx in 4-byte packets of 3 bytes, the last one
        // holding 1, 2 or 3; at full speed 16 packets (48 bytes) fill a 64-byte transfer. So:
        // lengths of every remainder, on both sides of the first transfer edges, and long
        // ones; from the unit, a clock byte in the middle of every other message, which the
        // port passes by (SysEx only), also where the sequencer has already handed on the
        // first 256 bytes. One at a time, each arrives exactly as sent.
        QFETCH(bool, toUnit);
        const QString script = qEnvironmentVariable("TARSYN_USB_MIDI_UNIT");
        if (script.isEmpty())
            QSKIP("needs the USB MIDI gadget (TARSYN_USB_MIDI_UNIT, which the ALSA guest's run sets: ctest -L usb)");
        QProcess plug;
        plug.start(script, {"plug"});
        QVERIFY2(plug.waitForFinished(60000) && plug.exitCode() == 0, plug.readAllStandardError().constData());
        const QByteArray device = plug.readAllStandardOutput().trimmed();
        // Unplugged again at the end: the host's pending transfers keep the emulated controller busy.
        const auto unplug = qScopeGuard([&] { QProcess::execute(script, {"unplug"}); });
        const int fd = ::open(device.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        QVERIFY2(fd >= 0, (device + ": " + std::strerror(errno)).constData());
        const auto closeDevice = qScopeGuard([fd] { ::close(fd); });
        pollfd started{fd, POLLIN, 0};
        (void)::poll(&started, 1, 0);   // a raw device's input starts with its first poll
        const QString usbPort = QStringLiteral("Tarsyn+ MIDI 1");
        QVERIFY(port.open(indexEndingWith(port.inputDeviceNames(), usbPort),
                          indexEndingWith(port.outputDeviceNames(), usbPort)));
        const auto closePort = qScopeGuard([&] { port.close(); });
        atPort.messages.clear();

        QList<int> lengths{2, 3, 4, 5, 6, 7, 8, 333, 334, 654, 4000};
        for (const int edge : {48, 96, 144})
            for (int size = edge - 3; size <= edge + 3; ++size)
                lengths << size;
        for (int i = 0; i < lengths.size(); ++i) {
            const QByteArray message = sysex(lengths[i], i);
            const QByteArray what = QByteArray::number(message.size()) + " bytes";
            if (toUnit) {
                QVERIFY(port.sendLongMessage(message));
                QByteArray received;
                QVERIFY2(QTest::qWaitFor([&] {
                    char buffer[4096];
                    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
                        received.append(buffer, n);
                    return received.size() >= message.size();
                }, 10000), what + ": " + QByteArray::number(received.size()) + " arrived");
                QVERIFY2(received == message, what + ": " + received.left(64).toHex(' '));
            } else {
                QByteArray bytes = message;
                if (i % 2)
                    bytes.insert(bytes.size() / 2, char(0xF8));
                QVERIFY2(writeAll(fd, bytes), what + ": " + std::strerror(errno));
                QVERIFY2(QTest::qWaitFor([&] { return !atPort.messages.isEmpty(); }, 10000), what + ": nothing arrived");
                QVERIFY2(atPort.messages == QList<QByteArray>{message},
                         what + ": " + QByteArray::number(atPort.messages.size()) + " messages, the first "
                             + atPort.messages.first().left(64).toHex(' '));
                atPort.messages.clear();
            }
        }
    }

    void unpluggedWhileSending()
    {
        // The USB cable pulled while the host's side still has bytes to send. The kernel's
        // sequencer takes the port out of its lists at once, but ends its client only after
        // the class driver has given up sending them (a raw MIDI drain of 10 s, which the
        // kernel log records), and holds the sending client meanwhile. A watching pair says
        // that its port has gone, and closes, before that. Whether bytes are left at the
        // moment of the unplug is the emulated link's timing, and the class driver discards
        // them when more come after its device has gone: up to four tries, most likely to
        // drain as the boot's first unplug (so this runs before the other USB tests).
        const QString script = qEnvironmentVariable("TARSYN_USB_MIDI_UNIT");
        if (script.isEmpty())
            QSKIP("needs the USB MIDI gadget (TARSYN_USB_MIDI_UNIT, which the ALSA guest's run sets: ctest -L usb)");
        const auto drainErrors = [] {
            QProcess dmesg;
            dmesg.start(QStringLiteral("dmesg"), QStringList());
            dmesg.waitForFinished(10000);
            return dmesg.readAllStandardOutput().count("rawmidi drain error");
        };
        // The class driver's sequencer client, and its port.
        const QString usbClient = QStringLiteral("Tarsyn+"), usbPort = QStringLiteral("Tarsyn+ MIDI 1");
        // More than the link carries, so that the class driver's buffer stays full.
        const QByteArray flood = sysex(4000, 1);
        bool drained = false;
        constexpr int Tries = 4;
        for (int attempt = 1; attempt <= Tries && !drained; ++attempt) {
            QProcess plug;
            plug.start(script, {"plug"});
            QVERIFY2(plug.waitForFinished(60000) && plug.exitCode() == 0, plug.readAllStandardError().constData());
            MidiPort pair;
            pair.watchPorts();
            QSignalSpy gone(&pair, &MidiPort::openPortGone);
            QVERIFY(pair.open(indexEndingWith(pair.inputDeviceNames(), usbPort),
                              indexEndingWith(pair.outputDeviceNames(), usbPort)));
            QTimer sender;
            connect(&sender, &QTimer::timeout, this, [&] {
                for (int i = 0; i < 8; ++i)
                    (void)pair.sendLongMessage(flood);
            });
            sender.start(1);
            QTest::qWait(300);
            const qsizetype drainsBefore = drainErrors();

            UsbUnplug unplug(script, usbPort);
            QVERIFY(unplug.waitUntil([&] { return !gone.isEmpty(); }, "the pair said so", 30000));
            const bool drainedBeforeReport = drainErrors() > drainsBefore;
            sender.stop();
            pair.close();
            const qint64 closed = unplug.elapsed();
            const bool drainedBeforeClose = drainErrors() > drainsBefore;
            QVERIFY2(unplug.finished(60000), unplug.errors().constData());
            // A client that outlives its port by seconds is draining; the log says when in vain.
            const bool draining = !QTest::qWaitFor([&] { return !sequencerLists(usbClient); }, 2000);
            drained = draining && QTest::qWaitFor([&] { return drainErrors() > drainsBefore; }, 13000);
            qInfo("try %d: the pair was closed at %lld ms after the unplug began; the kernel's drain %s", attempt, closed,
                  drained ? "ended in vain later" : "did not happen");
            QVERIFY2(!drainedBeforeReport, "the pair said that its port had gone only after the kernel's drain");
            QVERIFY2(!drainedBeforeClose, "closing the pair waited for the kernel's drain");
        }
        if (!drained)
            QSKIP("the class driver had nothing left to send at any of the unplugs: the case did not arise");
    }

    void serverComesAndGoes()
    {
        // A watching port follows a JACK server that starts after it: the server's ports are
        // listed and a pair opens to a peer there. When the server stops, the pair says that
        // its port has gone and closes without waiting for cycles that never come, and the
        // lists empty. (libjack serves one server per process: the watching port and the
        // peer are children on the server of this test's own.)
        if (port.apiName() != QLatin1String("jack"))
            QSKIP("a MIDI server that starts and stops: JACK only (the ALSA sequencer is the kernel's)");
        QTemporaryDir state;
        QVERIFY(state.isValid());
        // The same name in every run of this tree: JACK frees a dead server's registry slot
        // only for a server of the same name.
        const QString server = QStringLiteral("tarsyn-later-%1").arg(qHash(QByteArray(TARSYN_BINARY_DIR)), 0, 16);
        const QString script = QStringLiteral(TARSYN_SOURCE_DIR "/scripts/jack-server");
        const auto stop = qScopeGuard([&] { QProcess::execute(script, {"stop", server, state.path()}); });
        Child follower("follow:" + peerName, {"JACK_DEFAULT_SERVER=" + server});
        QVERIFY2(follower.waitForOutput("watching\n", 30000), follower.describe().constData());
        QCOMPARE(QProcess::execute(script, {"start", server, state.path()}), 0);
        Child peerChild("peer:" + peerName, {"JACK_DEFAULT_SERVER=" + server});
        QVERIFY2(peerChild.waitForOutput("ready", 30000), peerChild.describe().constData());
        QVERIFY2(follower.waitForOutput("open\n", 30000), follower.describe().constData());
        QElapsedTimer sinceStop;
        sinceStop.start();
        QProcess stopper;
        stopper.start(script, {"stop", server, state.path()});
        QVERIFY2(follower.waitForOutput("closed\n", 30000), follower.describe().constData());
        qInfo("reported %lld ms after the server was told to stop", sinceStop.elapsed());
        QVERIFY2(QRegularExpression("gone " + peerName + " (in|out)\n").match(follower.out).hasMatch(),
                 follower.describe().constData());
        QVERIFY2(follower.waitForOutput("empty\n", 30000), follower.describe().constData());
        QVERIFY(QTest::qWaitFor([&] { return follower.process.state() == QProcess::NotRunning; }, 30000));
        QVERIFY2(follower.process.exitStatus() == QProcess::NormalExit
                     && follower.process.exitCode() == 0,
                 follower.describe().constData());
        QVERIFY(stopper.waitForFinished(30000) && stopper.exitCode() == 0);
    }

    void deadServersKeepNoSlot()
    {
        // JACK has eight server slots and frees a dead server's only for one of the same name:
        // servers killed outright fill them until no server starts ("Too many servers already
        // active"). Fill them so, then start one through the script, which frees them first.
        if (port.apiName() != QLatin1String("jack"))
            QSKIP("JACK's server registry: JACK only");
        const QString reclaim = qEnvironmentVariable("TARSYN_JACK_RECLAIM");
        QVERIFY2(QFileInfo(reclaim).isExecutable(), "TARSYN_JACK_RECLAIM: run through ctest");
        QTemporaryDir state;
        QVERIFY(state.isValid());
        const QString script = QStringLiteral(TARSYN_SOURCE_DIR "/scripts/jack-server");
        const QString base = QStringLiteral("tarsyn-dead-%1-").arg(QCoreApplication::applicationPid());
        const auto start = [&](const QString &name, bool withReclaim, QByteArray *errors = nullptr) {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            if (!withReclaim)
                env.remove("TARSYN_JACK_RECLAIM");
            process.setProcessEnvironment(env);
            process.start(script, {"start", name, state.path()});
            process.waitForFinished(60000);
            if (errors)
                *errors = process.readAllStandardError();
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        };
        const auto killServer = [&](const QString &name) {
            QFile pidFile(state.filePath("jackd-" + name + ".pid"));
            QVERIFY(pidFile.open(QIODevice::ReadOnly));
            const pid_t pid = pid_t(pidFile.readAll().trimmed().toInt());
            QCOMPARE(::kill(pid, SIGKILL), 0);
            QVERIFY(QTest::qWaitFor([&] { return ::kill(pid, 0) == -1; }, 10000));
        };
        const auto freeAll = qScopeGuard([&] { QProcess::execute(reclaim, {}); });
        bool full = false;
        for (int i = 0; i < 9 && !full; ++i) {
            QByteArray errors;
            if (start(base + QString::number(i), false, &errors))
                killServer(base + QString::number(i));
            else
                full = errors.contains("Too many servers");
            QVERIFY2(!QTest::currentTestFailed(), errors.constData());
        }
        QVERIFY2(full, "eight dead servers and the registry still had room");
        const QString last = base + QStringLiteral("last");
        QVERIFY(start(last, true));
        QCOMPARE(QProcess::execute(script, {"stop", last, state.path()}), 0);
        // The run's own server, alive all along, kept its slot and still serves.
        MidiPort fresh;
        QVERIFY(fresh.openVirtual(peerName + "-after"));
        fresh.close();
    }

    void noMidiSystem()
    {
        // This binary again, in its child mode, with a JACK server name that no server has:
        // JACK chosen, every system, an unknown system. Without JACK_NO_START_SERVER, the port
        // itself must keep libjack from starting a server.
        for (const QString api : {"jack", "", "nonesuch"}) {
            Child child("1", {"JACK_DEFAULT_SERVER=tarsyn-absent-" + peerName, "JACK_NO_START_SERVER", "TARSYN_MIDI_API=" + api});
            QVERIFY(child.process.waitForFinished(60000));
            QCOMPARE(child.process.readAllStandardError(), QByteArray());
            // Without a sequencer device no system is left; with one, ALSA may list ports. A
            // crash loses the buffered output.
            const QByteArray out = child.process.readAllStandardOutput();
            QVERIFY2(out == "0 0 0 0\n" || (api.isEmpty() && QFile::exists("/dev/snd/seq")),
                     qPrintable(api + ": " + QString::fromLatin1(out)));
        }
    }
};

int main(int argc, char **argv)
{
    // The child modes. "peer:NAME": virtual ports NAME until killed. "follow:NAME": a watching
    // port that opens itself to NAME's ports once they are listed, until that pair's port has
    // gone and no port is listed.
    const QString childMode = qEnvironmentVariable("TARSYN_MIDI_PORT_CHILD");
    const auto say = [](const char *text) {
        std::printf("%s\n", text);
        std::fflush(stdout);
    };
    if (childMode.startsWith("follow:")) {
        QCoreApplication app(argc, argv);
        const QString name = childMode.section(':', 1);
        MidiPort pair;
        bool opened = false, gone = false, empty = false;
        QObject::connect(&pair, &MidiPort::openPortGone, &app, [&](const QString &port) {
            std::printf("gone %s\n", qPrintable(port.section(':', 1)));
            pair.close();
            say("closed");
            gone = true;
            if (empty)
                app.quit();
        });
        QObject::connect(&pair, &MidiPort::portsChanged, &app, [&] {
            const int in = indexEndingWith(pair.listedInputs(), name + " out");
            const int out = indexEndingWith(pair.listedOutputs(), name + " in");
            if (!opened && in >= 0 && out >= 0 && (opened = pair.open(in, out))) {
                say("open");
            } else if (opened && !empty && pair.listedInputs().isEmpty() && pair.listedOutputs().isEmpty()) {
                say("empty");
                empty = true;
                if (gone)
                    app.quit();
            }
        }, Qt::QueuedConnection);
        pair.watchPorts();
        say("watching");
        return app.exec();
    }
    if (childMode.startsWith("peer:")) {
        QCoreApplication app(argc, argv);
        MidiPort peer;
        if (!peer.openVirtual(childMode.section(':', 1)))
            return 1;
        say("ready");
        return app.exec();
    }
    // "1": everything that meets the MIDI systems, reported on standard output.
    if (!childMode.isEmpty()) {
        MidiPort port;
        const auto in = port.inputDeviceNames().size(), out = port.outputDeviceNames().size();
        const bool opened = port.open(0, 0);
        std::printf("%d %d %d %d\n", int(in), int(out), opened, port.openVirtual("absent"));
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestMidiPort test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_midiport.moc"
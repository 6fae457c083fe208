#pragma once
// The ALSA guest's USB MIDI link (scripts/usb-midi-unit) as tests use it: whether the
// sequencer lists a name, and the cable pulled with the times a test reports.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTest>

// True while the ALSA sequencer lists a client or port named `name` (its list in /proc), or
// when there is no such list to read.
inline bool sequencerLists(const QString &name)
{
    QFile file(QStringLiteral("/proc/asound/seq/clients"));
    const QByteArray clients = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    return clients.isEmpty() || clients.contains(QByteArray('"' + name.toUtf8() + '"'));
}

// The USB cable pulled: `script unplug` starts with the object. While the test waits for its
// job to notice, notes when the ALSA sequencer stopped listing the unit's `port`; all times
// count from the unplug's start.
class UsbUnplug {
public:
    UsbUnplug(const QString &script, const QString &port) : port_(port)
    {
        since_.start();
        process_.start(script, {QStringLiteral("unplug")});
    }
    // Waits until `ended()` (`milliseconds` only catches a hang) and prints both times, `what`
    // naming the second. The job must end on the port's going, not on a reply timeout.
    template <typename Ended>
    bool waitUntil(Ended ended, const char *what, int milliseconds)
    {
        const bool done = QTest::qWaitFor(
            [&] {
                if (portWent_ < 0 && !sequencerLists(port_))
                    portWent_ = since_.elapsed();
                return ended();
            },
            milliseconds);
        const qint64 at = since_.elapsed();
        qInfo("after the unplug began: the unit's port went at %lld ms, %s at %lld ms (%lld ms later)", portWent_, what, at,
              portWent_ < 0 ? -1 : at - portWent_);
        return done;
    }
    qint64 elapsed() const { return since_.elapsed(); }
    // True once the script has ended well; its errors otherwise.
    bool finished(int milliseconds)
    {
        return QTest::qWaitFor([this] { return process_.state() == QProcess::NotRunning; }, milliseconds)
            && process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }
    QByteArray errors() { return process_.readAllStandardError(); }

private:
    QString port_;
    QElapsedTimer since_;
    QProcess process_;
    qint64 portWent_ = -1;
};

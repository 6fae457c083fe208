#pragma once
// A program that an end-to-end test starts: its standard output and error are collected
// while the test waits for it, and it is killed and reaped if the test ends early. Below it,
// what tarsyn-flash's tests share: the programs, a unit's ports and files.

#include "UsbLink.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <memory>

class E2eProcess {
public:
    // `environment`: NAME=VALUE sets, NAME= removes, the rest is this process's.
    E2eProcess(const QString &program, const QStringList &arguments, const QStringList &environment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &setting : environment) {
            const QString name = setting.section(QLatin1Char('='), 0, 0), value = setting.section(QLatin1Char('='), 1);
            if (value.isEmpty())
                env.remove(name);
            else
                env.insert(name, value);
        }
        process_.setProcessEnvironment(env);
        process_.start(program, arguments);
        process_.waitForStarted(10000);
    }
    ~E2eProcess()
    {
        process_.terminate();   // a unit on SIGTERM, unlike SIGKILL, takes its ports out of JACK
        if (!process_.waitForFinished(10000))
            process_.kill();
        process_.waitForFinished(10000);
    }

    bool running() const { return process_.state() != QProcess::NotRunning; }
    // Waits (processing events) until the process has ended; false on timeout.
    bool waitForEnd(int milliseconds)
    {
        const bool ended = QTest::qWaitFor([this] { return !running(); }, milliseconds);
        collect();
        return ended;
    }
    // Waits until standard output contains `text`; false on timeout or when the process ended
    // without printing it.
    bool waitForOutput(const QString &text, int milliseconds)
    {
        return QTest::qWaitFor([&] { return collect().contains(text) || !running(); }, milliseconds)
            && collect().contains(text);
    }
    void sendSignal(int number)
    {
        if (running())
            ::kill(pid_t(process_.processId()), number);
    }
    // -1 while running or after a crash (exit status CrashExit).
    int exitCode() const { return running() || process_.exitStatus() ? -1 : process_.exitCode(); }
    // Program, arguments, status and output, for failure messages.
    QByteArray describe() const
    {
        return QStringLiteral("%1 %2\nexit %3\n--- stdout:\n%4--- stderr:\n%5")
            .arg(process_.program(), process_.arguments().join(' '), QString::number(exitCode()), out.right(4000),
                 err.right(4000))
            .toLocal8Bit();
    }

    QString out, err;

private:
    const QString &collect()
    {
        err += QString::fromLocal8Bit(process_.readAllStandardError());
        return out += QString::fromLocal8Bit(process_.readAllStandardOutput());
    }

    QProcess process_;
};

using Process = std::unique_ptr<E2eProcess>;
#ifdef TARSYN_FLASH_EXE
inline const QString FlashExe = QStringLiteral(TARSYN_FLASH_EXE);
#endif
constexpr int ShortMs = 60000;

// Port names of this test run's own, so that runs side by side do not meet.
inline QString portName(const QString &tag)
{
    return QStringLiteral("%1-%2-%3").arg(QCoreApplication::applicationName(), tag).arg(QCoreApplication::applicationPid());
}

// tarsyn-flash's options for the pair of ports whose names contain `id`.
inline QStringList pair(const QString &id)
{
    return {QStringLiteral("--in"), id, QStringLiteral("--out"), id};
}

// A virtual unit with `options`, once it says it is ready (or has ended).
inline Process startUnit(const QStringList &options)
{
    auto unit = std::make_unique<E2eProcess>(QStringLiteral(TARSYN_UNIT_EXE), options);
    unit->waitForOutput(QStringLiteral("ready: "), ShortMs);
    return unit;
}

// A unit on ports of its own.
inline Process startUnit(const QString &id, const QStringList &options)
{
    return startUnit(QStringList{"--port-name", id} + options);
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The unit behind the USB MIDI gadget (`script unit`, scripts/usb-midi-unit), once it says it
// is ready (or has ended).
inline Process startUsbUnit(const QString &script, const QStringList &options)
{
    auto unit = std::make_unique<E2eProcess>(script, QStringList{QStringLiteral("unit"), QStringLiteral(TARSYN_UNIT_EXE)}
                                                         + options);
    unit->waitForOutput(QStringLiteral("ready: "), ShortMs);
    return unit;
}

#include "E2eProcess.h"

#include <QTest>

#include <csignal>
#include <memory>

E2eProcess::E2eProcess(const QString &program, const QStringList &arguments, QObject *parent)
    : QObject(parent)
{
    process_.setProgram(program);
    process_.setArguments(arguments);
    connect(&process_, &QProcess::readyReadStandardOutput, this,
            [this] { out_ += QString::fromLocal8Bit(process_.readAllStandardOutput()); });
    connect(&process_, &QProcess::readyReadStandardError, this,
            [this] { err_ += QString::fromLocal8Bit(process_.readAllStandardError()); });
}

E2eProcess::~E2eProcess()
{
    if (running()) {
        process_.kill();
        process_.waitForFinished(10000);
    }
}

void E2eProcess::start()
{
    process_.start();
    process_.waitForStarted(10000);
}

bool E2eProcess::waitForEnd(int milliseconds)
{
    const bool ended = QTest::qWaitFor([this] { return !running(); }, milliseconds);
    // Whatever is still in the pipes.
    out_ += QString::fromLocal8Bit(process_.readAllStandardOutput());
    err_ += QString::fromLocal8Bit(process_.readAllStandardError());
    return ended;
}

bool E2eProcess::waitForOutput(const QString &text, int milliseconds)
{
    [[maybe_unused]] const bool done = QTest::qWaitFor([&] { return out_.contains(text) || !running(); }, milliseconds);
    if (!running())
        waitForEnd(0);
    return out_.contains(text);
}

void E2eProcess::sendSignal(int signalNumber)
{
    if (running())
        ::kill(pid_t(process_.processId()), signalNumber);
}

QString E2eProcess::describe() const
{
    return QStringLiteral("%1 %2\nexit %3%4\n--- stdout:\n%5--- stderr:\n%6")
        .arg(process_.program(), process_.arguments().join(QLatin1Char(' ')))
        .arg(process_.exitCode())
        .arg(crashed() ? QStringLiteral(" (crashed)") : QString())
        .arg(out_.right(4000), err_.right(4000));
}

std::unique_ptr<E2eProcess> runToEnd(const QString &program, const QStringList &arguments, int milliseconds)
{
    auto process = std::make_unique<E2eProcess>(program, arguments);
    process->start();
    process->waitForEnd(milliseconds);
    return process;
}

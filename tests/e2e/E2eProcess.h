#pragma once
// A program that an end-to-end test starts: its standard output and error are collected as
// they arrive (while the test waits in the event loop), and it is killed and reaped if the
// test ends early.

#include <QObject>
#include <QProcess>
#include <QStringList>

#include <memory>

class E2eProcess : public QObject {
    Q_OBJECT
public:
    E2eProcess(const QString &program, const QStringList &arguments, QObject *parent = nullptr);
    ~E2eProcess() override;

    void start();
    bool running() const { return process_.state() != QProcess::NotRunning; }
    // Waits (processing events) until the process has ended; false on timeout.
    bool waitForEnd(int milliseconds);
    // Waits until standard output contains `text`; false on timeout or when the process ended
    // without printing it.
    bool waitForOutput(const QString &text, int milliseconds);
    void sendSignal(int signalNumber);

    QString out() const { return out_; }
    QString err() const { return err_; }
    int exitCode() const { return process_.exitCode(); }
    bool crashed() const { return process_.exitStatus() == QProcess::CrashExit; }
    // Program, arguments, status and output, for failure messages.
    QString describe() const;

private:
    QProcess process_;
    QString out_;
    QString err_;
};

// Runs a program to its end (up to `milliseconds`) and returns it for inspection.
std::unique_ptr<E2eProcess> runToEnd(const QString &program, const QStringList &arguments, int milliseconds);

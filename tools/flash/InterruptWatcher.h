#pragma once
// Turns SIGINT and SIGTERM into a Qt signal on the main thread (the self-pipe pattern): the
// handler only writes one byte to a pipe; a QSocketNotifier reads it in the event loop.
// On Windows, Ctrl+C (as SIGINT) and Ctrl+Break or closing the console (as SIGTERM) arrive
// on a thread of their own, which posts them to the watcher's thread.
// One watcher per process; the previous handlers are restored when it is destroyed.

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace Tarsyn {

class InterruptWatcher : public QObject {
    Q_OBJECT
public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

    bool active() const { return active_; }
    int lastSignal() const { return lastSignal_; }

signals:
    void interrupted(int signalNumber);

private:
    void readPipe();

    std::unique_ptr<QSocketNotifier> notifier_;
    bool active_ = false;
    int lastSignal_ = 0;
};

} // namespace Tarsyn

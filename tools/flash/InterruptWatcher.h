#pragma once
// Turns SIGINT and SIGTERM into a Qt signal on the main thread (the self-pipe pattern): the
// handler only writes one byte to a pipe; a QSocketNotifier reads it in the event loop.
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

    bool active() const { return notifier_ != nullptr; }
    int lastSignal() const { return lastSignal_; }

signals:
    void interrupted(int signalNumber);

private:
    void readPipe();

    std::unique_ptr<QSocketNotifier> notifier_;
    int lastSignal_ = 0;
};

} // namespace Tarsyn

#include "Clock.h"

#include <QTimer>

#include <chrono>

namespace Tarsyn {

namespace {

class SystemTimer : public Clock::Timer {
public:
    SystemTimer(std::function<void()> fired, bool precise)
    {
        timer_.setSingleShot(true);
        if (precise)
            timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, std::move(fired));
    }
    void start(int milliseconds) override { timer_.start(milliseconds); }
    void stop() override { timer_.stop(); }
    bool isActive() const override { return timer_.isActive(); }

private:
    QTimer timer_;
};

class SystemClock : public Clock {
public:
    qint64 nowNs() const override
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    std::unique_ptr<Timer> timer(std::function<void()> fired, bool precise) override
    {
        return std::make_unique<SystemTimer>(std::move(fired), precise);
    }
};

} // namespace

Clock &Clock::system()
{
    static SystemClock clock;
    return clock;
}

} // namespace Tarsyn

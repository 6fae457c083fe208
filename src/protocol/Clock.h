#pragma once
// Clock: where the stall guards take the time from. The system clock reads
// std::chrono::steady_clock (the clock the MIDI input stamps arrivals with) and runs its
// timers on QTimer, in the event loop of the thread that creates them; tests use a clock they
// step by hand, so that a timeout depends on what the test does, not on the machine's load.

#include <QtGlobal>

#include <functional>
#include <memory>

namespace Tarsyn {

class Clock {
public:
    // A single-shot timer: calls its function once, `milliseconds` after start(), unless it
    // is started again or stopped first. Destroying it stops it.
    class Timer {
    public:
        virtual ~Timer() = default;
        virtual void start(int milliseconds) = 0;
        virtual void stop() = 0;
        virtual bool isActive() const = 0;
    };

    virtual ~Clock() = default;
    virtual qint64 nowNs() const = 0;
    // `precise` asks for millisecond accuracy; otherwise the timer may fire a little late
    // (Qt's coarse timers, within 5 %), which costs less.
    virtual std::unique_ptr<Timer> timer(std::function<void()> fired, bool precise = false) = 0;

    static Clock &system();
};

// A single-shot timer held by value, on the system clock until setClock().
class ClockTimer {
public:
    explicit ClockTimer(std::function<void()> fired, bool precise = false)
        : fired_(std::move(fired)), precise_(precise), timer_(Clock::system().timer(fired_, precise_)) {}
    void start(int milliseconds) { timer_->start(milliseconds); }
    void stop() { timer_->stop(); }
    bool isActive() const { return timer_->isActive(); }
    // Moves the timer to `clock`, stopped.
    void setClock(Clock &clock) { timer_ = clock.timer(fired_, precise_); }

private:
    std::function<void()> fired_;
    bool precise_;
    std::unique_ptr<Clock::Timer> timer_;
};

// A point in time on a clock, with QElapsedTimer's calls.
class ClockStamp {
public:
    explicit ClockStamp(const Clock &clock) : clock_(&clock) {}
    // From now, or from `atNs` on the clock (a message's arrival stamp); -1 means now.
    void start(qint64 atNs = -1) { at_ = atNs >= 0 ? atNs : clock_->nowNs(); }
    bool isValid() const { return at_ >= 0; }
    void invalidate() { at_ = -1; }
    qint64 nsecsElapsed() const { return clock_->nowNs() - at_; }
    qint64 elapsed() const { return nsecsElapsed() / 1000000; }
    void setClock(const Clock &clock) { clock_ = &clock; at_ = -1; }

private:
    const Clock *clock_;
    qint64 at_ = -1;
};

} // namespace Tarsyn

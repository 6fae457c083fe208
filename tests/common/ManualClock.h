#pragma once
// A clock that stands still until the test moves it: advance() and runNext() fire the timers
// that fall due, in the order of their due times (timers due together in the order they were
// started), each with the clock at its own due time. No event loop is involved.

#include "Clock.h"

#include <functional>
#include <map>
#include <utility>

namespace TestSupport {

class ManualClock : public Tarsyn::Clock {
public:
    static constexpr qint64 NsPerMs = 1000000;

    qint64 nowNs() const override { return now_; }
    std::unique_ptr<Timer> timer(std::function<void()> fired, bool) override
    {
        return std::make_unique<ManualTimer>(*this, std::move(fired));
    }

    int pending() const { return int(due_.size()); }
    // The due time of the next timer, -1 when none runs.
    qint64 nextDueNs() const { return due_.empty() ? -1 : due_.begin()->first.first; }

    // Fires the next timer, moving the clock to its due time; false when none runs.
    bool runNext()
    {
        if (due_.empty())
            return false;
        const auto next = due_.begin();
        ManualTimer *timer = next->second;
        now_ = next->first.first;
        due_.erase(next);
        timer->active_ = false;
        const std::function<void()> fired = timer->fired_;   // (it may destroy the timer)
        fired();
        return true;
    }

    // Moves the clock `ns` on, firing every timer due by then.
    void advance(qint64 ns)
    {
        const qint64 until = now_ + ns;
        while (!due_.empty() && due_.begin()->first.first <= until)
            runNext();
        now_ = until;
    }
    void advanceMs(qint64 ms) { advance(ms * NsPerMs); }

    // Fires timers until `done` holds; false when no timer is left, or when `done` still
    // does not hold after `limitMs` of the clock's time.
    bool runUntil(const std::function<bool()> &done, qint64 limitMs = 3600 * 1000)
    {
        const qint64 limit = now_ + limitMs * NsPerMs;
        while (!done()) {
            if (due_.empty() || due_.begin()->first.first > limit)
                return false;
            runNext();
        }
        return true;
    }

private:
    using Key = std::pair<qint64, quint64>;   // due time, order of starting

    class ManualTimer : public Timer {
    public:
        ManualTimer(ManualClock &clock, std::function<void()> fired) : clock_(clock), fired_(std::move(fired)) {}
        ~ManualTimer() override { stop(); }
        void start(int milliseconds) override
        {
            stop();
            key_ = {clock_.now_ + qint64(qMax(0, milliseconds)) * NsPerMs, clock_.order_++};
            clock_.due_.emplace(key_, this);
            active_ = true;
        }
        void stop() override
        {
            if (active_)
                clock_.due_.erase(key_);
            active_ = false;
        }
        bool isActive() const override { return active_; }

        ManualClock &clock_;
        std::function<void()> fired_;
        Key key_{};
        bool active_ = false;
    };

    qint64 now_ = 1000 * NsPerMs;   // (not 0: a stamp of 0 is as good as any other)
    quint64 order_ = 0;
    std::map<Key, ManualTimer *> due_;
};

} // namespace TestSupport

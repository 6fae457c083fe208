#include "StallGuard.h"

#include "DeviceLink.h"

#include <algorithm>

namespace Tarsyn {

StallGuard::StallGuard(DeviceLink &link, QObject *parent)
    : QObject(parent)
    , link_(link)
{
}

void StallGuard::setClock(Clock &clock)
{
    clock_ = &clock;
    replyTimeout_.setClock(clock);
    quiet_.setClock(clock);
    for (ClockStamp *stamp : {&sentAt_, &firstSentAt_, &heardAt_})
        stamp->setClock(clock);
}

int StallGuard::quietMs() const
{
    const int full = timer_.timeoutMs(backoff_);
    if (thorough_ || !timer_.measured())
        return full;
    // After a repeat, the answer to the last copy may come as long after it as a reply to the
    // first copy can come after that one: the time between them is waited for on top.
    constexpr qint64 MinQuietNs = 4000000;
    const qint64 quick = std::max(MinQuietNs, 2 * timer_.smoothedNs()) + spreadNs_;
    return int(std::min<qint64>(full, (quick + 999999) / 1000000));
}

void StallGuard::armTimeout()
{
    int ms = timer_.repeatTimeoutMs(backoff_);
    if (silenceMs_ > 0) {
        // Wake up in time to give up when the silence span ends.
        const qint64 left = qint64(silenceMs_) - heardAt_.elapsed();
        ms = int(std::clamp<qint64>(left, 1, ms));
    }
    replyTimeout_.start(ms);
}

void StallGuard::watch()
{
    if (!awaiting_ || !heardAt_.isValid())
        heardAt_.start();
    awaiting_ = true;
    draining_ = false;
    quiet_.stop();
    copies_ = 1;
    sentAt_.start();
    firstSentAt_.start();
    armTimeout();
}

StallGuard::Take StallGuard::reply(ReplyCode code, qint64 arrivedNs)
{
    heardAt_.start();
    if (draining_) {
        collected_.append(code);
        quiet_.start(quietMs());
        return Take::Held;
    }
    const qint64 elapsed = sentAt_.isValid() ? sentAt_.nsecsElapsed() : 0;
    // The round trip up to the reply's arrival: a reply that waited in the thread's queue
    // (a busy machine) came no later than it arrived, and one that arrived before the message
    // went out cannot answer it.
    const qint64 now = clock_->nowNs();
    const qint64 waited = arrivedNs >= 0 && arrivedNs <= now ? now - arrivedNs : 0;
    const qint64 span = std::max<qint64>(0, elapsed - waited);
    // After a repeat, every copy may be answered; a reply that comes too soon answers an
    // earlier message. Either way, wait until the link is quiet and let the owner decide.
    if (!awaiting_ || copies_ > 1 || (echoFilter_ && timer_.tooSoon(span))) {
        collected_ = {code};
        ++held_;
        startDrain(false);
        return Take::Held;
    }
    // In step: one copy out, answered in a plausible time. Only such round trips are
    // measured (a reply after a repeat may answer either copy).
    timer_.addSample(elapsed, span);
    inARow_ = 0;
    backoff_ = 0;
    replyTimeout_.stop();
    return Take::Answer;
}

void StallGuard::drain(bool thorough)
{
    collected_.clear();
    startDrain(thorough);
}

void StallGuard::startDrain(bool thorough)
{
    draining_ = true;
    thorough_ = thorough;
    spreadNs_ = copies_ > 1 ? firstSentAt_.nsecsElapsed() - sentAt_.nsecsElapsed() : 0;
    replyTimeout_.stop();
    quiet_.start(quietMs());
}

void StallGuard::quietEnded()
{
    if (!draining_)
        return;
    draining_ = false;
    if (!collected_.isEmpty())
        inARow_ = 0;
    copies_ = 0;
    emit drained();
}

void StallGuard::stop()
{
    awaiting_ = false;
    draining_ = false;
    copies_ = 0;
    inARow_ = 0;
    replyTimeout_.stop();
    quiet_.stop();
}

void StallGuard::expired()
{
    if (!awaiting_ || draining_)
        return;
    const qint64 quietFor = heardAt_.elapsed();
    const bool silent = silenceMs_ > 0 && quietFor >= silenceMs_;
    // A count of repeats ends the exchange only once the unit has also been silent for as
    // long as that many initial timeouts: quick repeats on a fast link must not give up on
    // a unit that is merely busy for a moment.
    const bool repeatedOut = maxRepeats_ > 0 && inARow_ >= maxRepeats_
        && quietFor >= qint64(maxRepeats_ + 1) * timer_.initialTimeout();
    if (silent || repeatedOut) {
        stop();
        emit unitSilent();
        return;
    }
    ++inARow_;
    backoff_ = std::min(backoff_ + 1, 16);   // (the timeout stops growing at its ceiling)
    ++repeats_;
    ++copies_;
    link_.repeatLastMessage();
    sentAt_.start();
    armTimeout();
    emit repeated(inARow_);
}

} // namespace Tarsyn

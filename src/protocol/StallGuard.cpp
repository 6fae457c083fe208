#include "StallGuard.h"

#include "DeviceLink.h"

namespace Tarsyn {

StallGuard::StallGuard(DeviceLink &link, QObject *parent)
    : QObject(parent)
    , link_(link)
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &StallGuard::expired);
}

void StallGuard::setTimeout(int milliseconds)
{
    timeoutMs_ = qMax(1, milliseconds);
}

void StallGuard::setMaxRepeats(int repeats)
{
    maxRepeats_ = qMax(0, repeats);
}

namespace {
// A link whose round trips take 1 ms or more cannot answer within half a millisecond.
constexpr qint64 ShortestTrustedRoundTripNs = 1000000;
constexpr qint64 EchoWindowNs = 500000;
}

void StallGuard::watch()
{
    sentAt_.start();
    timer_.start(timeoutMs_);
}

void StallGuard::settle()
{
    // A round trip is measured only where no repeat went out: after a repeat, the reply may
    // answer the original message.
    if (timer_.isActive() && inARow_ == 0) {
        const qint64 roundTrip = sentAt_.nsecsElapsed();
        if (shortestRoundTripNs_ == 0 || roundTrip < shortestRoundTripNs_)
            shortestRoundTripNs_ = roundTrip;
    }
    inARow_ = 0;
    timer_.stop();
}

bool StallGuard::tooSoon() const
{
    return echoFilter_ && timer_.isActive() && shortestRoundTripNs_ >= ShortestTrustedRoundTripNs
        && sentAt_.nsecsElapsed() < EchoWindowNs;
}

void StallGuard::stop()
{
    inARow_ = 0;
    timer_.stop();
}

void StallGuard::expired()
{
    if (inARow_ >= maxRepeats_) {
        inARow_ = 0;
        emit unitSilent();
        return;
    }
    ++inARow_;
    ++repeats_;
    link_.repeatLastMessage();
    sentAt_.start();
    timer_.start(timeoutMs_);
    emit repeated(inARow_);
}

} // namespace Tarsyn

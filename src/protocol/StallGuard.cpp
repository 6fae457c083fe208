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

void StallGuard::watch()
{
    timer_.start(timeoutMs_);
}

void StallGuard::settle()
{
    inARow_ = 0;
    timer_.stop();
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
    timer_.start(timeoutMs_);
    emit repeated(inARow_);
}

} // namespace Tarsyn

#include "PortWatcher.h"
#include "SystemWatch.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>

namespace Tarsyn::Midi {

namespace {

// Long enough for a program's ports to come or go together, short beside the second in
// which a vanished port must end a job.
constexpr int SettleMs = 30;
constexpr int RetryMs = 1000;
constexpr int PollMs = 500;
constexpr int OpenPollMs = 250;

const QEvent::Type NoticeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

} // namespace

PortWatcher::PortWatcher(QObject *parent) : QObject(parent)
{
    settle_.setSingleShot(true);
    settle_.setInterval(SettleMs);
    connect(&settle_, &QTimer::timeout, this, &PortWatcher::settled);
    retry_.setInterval(RetryMs);
    connect(&retry_, &QTimer::timeout, this, &PortWatcher::retry);
    poll_.setInterval(PollMs);
    connect(&poll_, &QTimer::timeout, this, &PortWatcher::lookAgain);

    for (RtMidi::Api api : candidateApis())
        systems_.push_back({api, systemHasNotices(api), nullptr});
    bool missing = false;
    for (System &system : systems_) {
        if (!system.hasNotices)
            polled_ = true;
        else if (!openWatch(system))
            missing = true;
    }
    updatePoll();
    if (missing)
        retry_.start();
}

void PortWatcher::setPeersOpen(bool open)
{
    if (open == peersOpen_)
        return;
    peersOpen_ = open;
    updatePoll();
}

void PortWatcher::updatePoll()
{
    if (!polled_ && !peersOpen_) {
        poll_.stop();
        return;
    }
    const int interval = peersOpen_ ? OpenPollMs : PollMs;
    if (!poll_.isActive() || poll_.interval() != interval)
        poll_.start(interval);
}

PortWatcher::~PortWatcher()
{
    // The watches first: no notice may be posted to this object once it is being destroyed.
    for (System &system : systems_)
        system.watch.reset();
}

bool PortWatcher::openWatch(System &system)
{
    system.watch = openSystemWatch(system.api, [this] {
        QCoreApplication::postEvent(this, new QEvent(NoticeEvent));
    });
    return system.watch != nullptr;
}

bool PortWatcher::event(QEvent *event)
{
    if (event->type() != NoticeEvent)
        return QObject::event(event);
    if (!settle_.isActive())
        settle_.start();
    return true;
}

void PortWatcher::settled()
{
    // A system that has gone took its ports with it; it is asked for again from now on.
    for (System &system : systems_) {
        if (system.watch && !system.watch->alive()) {
            system.watch.reset();
            retry_.start();
        }
    }
    emit lookAgain();
}

void PortWatcher::retry()
{
    bool opened = false, missing = false;
    for (System &system : systems_) {
        if (!system.hasNotices || system.watch)
            continue;
        if (openWatch(system))
            opened = true;
        else
            missing = true;
    }
    if (!missing)
        retry_.stop();
    if (opened)
        emit lookAgain();
}

std::vector<PortEntry> PortWatcher::list(Direction direction, const std::vector<PortEntry> &previous)
{
    std::vector<PortEntry> entries;
    for (System &system : systems_) {
        if (system.hasNotices) {
            if (!system.watch || !system.watch->alive())
                continue;   // not running
            if (system.watch->listPorts(direction, entries))
                continue;
        } else if (!systemRuns(system.api)) {
            continue;
        }
        if (!listPorts(system.api, direction, entries)) {
            std::copy_if(previous.begin(), previous.end(), std::back_inserter(entries),
                         [&system](const PortEntry &entry) { return entry.api == system.api; });
        }
    }
    return entries;
}

} // namespace Tarsyn::Midi

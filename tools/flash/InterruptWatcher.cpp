#include "InterruptWatcher.h"

#include <csignal>

#ifdef _WIN32
#include <QMetaObject>

#include <mutex>

#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Tarsyn {

#ifdef _WIN32

namespace {

// The console's control handler runs on a thread that Windows starts for it; the lock keeps
// the watcher alive while that thread posts to it.
std::mutex watcherLock;
InterruptWatcher *watcher = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    const int signalNumber = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    const std::lock_guard lock(watcherLock);
    if (!watcher)
        return FALSE;
    InterruptWatcher *target = watcher;
    QMetaObject::invokeMethod(target, [target, signalNumber] {
        emit target->interrupted(signalNumber);
    }, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

InterruptWatcher::InterruptWatcher(QObject *parent) : QObject(parent)
{
    const std::lock_guard lock(watcherLock);
    if (watcher || !SetConsoleCtrlHandler(onConsoleEvent, TRUE))
        return;
    watcher = this;
    active_ = true;
    // Connected first, so lastSignal() is up to date in every other receiver.
    connect(this, &InterruptWatcher::interrupted, this, [this](int signalNumber) {
        lastSignal_ = signalNumber;
    });
}

InterruptWatcher::~InterruptWatcher()
{
    if (!active_)
        return;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    const std::lock_guard lock(watcherLock);
    watcher = nullptr;
}

void InterruptWatcher::readPipe() {}

#else

namespace {

int pipeFds[2] = {-1, -1};
struct sigaction previousInt;
struct sigaction previousTerm;

extern "C" void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

InterruptWatcher::InterruptWatcher(QObject *parent) : QObject(parent)
{
    if (pipeFds[0] >= 0 || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    notifier_ = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &InterruptWatcher::readPipe);
    active_ = true;
}

InterruptWatcher::~InterruptWatcher()
{
    if (!notifier_)
        return;
    notifier_.reset();
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

void InterruptWatcher::readPipe()
{
    unsigned char byte = 0;
    bool any = false;
    while (::read(pipeFds[0], &byte, 1) == 1) {
        lastSignal_ = byte;
        any = true;
    }
    if (any)
        emit interrupted(lastSignal_);
}

#endif

} // namespace Tarsyn

#include "InterruptWatcher.h"

#include <csignal>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Tarsyn {

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

} // namespace Tarsyn

#include "RawMidiDevice.h"

#include "MidiEvent.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace Tarsyn {

namespace {

// Milliseconds until `at`, rounded up, at least 1: a timer then fires no earlier than `at`.
int millisecondsUntil(RawMidiDevice::Clock::time_point at)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - RawMidiDevice::Clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(1, left.count()));
}

QString systemError(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

} // namespace

RawMidiDevice::RawMidiDevice(QObject *parent) : QObject(parent)
{
    for (QTimer *timer : {&writeTimer_, &deliverTimer_}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&writeTimer_, &QTimer::timeout, this, &RawMidiDevice::writeDue);
    connect(&deliverTimer_, &QTimer::timeout, this, &RawMidiDevice::deliverDue);
}

RawMidiDevice::~RawMidiDevice()
{
    close();
}

bool RawMidiDevice::open(const QString &path, bool dinSpeed, QString *error)
{
    close();
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0) {
        *error = QStringLiteral("cannot open the raw MIDI device %1: %2").arg(path, systemError(errno));
        return false;
    }
    // A raw MIDI device's input starts with the first read or poll; what arrives before is
    // dropped (the USB MIDI gadget does so). Start it now, before the unit says it is ready.
    pollfd started{fd_, POLLIN, 0};
    (void)::poll(&started, 1, 0);
    path_ = path;
    dinSpeed_ = dinSpeed;
    outFree_ = inFree_ = Clock::now();
    readNotifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, &RawMidiDevice::readAvailable);
    writeNotifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_.get(), &QSocketNotifier::activated, this, &RawMidiDevice::writeDue);
    return true;
}

void RawMidiDevice::close()
{
    if (fd_ < 0)
        return;
    readNotifier_.reset();
    writeNotifier_.reset();
    writeTimer_.stop();
    deliverTimer_.stop();
    arrivals_.clear();
    // What the unit has said still goes out (an acknowledgement before the exit), for a
    // bounded time.
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (!outQueue_.isEmpty() && Clock::now() < deadline) {
        qsizetype due = outQueue_.size();
        if (dinSpeed_) {
            std::this_thread::sleep_until(std::min(deadline, outFree_ + DinByteTime));
            due = std::min<qsizetype>(due, std::max<qsizetype>(0, (Clock::now() - outFree_) / DinByteTime));
            if (due == 0)
                continue;
        }
        pollfd writable{fd_, POLLOUT, 0};
        (void)::poll(&writable, 1, 100);
        const ssize_t written = ::write(fd_, outQueue_.constData(), size_t(due));
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (written > 0) {
            outQueue_.remove(0, written);
            outFree_ += DinByteTime * written;
        }
    }
    outQueue_.clear();
    ::close(fd_);
    fd_ = -1;
}

bool RawMidiDevice::sendLongMessage(const QByteArray &message)
{
    if (fd_ < 0 || message.isEmpty())
        return false;
    if (outQueue_.isEmpty())
        outFree_ = std::max(outFree_, Clock::now());   // the cable was idle until now
    outQueue_ += message;
    if (!writeTimer_.isActive() && !writeNotifier_->isEnabled())
        writeDue();
    return true;
}

void RawMidiDevice::writeDue()
{
    if (fd_ < 0)
        return;
    writeNotifier_->setEnabled(false);
    qsizetype due = outQueue_.size();
    if (dinSpeed_) {
        // A byte is written once it has crossed the cable: the far end sees it no earlier.
        const auto now = Clock::now();
        due = now < outFree_ ? 0 : std::min<qsizetype>(due, (now - outFree_) / DinByteTime);
    }
    ssize_t written = 0;
    if (due > 0) {
        written = ::write(fd_, outQueue_.constData(), size_t(due));
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return fail(QStringLiteral("cannot write to the raw MIDI device %1: %2").arg(path_, systemError(errno)));
        written = std::max<ssize_t>(written, 0);
        outQueue_.remove(0, written);
        if (dinSpeed_)
            outFree_ += DinByteTime * written;
    }
    if (outQueue_.isEmpty())
        return;
    if (written < due)
        writeNotifier_->setEnabled(true);   // the device's buffer is full
    else
        writeTimer_.start(millisecondsUntil(outFree_ + DinByteTime));
}

void RawMidiDevice::readAvailable()
{
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd_, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            break;
        if (count <= 0)
            return fail(count == 0 ? QStringLiteral("the raw MIDI device %1 was closed at its other end").arg(path_)
                                   : QStringLiteral("cannot read from the raw MIDI device %1: %2")
                                         .arg(path_, systemError(errno)));
        const auto now = Clock::now();
        for (ssize_t i = 0; i < count; ++i) {
            if (dinSpeed_)
                inFree_ = std::max(inFree_, now) + DinByteTime;
            if (std::optional<QByteArray> message = reader_.push(buffer[i]))
                arrivals_.push_back({dinSpeed_ ? inFree_ : now, std::move(*message)});
        }
    }
    deliverDue();
}

void RawMidiDevice::deliverDue()
{
    const auto now = Clock::now();
    while (!arrivals_.empty() && arrivals_.front().at <= now) {
        if (receiver_)
            QCoreApplication::postEvent(receiver_, new MidiEvent(std::move(arrivals_.front().message)));
        arrivals_.pop_front();
    }
    if (!arrivals_.empty())
        deliverTimer_.start(millisecondsUntil(arrivals_.front().at));
}

void RawMidiDevice::fail(const QString &reason)
{
    readNotifier_.reset();
    writeNotifier_.reset();
    writeTimer_.stop();
    deliverTimer_.stop();
    arrivals_.clear();
    outQueue_.clear();
    ::close(fd_);
    fd_ = -1;
    emit failed(reason);
}

} // namespace Tarsyn

#include "FlashSession.h"

namespace Tarsyn {

FlashSession::FlashSession(QObject *parent) : QObject(parent)
{
    session_.setRealLink(true);
    connect(&session_, &UnitSession::identified, this, &FlashSession::identified);
    connect(&session_, &UnitSession::progressed, this,
            [this](int, int count, int maximum) { emit progress(count, maximum); });
    connect(&session_, &UnitSession::finished, this, &FlashSession::ended);
}

FlashSession::~FlashSession() = default;

void FlashSession::setSilenceSpan(int milliseconds)
{
    silenceMs_ = qMax(1, milliseconds);
    session_.setSilenceSpan(silenceMs_);
}

int FlashSession::identifyPatience() const
{
    return qMax(qMin(silenceMs_, IdentifySilenceMs), unitWaitMs_);
}

bool FlashSession::openPorts(int inputIndex, int outputIndex)
{
    if (session_.open(inputIndex, outputIndex) != UnitSession::OpenResult::Opened)
        return false;
    // Watching starts once the pair is open (with a look of its own, so that no port can
    // go unnoticed).
    pair_.watchPorts();
    return true;
}

QString FlashSession::blockFormText() const
{
    return session_.multiPart() ? QStringLiteral("multi-part") : QStringLiteral("single message");
}

void FlashSession::stop(Status status)
{
    stopStatus_ = status;
    session_.stop();
}

void FlashSession::ended(const UnitSession::Outcome &outcome)
{
    if (outcome.job == UnitSession::Job::None)
        return;   // news of the ports with no job running: the command has told its result
    outcome_ = outcome;
    switch (outcome.end) {
    case UnitSession::End::Success:
        emit finished(Success);
        break;
    case UnitSession::End::NoUnit:
        emit finished(NoUnit);
        break;
    case UnitSession::End::Stopped:
        emit finished(stopStatus_);
        break;
    default:
        emit finished(Failed);
        break;
    }
}

} // namespace Tarsyn

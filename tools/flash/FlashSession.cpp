#include "FlashSession.h"

#include "FirmwareFile.h"
#include "MidiEvent.h"

#include <cstring>

namespace Tarsyn {

FlashSession::FlashSession(QObject *parent)
    : QObject(parent), link_(&sink_), transfer_(link_), exchange_(link_)
{
    sink_.next = &port_;
    port_.setReceiver(this);
    identifyTimer_.setSingleShot(true);
    connect(&identifyTimer_, &QTimer::timeout, this, &FlashSession::identifyTimerExpired);
    connect(&transfer_, &FirmwareTransfer::unitSilent, this, [this] {
        if (job_ == Job::Update && identifiedOnce_) {
            unitSilent_ = true;
            finish(Failed);
        }
    });
    connect(&exchange_, &PresetExchange::unitSilent, this, [this] {
        if ((job_ == Job::Backup || job_ == Job::Restore) && identifiedOnce_) {
            unitSilent_ = true;
            finish(Failed);
        }
    });
    connect(&port_, &MidiPort::openPortGone, this, &FlashSession::portGone);
}

FlashSession::~FlashSession()
{
    // No callback may post to this object once it is being destroyed.
    port_.close();
}

void FlashSession::setTimeout(int milliseconds)
{
    timeoutMs_ = qMax(1, milliseconds);
}

void FlashSession::setRetries(int repeats)
{
    retries_ = qMax(0, repeats);
}

bool FlashSession::openPorts(int inputIndex, int outputIndex)
{
    // The indices are those of the lists just taken. Watching starts once the pair is open
    // (with a look of its own, so that no port can go unnoticed).
    if (port_.open(inputIndex, outputIndex)) {
        port_.watchPorts();
        return true;
    }
    port_.close();
    return false;
}

bool FlashSession::loadFirmware(const QString &path)
{
    return loadFirmwareImage(path, link_.imageBuffer());
}

QString FlashSession::versionText() const
{
    const std::uint32_t word = link_.firmwareVersion;
    return QString::asprintf("%ld.%02ld", long(word & 0xFF), long((word >> 8) & 0xFF));
}

QString FlashSession::blockFormText() const
{
    return link_.multiPart ? QStringLiteral("multi-part") : QStringLiteral("single message");
}

void FlashSession::identify() { startJob(Job::Identify); }
void FlashSession::update() { startJob(Job::Update); }

void FlashSession::backup(PresetSet *presets)
{
    backupTarget_ = presets;
    startJob(Job::Backup);
}

void FlashSession::restore(const PresetSet &presets)
{
    // The store holds the unpacked presets; the exchange writes back whatever differs.
    std::uint8_t data[PresetSize];
    for (int bank = 0; bank < PresetBanks; ++bank) {
        for (int slot = 0; slot < PresetSlots; ++slot) {
            const QByteArray &packed = presets.at(bank, slot);
            std::memset(data, 0, sizeof data);
            unpackSevenBit(int(packed.size()), reinterpret_cast<const std::uint8_t *>(packed.constData()), data);
            exchange_.storePreset(bank, slot, data);
        }
    }
    exchange_.storeFilled = true;
    startJob(Job::Restore);
}

void FlashSession::stop(Status status)
{
    finish(status);
}

void FlashSession::startJob(Job job)
{
    job_ = job;
    identifiedOnce_ = false;
    identifyRequests_ = 1;
    unitSilent_ = false;
    gonePort_.clear();
    failedBank_ = failedSlot_ = -1;
    link_.sendIdentifyRequest();
    // One more request half-way through the wait, in case the first one was lost.
    identifyTimer_.start(qMax(1, timeoutMs_ / 2));
}

void FlashSession::identifyTimerExpired()
{
    if (job_ == Job::None || identifiedOnce_)
        return;
    if (identifyRequests_ < 2) {
        ++identifyRequests_;
        link_.sendIdentifyRequest();
        identifyTimer_.start(qMax(1, timeoutMs_ - timeoutMs_ / 2));
        return;
    }
    finish(NoUnit);
}

void FlashSession::unitIdentified()
{
    identifyTimer_.stop();
    identifiedOnce_ = true;
    emit identified();
    if (job_ == Job::None)
        return;   // the receiver of identified() ended the job

    switch (job_) {
    case Job::Identify:
        finish(Success);
        break;
    case Job::Update:
        transfer_.guard().setTimeout(timeoutMs_);
        transfer_.guard().setMaxRepeats(retries_);
        transfer_.guard().setEchoFilter(true);
        reportProgress(0, FirmwareTransfer::EndCount);
        transfer_.start();
        break;
    case Job::Backup:
    case Job::Restore:
        exchange_.guard().setTimeout(timeoutMs_);
        exchange_.guard().setMaxRepeats(retries_);
        exchange_.guard().setEchoFilter(true);
        reportProgress(0, PresetCount);
        if (job_ == Job::Backup)
            exchange_.startReceive();
        else
            exchange_.startCompare();
        break;
    case Job::None:
        break;
    }
}

bool FlashSession::event(QEvent *event)
{
    if (event->type() != MidiEvent::EventType)
        return QObject::event(event);
    if (job_ == Job::None)
        return true;   // a late reply after the job ended
    const QByteArray &message = static_cast<MidiEvent *>(event)->message();
    handleReply(link_.decodeReply(message), message);
    return true;
}

void FlashSession::handleReply(ReplyCode code, const QByteArray &message)
{
    if (!identifiedOnce_) {
        if (code == ReplyIdentity)
            unitIdentified();
        return;
    }

    if (job_ == Job::Update) {
        switch (code) {
        case ReplyBlockOk24:
        case ReplyBlockOk25:
        case ReplyResendLarge:
        case ReplyResendSmall: {
            // Mid-block, a resend request sends the next part and may complete the block.
            const bool ack = code == ReplyBlockOk24 || code == ReplyBlockOk25;
            const FirmwareTransfer::Step step = ack ? transfer_.blockAcknowledged() : transfer_.resendRequested(code);
            if (step.counted)
                reportProgress(transfer_.progressCount(), FirmwareTransfer::EndCount);
            if (step.finished)
                finish(Success);
            break;
        }
        default:
            break;
        }
        return;
    }

    if (job_ != Job::Backup && job_ != Job::Restore)
        return;
    if (code == ReplyPresetWritten) {
        handlePresetOutcome(exchange_.presetWritten());
    } else if (code == ReplyPresetData) {
        // The reply names no preset: it is the one the pass asked for. Keep its packed bytes
        // exactly as received when the pass takes it (it moves on from this preset).
        const int bank = exchange_.presetBank;
        const int slot = exchange_.presetSlot;
        const bool complete = link_.presetLength == PresetSize && exchange_.passRunning();
        const PresetExchange::Outcome outcome = exchange_.presetDataReceived();
        const bool moved = exchange_.presetBank != bank || exchange_.presetSlot != slot || outcome.passComplete;
        if (job_ == Job::Backup && backupTarget_ && complete && moved && bank < PresetBanks)
            backupTarget_->at(bank, slot) = message.mid(HeaderLength, PackedPresetSize);
        handlePresetOutcome(outcome);
    }
}

void FlashSession::handlePresetOutcome(const PresetExchange::Outcome &outcome)
{
    if (outcome.barValue >= 0)
        reportProgress(outcome.barValue, PresetCount);
    if (outcome.failed) {
        failedBank_ = outcome.failedBank;
        failedSlot_ = outcome.failedSlot;
        finish(Failed);
    } else if (outcome.passComplete) {
        finish(job_ == Job::Backup && backupTarget_ && !backupTarget_->complete() ? Failed : Success);
    }
}

void FlashSession::reportProgress(int value, int maximum)
{
    progressValue_ = value;
    progressMaximum_ = maximum;
    emit progress(value, maximum);
}

void FlashSession::finish(Status status)
{
    if (job_ == Job::None)
        return;
    const Job job = job_;
    job_ = Job::None;
    identifyTimer_.stop();
    if (job == Job::Update) {
        resendRequests_ = transfer_.resendRequests();
        repeats_ = transfer_.repeats();
        if (transfer_.running())
            transfer_.abandon();
        transfer_.guard().stop();
    } else if (job == Job::Backup || job == Job::Restore) {
        resendRequests_ = 0;
        repeats_ = exchange_.guard().repeats();
        if (exchange_.passRunning() || exchange_.presetBank != 0 || exchange_.presetSlot != 0)
            exchange_.endPass();
        exchange_.guard().stop();
    }
    port_.close();
    emit finished(status);
}

void FlashSession::portGone(const QString &name)
{
    if (job_ == Job::None)
        return;
    gonePort_ = name;
    finish(Failed);
}

} // namespace Tarsyn

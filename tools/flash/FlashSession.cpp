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
    connect(&identifyGuard_, &StallGuard::unitSilent, this, [this] {
        if (job_ != Job::None && !identifiedOnce_)
            finish(NoUnit);
    });
    connect(&transfer_, &FirmwareTransfer::progressed, this, [this](int, int count) {
        if (job_ == Job::Update)
            reportProgress(count, FirmwareTransfer::EndCount);
    });
    connect(&transfer_, &FirmwareTransfer::finished, this, [this] {
        if (job_ == Job::Update)
            finish(Success);
    });
    connect(&transfer_, &FirmwareTransfer::unitKeepsAsking, this, [this] {
        if (job_ == Job::Update) {
            keptAsking_ = true;
            finish(Failed);
        }
    });
    connect(&transfer_, &FirmwareTransfer::unitSilent, this, [this] {
        if (job_ == Job::Update && identifiedOnce_) {
            unitSilent_ = true;
            finish(Failed);
        }
    });
    connect(&exchange_, &PresetExchange::outcome, this, &FlashSession::handlePresetOutcome);
    connect(&exchange_, &PresetExchange::presetStored, this, [this](int bank, int slot) {
        // The reply names no preset: the exchange stored it as the answer to (bank, slot).
        // Keep its packed bytes exactly as received.
        if (job_ == Job::Backup && backupTarget_ && currentMessage_)
            backupTarget_->at(bank, slot) = currentMessage_->mid(HeaderLength, PackedPresetSize);
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

void FlashSession::setSilenceSpan(int milliseconds)
{
    silenceMs_ = qMax(1, milliseconds);
}

void FlashSession::configure(StallGuard &guard) const
{
    guard.setTimeout(timeoutMs_);
    guard.setMaxRepeats(retries_);
    guard.setSilenceSpan(silenceMs_);
    guard.setEchoFilter(true);
}

bool FlashSession::openPorts(int inputIndex, int outputIndex)
{
    // One host per unit: a port that another program here holds is not opened. Without a
    // usable lock folder the ports are opened unguarded, as before the lock existed.
    busyPort_.clear();
    if (portLock_.acquire(port_.inputDeviceName(unsigned(inputIndex)), port_.outputDeviceName(unsigned(outputIndex)))
        == PortLock::Result::Busy) {
        busyPort_ = portLock_.busyPort();
        return false;
    }
    // The indices are those of the lists just taken. Watching starts once the pair is open
    // (with a look of its own, so that no port can go unnoticed).
    if (port_.open(inputIndex, outputIndex)) {
        port_.watchPorts();
        return true;
    }
    port_.close();
    portLock_.release();
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
    unitSilent_ = false;
    keptAsking_ = false;
    gonePort_.clear();
    failedBank_ = failedSlot_ = -1;
    configure(identifyGuard_);
    identifyGuard_.setSilenceSpan(qMin(silenceMs_, IdentifySilenceMs));
    identifyGuard_.resetCount();
    link_.sendIdentifyRequest();
    identifyGuard_.watch();   // repeated on the reply timeout, in case it was lost
}

void FlashSession::unitIdentified()
{
    identifyGuard_.stop();
    identifiedOnce_ = true;
    link_.acceptIdentity();
    emit identified();
    if (job_ == Job::None)
        return;   // the receiver of identified() ended the job

    switch (job_) {
    case Job::Identify:
        finish(Success);
        break;
    case Job::Update:
        configure(transfer_.guard());
        reportProgress(0, FirmwareTransfer::EndCount);
        transfer_.start();
        break;
    case Job::Backup:
    case Job::Restore:
        configure(exchange_.guard());
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
        // Any identity reply will do: a repeated request may be answered twice.
        if (code == ReplyIdentity)
            unitIdentified();
        return;
    }
    // Identity replies during a job come from another program asking the unit who it is:
    // they change nothing.
    if (job_ == Job::Update) {
        transfer_.replyReceived(code);
        return;
    }
    if (job_ != Job::Backup && job_ != Job::Restore)
        return;
    currentMessage_ = &message;
    if (code == ReplyPresetWritten)
        exchange_.presetWritten();
    else if (code == ReplyPresetData)
        exchange_.presetDataReceived();
    currentMessage_ = nullptr;
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
    identifyGuard_.stop();
    if (job == Job::Update) {
        resendRequests_ = transfer_.resendRequests();
        repeats_ = transfer_.repeats();
        if (transfer_.running())
            transfer_.abandon();
    } else if (job == Job::Backup || job == Job::Restore) {
        resendRequests_ = 0;
        repeats_ = exchange_.guard().repeats();
        if (exchange_.passRunning() || exchange_.presetBank != 0 || exchange_.presetSlot != 0)
            exchange_.endPass();
        exchange_.guard().stop();
    }
    // The ports stay open until the owner has told the result: closing can block inside a
    // MIDI system that no longer answers (the owner then bounds the wait).
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

#include "UnitSession.h"

#include "FirmwareFile.h"
#include "MidiEvent.h"

#include <cstring>

namespace Tarsyn {

bool UnitSession::CheckedSink::sendLongMessage(const QByteArray &message)
{
    UnitSession &s = session_;
    // After a refusal nothing more goes out: the job ends as soon as its handler returns.
    if (!s.open_ || s.sendFailed_ || !s.counter_.sendLongMessage(message)) {
        s.sendRefused();
        return false;
    }
    return true;
}

UnitSession::UnitSession(PortPair &pair, QObject *parent)
    : QObject(parent), pair_(pair)
{
    counter_.next = &pair_;
    pair_.setReceiver(this);
    connect(&identifyGuard_, &StallGuard::unitSilent, this, [this] {
        if (job_ == Job::Identify)
            finish(End::NoUnit);
    });
    connect(&transfer_, &FirmwareTransfer::progressed, this, [this](int value, int count) {
        if (job_ != Job::Update)
            return;
        progress_ = count;
        emit progressed(value, count, FirmwareTransfer::EndCount);
    });
    connect(&transfer_, &FirmwareTransfer::finished, this, [this] {
        if (job_ == Job::Update)
            finish(End::Success);
    });
    connect(&transfer_, &FirmwareTransfer::unitKeepsAsking, this, [this](std::uint32_t offset) {
        failedBlock_ = offset;
        if (job_ == Job::Update)
            finish(End::KeepsAsking);
    });
    connect(&transfer_, &FirmwareTransfer::unitSilent, this, [this] {
        if (job_ == Job::Update)
            finish(End::Silent);
    });
    connect(&exchange_, &PresetExchange::outcome, this, &UnitSession::presetOutcome);
    connect(&exchange_, &PresetExchange::presetStored, this, [this](int bank, int slot) {
        // The reply names no preset: the exchange stored it as the answer to (bank, slot).
        // A backup keeps its packed bytes exactly as received.
        if (job_ == Job::Backup && backupTarget_ && currentMessage_)
            backupTarget_->at(bank, slot) = currentMessage_->mid(HeaderLength, PackedPresetSize);
    });
    connect(&exchange_, &PresetExchange::unitSilent, this, [this] {
        if (job_ == Job::Backup || job_ == Job::Restore || job_ == Job::PresetPass)
            finish(End::Silent);
    });
    connect(&pair_, &PortPair::openPortGone, this, [this](const QString &name) {
        if (!open_)
            return;
        gonePort_ = name;
        finish(End::PortGone);
    });
}

UnitSession::~UnitSession()
{
    // No input callback may post to this object once it is being destroyed.
    if (open_)
        pair_.close();
}

UnitSession::OpenResult UnitSession::open(int inputIndex, int outputIndex)
{
    close();
    busyPort_.clear();
    const QString inName = pair_.listedInputs().value(inputIndex);
    const QString outName = pair_.listedOutputs().value(outputIndex);
    if (!inName.isNull() && !outName.isNull()
        && portLock_.acquire(inName, outName) == PortLock::Result::Busy) {
        busyPort_ = portLock_.busyPort();
        return OpenResult::Busy;
    }
    if (!pair_.open(inputIndex, outputIndex)) {
        pair_.close();   // a half that opened
        portLock_.release();
        return OpenResult::Failed;
    }
    open_ = true;
    outputName_ = pair_.openOutputName();
    sendFailed_ = false;
    passEnded_ = false;
    return OpenResult::Opened;
}

void UnitSession::close()
{
    stop();
    // Nothing will answer any more: no guard waits on, no pass goes on.
    identifyGuard_.stop();
    transfer_.abandon();
    if (exchange_.passRunning())
        exchange_.endPass();
    if (open_)
        pair_.close();
    open_ = false;
    portLock_.release();
}

bool UnitSession::loadFirmware(const QString &path)
{
    return loadFirmwareImage(path, link_.imageBuffer());
}

QString UnitSession::versionText(std::uint32_t versionWord)
{
    return QString::asprintf("%ld.%02ld", long(versionWord & 0xFF), long((versionWord >> 8) & 0xFF));
}

void UnitSession::configure(StallGuard &guard) const
{
    guard.setTimeout(timeoutMs_);
    guard.setMaxRepeats(maxRepeats_);
    guard.setSilenceSpan(silenceMs_);
    guard.setEchoFilter(realLink_);
}

void UnitSession::begin(Job job)
{
    // One job at a time: a new one ends whatever runs (a pass the unit drove, say).
    if (job_ != Job::None)
        finish(End::Stopped);
    job_ = job;
    sendFailed_ = false;
    progress_ = maximum_ = 0;
    failedBlock_ = 0;
    failedBank_ = failedSlot_ = -1;
    gonePort_.clear();
}

void UnitSession::identify(int patienceMs)
{
    identifyThen(patienceMs, Job::None);
}

void UnitSession::identifyThen(int patienceMs, Job then)
{
    begin(Job::Identify);
    then_ = then;
    configure(identifyGuard_);
    identifyGuard_.setSilenceSpan(patienceMs);
    identifyGuard_.resetCount();
    link_.sendIdentifyRequest();
    identifyGuard_.watch();   // repeated on the reply timeout, in case it was lost
}

void UnitSession::unitIdentified()
{
    identifyGuard_.stop();
    link_.acceptIdentity();
    const Job then = then_;
    then_ = Job::None;
    emit identified();
    if (job_ != Job::Identify)
        return;   // the receiver of identified() ended the job
    if (then == Job::None)
        finish(End::Success);
    else
        startJob(then);
}

void UnitSession::run(Job job, int identifyFirst)
{
    if (identifyFirst >= 0) {
        identifyThen(identifyFirst, job);
    } else {
        begin(job);
        startJob(job);
    }
}

void UnitSession::update(int identifyFirst)
{
    run(Job::Update, identifyFirst);
}

void UnitSession::backup(PresetSet *target, int identifyFirst)
{
    backupTarget_ = target;
    run(Job::Backup, identifyFirst);
}

void UnitSession::restore(const PresetSet &presets, int identifyFirst)
{
    // The store holds the unpacked presets; the pass writes back whatever differs.
    std::uint8_t data[PresetSize];
    for (int bank = 0; bank < PresetBanks; ++bank) {
        for (int slot = 0; slot < PresetSlots; ++slot) {
            const QByteArray &packed = presets.at(bank, slot);
            std::memset(data, 0, sizeof data);
            unpackSevenBit(int(packed.size()), reinterpret_cast<const std::uint8_t *>(packed.constData()), data);
            exchange_.storePreset(bank, slot, data);
        }
    }
    exchange_.markStoreFilled();
    run(Job::Restore, identifyFirst);
}

void UnitSession::startPresetPass(bool receive)
{
    begin(Job::PresetPass);
    startPass(Job::PresetPass, receive);
}

void UnitSession::startJob(Job job)
{
    switch (job) {
    case Job::Update:
        job_ = Job::Update;
        // The window's preset retries count from the last update on.
        exchange_.resetPresetRetries();
        configure(transfer_.guard());
        maximum_ = FirmwareTransfer::EndCount;
        emit progressed(0, 0, maximum_);
        transfer_.start();
        break;
    case Job::Backup:
        startPass(job, true);
        break;
    case Job::Restore:
        startPass(job, false);
        break;
    case Job::PresetPass:
    case Job::Identify:
    case Job::None:
        break;
    }
}

void UnitSession::startPass(Job job, bool receive)
{
    job_ = job;
    configure(exchange_.guard());
    maximum_ = PresetCount;
    emit progressed(0, 0, maximum_);
    if (receive)
        exchange_.startReceive();
    else
        exchange_.startCompare();
}

void UnitSession::stop()
{
    finish(End::Stopped);
}

bool UnitSession::event(QEvent *event)
{
    if (event->type() != MidiEvent::EventType)
        return QObject::event(event);
    const auto *midi = static_cast<MidiEvent *>(event);
    messageReceived(midi->message(), midi->arrivedNs());
    return true;
}

void UnitSession::messageReceived(const QByteArray &message, qint64 arrivedNs)
{
    const ReplyCode code = link_.decodeReply(message);
    // Status 0 only gives a front end its controls back. Anything else posted before the
    // pair closed has nothing listening for it any more.
    if (code == ReplyStatusZero) {
        emit statusZero();
        return;
    }
    if (!open_)
        return;
    switch (code) {
    case ReplyIdentity:
        // Only the answer to our own request: another program on the same port may ask
        // the unit who it is at any time, also in the middle of a job.
        if (job_ == Job::Identify)
            unitIdentified();
        break;
    case ReplyBlockOk24:
    case ReplyBlockOk25:
    case ReplyResendLarge:
    case ReplyResendSmall:
        if (job_ == Job::Update)
            transfer_.replyReceived(code, arrivedNs);
        break;
    case ReplyPresetData:
    case ReplyPresetWritten:
        presetReply(code, message);
        break;
    default:
        break;
    }
}

void UnitSession::presetReply(ReplyCode code, const QByteArray &message)
{
    const bool pass = job_ == Job::Backup || job_ == Job::Restore || job_ == Job::PresetPass;
    // With no job running, the unit itself may drive a pass (the window's).
    const bool unitDriven = job_ == Job::None && unitDriven_ && !passEnded_;
    if (!pass && !unitDriven)
        return;
    if (unitDriven) {
        begin(Job::PresetPass);
        maximum_ = PresetCount;
    }
    currentMessage_ = &message;
    if (code == ReplyPresetData)
        exchange_.presetDataReceived();
    else
        exchange_.presetWritten();
    currentMessage_ = nullptr;
    // A reply that started nothing leaves no job behind.
    if (unitDriven && job_ == Job::PresetPass && !exchange_.passRunning())
        job_ = Job::None;
}

void UnitSession::presetOutcome(const PresetExchange::Outcome &outcome)
{
    if (job_ != Job::Backup && job_ != Job::Restore && job_ != Job::PresetPass)
        return;
    if (outcome.barValue >= 0) {
        progress_ = outcome.barValue;
        emit progressed(outcome.barValue, outcome.barValue, PresetCount);
    }
    if (outcome.failed) {
        failedBank_ = outcome.failedBank;
        failedSlot_ = outcome.failedSlot;
        finish(End::PresetFailed);
    } else if (outcome.passComplete) {
        finish(job_ == Job::Backup && backupTarget_ && !backupTarget_->complete() ? End::Incomplete : End::Success);
    }
}

void UnitSession::sendRefused()
{
    if (sendFailed_)
        return;
    sendFailed_ = true;
    // The protocol classes go on from the send that failed (a log entry, a guard armed):
    // the job ends once they have, before the next event.
    QMetaObject::invokeMethod(this, [this] {
        if (sendFailed_)
            finish(End::SendFailed);
    }, Qt::QueuedConnection);
}

UnitSession::Outcome UnitSession::outcomeFor(End end)
{
    Outcome o;
    o.job = job_;
    o.end = end;
    o.block = failedBlock_;
    o.bank = failedBank_;
    o.slot = failedSlot_;
    o.port = end == End::PortGone ? gonePort_ : end == End::SendFailed ? outputName_ : QString();
    o.progress = progress_;
    o.maximum = maximum_;
    o.receive = exchange_.presetReceive();
    if (job_ == Job::Update) {
        o.resendRequests = transfer_.resendRequests();
        o.repeats = transfer_.repeats();
        o.heldReplies = transfer_.guard().heldReplies();
    } else if (job_ != Job::Identify && job_ != Job::None) {
        o.repeats = exchange_.guard().repeats();
    }
    o.presetRetries = exchange_.presetRetries();
    o.presetsWritten = exchange_.presetsWritten();
    return o;
}

void UnitSession::finish(End end)
{
    // A port gone or a refused send end the connection's use even with no job running.
    if (job_ == Job::None && end != End::PortGone && end != End::SendFailed)
        return;
    const Outcome outcome = outcomeFor(end);
    const Job job = job_;
    job_ = Job::None;
    then_ = Job::None;
    sendFailed_ = false;
    identifyGuard_.stop();
    if (transfer_.running())
        transfer_.abandon();
    if (job == Job::Backup || job == Job::Restore || job == Job::PresetPass) {
        exchange_.endPass();
        if (job == Job::PresetPass)
            passEnded_ = true;
    }
    backupTarget_ = nullptr;
    emit finished(outcome);
}

} // namespace Tarsyn

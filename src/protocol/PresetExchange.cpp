#include "PresetExchange.h"

#include "DeviceLink.h"

#include <cstring>

namespace Tarsyn {

namespace {
std::size_t entryOffset(int bank, int slot)
{
    return std::size_t(bank) * PresetSlots * PresetSize + std::size_t(slot) * PresetSize;
}
} // namespace

PresetExchange::PresetExchange(DeviceLink &link, QObject *parent)
    : QObject(parent)
    , link_(link)
    , guard_(link, this)
    , PresetImage(std::make_unique<std::uint8_t[]>(std::size_t(PresetCount) * PresetSize)) // zero-filled
    , written_(PresetCount)   // a pass the unit starts begins without begin()
{
    connect(&guard_, &StallGuard::drained, this, &PresetExchange::drained);
    connect(&guard_, &StallGuard::unitSilent, this, [this] {
        endPass();
        emit unitSilent();
    });
}

PresetExchange::~PresetExchange() = default;

bool PresetExchange::validIndex(int bank, int slot)
{
    return bank >= 0 && bank < PresetBanks && slot >= 0 && slot < PresetSlots;
}

void PresetExchange::storePreset(int bank, int slot, const std::uint8_t *data)
{
    if (!validIndex(bank, slot))
        return;
    std::uint8_t *entry = PresetImage.get() + entryOffset(bank, slot);
    std::memcpy(entry, data, PresetSize);
    // The unit reports bank 0's byte 128 two below the value the store keeps.
    if (bank == 0)
        entry[Bank0AdjustedByte] = std::uint8_t(data[Bank0AdjustedByte] + 2);
}

bool PresetExchange::presetEquals(int bank, int slot, const std::uint8_t *data) const
{
    return validIndex(bank, slot)
        && std::memcmp(PresetImage.get() + entryOffset(bank, slot), data, PresetSize) == 0;
}

void PresetExchange::loadPreset(int bank, int slot, std::uint8_t *out) const
{
    if (!validIndex(bank, slot))
        return;
    std::memcpy(out, PresetImage.get() + entryOffset(bank, slot), PresetSize);
    if (bank == 0)
        out[Bank0AdjustedByte] = std::uint8_t(out[Bank0AdjustedByte] - 2);
}

bool PresetExchange::unitCopyMatches(int bank, int slot, const std::uint8_t *data) const
{
    if (!validIndex(bank, slot))
        return false;
    std::uint8_t expected[PresetSize];
    loadPreset(bank, slot, expected);
    return std::memcmp(expected, data, PresetSize) == 0;
}

void PresetExchange::send(bool write)
{
    if (write)
        link_.sendPreset(presetSlot_, presetBank_);
    else
        link_.requestPreset(presetSlot_, presetBank_);
    awaitingWrite_ = write;
    running_ = true;
    guard_.watch();
}

void PresetExchange::startReceive()
{
    presetReceive_ = true;
    begin();
}

void PresetExchange::startCompare()
{
    presetReceive_ = false;
    presetFirstRead_ = true;
    begin();
}

void PresetExchange::begin()
{
    presetBank_ = presetSlot_ = 0;
    presetsWritten_ = writesOfPreset_ = 0;
    written_.fill(false, PresetCount);
    checkpointBank_ = checkpointSlot_ = safeBank_ = safeSlot_ = 0;
    sinceCheckpoint_ = 0;
    window_ = CheckpointPresets;
    rollbacks_ = 0;
    doubt_ = Doubt::None;
    guard_.resetCount();
    send(false);
}

void PresetExchange::advance()
{
    if (++presetSlot_ == PresetSlots) {
        ++presetBank_;
        presetSlot_ = 0;
    }
    writesOfPreset_ = 0;
    Outcome outcome;
    outcome.barValue = presetBank_ * PresetSlots + presetSlot_;
    emit this->outcome(outcome);
}

void PresetExchange::presetDataReceived()
{
    // A reply without a complete preset is not an answer: the request stays outstanding
    // (and is repeated if no complete reply follows).
    if (link_.presetLength() != PresetSize)
        return;
    // Collected by a drain under way, the end's too: a reply then means the host ran ahead.
    if (running_ && guard_.draining()) {
        guard_.reply(ReplyPresetData);
        return;
    }
    // After the last preset (bank 16, result still on screen) there is no entry to use.
    if (!validIndex(presetBank_, presetSlot_))
        return;
    if (!running_) {
        take();   // sent by the unit on its own: it continues the pass where it stands
        return;
    }
    if (awaitingWrite_)
        return;   // a preset where a write's confirmation is awaited: an old copy
    if (guard_.reply(ReplyPresetData) == StallGuard::Take::Answer)
        take();
}

// presetData is the preset at (presetBank, presetSlot).
void PresetExchange::take()
{
    if (presetReceive_) {
        storePreset(presetBank_, presetSlot_, link_.presetData());
        emit presetStored(presetBank_, presetSlot_);
    } else if (!storeFilled_) {
        running_ = false;
        guard_.stop();
        return; // nothing to compare with: no write, no request
    } else if (!unitCopyMatches(presetBank_, presetSlot_, link_.presetData())) {
        // Only a difference seen in step counts (a retry, a write, a failure). Sent by the
        // unit on its own, a preset answers no request and is taken as it comes.
        if (running_)
            drainFor(Doubt::Differs);
        else
            differs();
        return;
    }
    advanceAndAsk();
}

void PresetExchange::differs()
{
    // A preset written before in this pass that still differs: a write did not stick. Counted
    // by preset rather than by read-back, so that going back to a checkpoint counts nothing twice.
    const int index = presetBank_ * PresetSlots + presetSlot_;
    if (written_.testBit(index))
        ++presetRetries_;
    if (writesOfPreset_ >= MaxWrites) {
        fail();
        return;
    }
    // The outgoing copy replaces the received one in presetData, which sendPreset sends.
    std::uint8_t outgoing[PresetSize];
    loadPreset(presetBank_, presetSlot_, outgoing);
    link_.setPresetData(outgoing);
    if (!written_.testBit(index)) {
        written_.setBit(index);
        ++presetsWritten_;
    }
    ++writesOfPreset_;
    send(true);
}

void PresetExchange::advanceAndAsk()
{
    advance();
    if (presetBank_ >= PresetBanks)
        drainFor(Doubt::End);
    else if (++sinceCheckpoint_ >= window_)
        drainFor(Doubt::Checkpoint);
    else
        send(false);
}

void PresetExchange::presetWritten()
{
    if (!running_)
        return;   // outside a pass there is nothing to continue
    if (guard_.draining()) {
        guard_.reply(ReplyPresetWritten);
        return;
    }
    if (!validIndex(presetBank_, presetSlot_))
        return;
    if (!awaitingWrite_)
        return;   // a confirmation where a preset is awaited: an old copy
    if (guard_.reply(ReplyPresetWritten) != StallGuard::Take::Answer)
        return;
    presetFirstRead_ = false;
    send(false); // read the same preset back
}

void PresetExchange::drainFor(Doubt doubt)
{
    doubt_ = doubt;
    // A reply later than a checkpoint's quick drain answers a request from before it: the
    // host has run ahead since a reply taken for the next one, possibly before the drain. The
    // next drain (or the timing check) finds the reply too many, and the pass goes back to the
    // checkpoint before that drain. The end must be certain: nothing may still be on its way.
    guard_.drain(doubt == Doubt::End);
}

void PresetExchange::drained()
{
    if (!running_)
        return;
    const Doubt doubt = doubt_;
    doubt_ = Doubt::None;
    // The guard drained by itself (a reply too soon, or after a repeat), or replies came
    // beyond the last request: the presets taken since the checkpoint may be shifted.
    if (doubt == Doubt::None || !guard_.collected().isEmpty()) {
        rollBack();
        return;
    }
    switch (doubt) {
    case Doubt::Checkpoint:
        window_ = qMin(window_ * 2, CheckpointPresets);
        safeBank_ = checkpointBank_;
        safeSlot_ = checkpointSlot_;
        checkpointBank_ = presetBank_;
        checkpointSlot_ = presetSlot_;
        sinceCheckpoint_ = 0;
        if (!presetReceive_)
            presetFirstRead_ = true;
        send(false);
        break;
    case Doubt::End: {
        running_ = false;
        guard_.stop();
        if (presetReceive_)
            storeFilled_ = true;
        Outcome outcome;
        outcome.passComplete = true;
        emit this->outcome(outcome);
        break;
    }
    case Doubt::Differs:
        differs();
        break;
    case Doubt::None:
        break;
    }
}

void PresetExchange::rollBack()
{
    ++rollbacks_;
    // A link that doubles replies often would bring the pass back again and again: shorter
    // stretches between checkpoints keep it moving (a clean one lets them grow again).
    window_ = qMax(1, window_ / 4);
    presetBank_ = checkpointBank_ = safeBank_;
    presetSlot_ = checkpointSlot_ = safeSlot_;
    sinceCheckpoint_ = 0;
    writesOfPreset_ = 0;
    presetFirstRead_ = true;
    Outcome outcome;
    outcome.barValue = presetBank_ * PresetSlots + presetSlot_;
    emit this->outcome(outcome);
    send(false);
}

void PresetExchange::fail()
{
    running_ = false;
    guard_.stop();
    Outcome outcome;
    outcome.failed = true;
    outcome.failedBank = presetBank_;
    outcome.failedSlot = presetSlot_;
    emit this->outcome(outcome);
}

void PresetExchange::endPass()
{
    presetBank_ = presetSlot_ = 0;
    writesOfPreset_ = 0;
    running_ = false;
    doubt_ = Doubt::None;
    guard_.stop();
}

} // namespace Tarsyn

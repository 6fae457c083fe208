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
{
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
        link_.sendPreset(presetSlot, presetBank);
    else
        link_.requestPreset(presetSlot, presetBank);
    running_ = true;
    guard_.watch();
}

void PresetExchange::startReceive()
{
    presetReceive = true;
    presetBank = presetSlot = 0;
    presetsWritten = writesOfPreset = 0;
    guard_.resetCount();
    send(false);
}

void PresetExchange::startCompare()
{
    presetReceive = false;
    presetFirstRead = true;
    presetBank = presetSlot = 0;
    presetsWritten = writesOfPreset = 0;
    guard_.resetCount();
    send(false);
}

void PresetExchange::advance(Outcome &outcome)
{
    if (++presetSlot == PresetSlots) {
        ++presetBank;
        presetSlot = 0;
    }
    writesOfPreset = 0;
    outcome.barValue = presetBank * PresetSlots + presetSlot;
}

PresetExchange::Outcome PresetExchange::presetDataReceived()
{
    Outcome outcome;
    // After the last preset (bank 16, result still on screen) there is no entry to use.
    if (!validIndex(presetBank, presetSlot))
        return outcome;
    // A reply without a complete preset is not an answer: the request stays outstanding
    // (and is repeated if no complete reply follows).
    if (link_.presetLength != PresetSize || guard_.tooSoon())
        return outcome;
    guard_.settle();

    if (presetReceive) {
        storePreset(presetBank, presetSlot, link_.presetData);
    } else if (!storeFilled) {
        running_ = false;
        return outcome; // nothing to compare with: no write, no request
    } else if (!unitCopyMatches(presetBank, presetSlot, link_.presetData)) {
        if (!presetFirstRead)
            ++presetRetries;
        if (writesOfPreset >= MaxWrites) {
            outcome.failed = true;
            outcome.failedBank = presetBank;
            outcome.failedSlot = presetSlot;
            running_ = false;
            return outcome;
        }
        loadPreset(presetBank, presetSlot, link_.presetData);
        if (writesOfPreset++ == 0)
            ++presetsWritten;
        send(true);
        return outcome;
    }

    advance(outcome);
    if (presetBank < PresetBanks) {
        if (!presetReceive)
            presetFirstRead = true;
        send(false);
    } else {
        outcome.passComplete = true;
        running_ = false;
        if (presetReceive)
            storeFilled = true;
    }
    return outcome;
}

PresetExchange::Outcome PresetExchange::presetWritten()
{
    if (!validIndex(presetBank, presetSlot) || guard_.tooSoon())
        return {};
    guard_.settle();
    presetFirstRead = false;
    send(false); // read the same preset back
    return {};
}

void PresetExchange::endPass()
{
    presetBank = presetSlot = 0;
    writesOfPreset = 0;
    running_ = false;
    guard_.stop();
}

} // namespace Tarsyn

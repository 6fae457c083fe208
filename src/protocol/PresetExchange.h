#pragma once
// PresetExchange: a pass over the unit's 2048 presets (16 banks of 128 slots), one preset
// at a time, driven by the unit's replies. Two directions:
//   receive (presetReceive true): each preset the unit sends is stored and the next requested;
//   compare and write (false): each preset the unit sends is compared with the stored copy;
//     where they differ the stored copy is written and read back until the unit's copy
//     matches (at most MaxWrites writes of one preset), then the next one is requested.
// UnitSession drives it for the window and tarsyn-flash; it holds the preset store (512 KiB).
//
// Staying in step (README's "Staying in step", docs/architecture.md): a preset reply is
// taken only when the StallGuard finds it in step; the checkpoint moves on only after a
// drain that found no reply beyond the last request; anything in doubt takes the pass back
// to the checkpoint before the last one. A preset is reported as not sticking only when
// that was seen in step.
//
// Results (progress, end of pass, a preset that does not stick) are emitted as outcome().
// Runs on the thread that owns it.

#include "StallGuard.h"
#include "SysEx.h"

#include <QBitArray>
#include <QObject>

#include <cstdint>
#include <memory>

namespace Tarsyn {

class DeviceLink;

class PresetExchange : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxWrites = 16;   // writes of one preset before the pass fails
    static constexpr int Bank0AdjustedByte = 128;
    static constexpr int CheckpointPresets = 32;   // at most, between two checkpoints

    explicit PresetExchange(DeviceLink &link, QObject *parent = nullptr);
    ~PresetExchange() override;

    // What a preset reply led to.
    struct Outcome {
        int barValue = -1;        // >= 0: the progress bar shows this value (1..2048)
        bool passComplete = false;// the last preset is done (presetBank is 16): the caller
                                  // shows retries if it wants to, then calls endPass()
        bool failed = false;      // a preset would not stick: failedBank / failedSlot
        int failedBank = -1;
        int failedSlot = -1;
    };

    // Starting a pass: indices to 0, the direction, and the request for preset (0, 0).
    void startReceive();
    void startCompare();   // presetFirstRead true; presetRetries counts on

    // Reactions to the two preset replies (after DeviceLink decoded them).
    void presetDataReceived();
    void presetWritten();
    // End of a pass: indices to 0, nothing more awaited. The window then hides its bar and
    // closes the ports; tarsyn-flash reports.
    void endPass();

    // The store. Entry (bank, slot) is 256 bytes at bank x 32768 + slot x 256. For bank 0,
    // the store keeps byte 128 two above the unit's value.
    void storePreset(int bank, int slot, const std::uint8_t *data);
    // Raw comparison with the entry, no adjustment in any bank.
    bool presetEquals(int bank, int slot, const std::uint8_t *data) const;
    void loadPreset(int bank, int slot, std::uint8_t *out) const;
    // True when `data`, as the unit holds a preset, equals what loadPreset would write there.
    bool unitCopyMatches(int bank, int slot, const std::uint8_t *data) const;
    // The whole store, read-only: entries change only through storePreset() and a pass.
    const std::uint8_t *presetImage() const { return PresetImage.get(); }

    // State of the pass.
    bool presetReceive() const { return presetReceive_; }    // the direction of the last pass
    // Presets written in this pass, each counted once, and written presets whose read-back
    // still differed. The retries count on from pass to pass until resetPresetRetries().
    int presetsWritten() const { return presetsWritten_; }
    int presetRetries() const { return presetRetries_; }
    void resetPresetRetries() { presetRetries_ = 0; }
    // True once the store holds a whole set of presets: a receive pass completed, or the
    // caller loaded one and said so with markStoreFilled(). Until then a compare pass writes
    // nothing: the zero-filled store must never overwrite the unit's presets, whatever
    // preset data the unit sends.
    bool storeFilled() const { return storeFilled_; }
    void markStoreFilled() { storeFilled_ = true; }
    bool passRunning() const { return running_; }
    int rollbacks() const { return rollbacks_; }   // times the pass went back to a checkpoint

    StallGuard &guard() { return guard_; }

signals:
    void outcome(const Tarsyn::PresetExchange::Outcome &outcome);
    // The receive direction stored the preset just decoded under (bank, slot). Emitted while
    // the reply is being handled, so that a caller can keep the message as received.
    void presetStored(int bank, int slot);
    void unitSilent();   // the unit did not answer within the silence span; pass abandoned

private:
    enum class Doubt { None, Checkpoint, End, Differs };

    void begin();
    void take();                 // presetData answers the read just sent, in step
    void advance();
    void advanceAndAsk();
    void differs();        // the unit's copy differs: write the stored one, or fail
    void send(bool write);
    void drainFor(Doubt doubt);
    void drained();
    void rollBack();
    void fail();
    static bool validIndex(int bank, int slot);

    DeviceLink &link_;
    StallGuard guard_;
    std::unique_ptr<std::uint8_t[]> PresetImage;   // 16 x 128 x 256, zero-filled
    int presetBank_ = 0;            // the preset the pass stands at
    int presetSlot_ = 0;
    bool presetReceive_ = false;
    int presetRetries_ = 0;
    bool presetFirstRead_ = true;   // no write of the current preset confirmed yet
    int presetsWritten_ = 0;
    bool storeFilled_ = false;
    int writesOfPreset_ = 0;        // writes of the current preset
    QBitArray written_;                            // presets written in this pass
    bool running_ = false;
    bool awaitingWrite_ = false;    // the last message was a write (else a read)
    Doubt doubt_ = Doubt::None;
    int checkpointBank_ = 0;
    int checkpointSlot_ = 0;
    int safeBank_ = 0;              // the checkpoint before, where a doubt goes back to
    int safeSlot_ = 0;
    int sinceCheckpoint_ = 0;
    int window_ = CheckpointPresets;   // presets between checkpoints, shorter after doubt
    int rollbacks_ = 0;
};

} // namespace Tarsyn

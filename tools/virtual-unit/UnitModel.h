#pragma once
// UnitModel: the Tarsyn+ unit's side of the SysEx protocol, without MIDI. It takes one
// received message at a time and returns the messages to send back, in order.
//
// It answers the identify request, serves preset reads and writes from its store of 2048
// presets, and receives firmware blocks in both forms (whole-block messages, or parts 1..L
// followed by part 0) into its own 1 MiB flash image. It is strict: a block is written only
// when its frame, command, length, part order, address and checksum are all right; any
// other block is asked for again (0x27 for 256-byte, 0x26 for 512-byte blocks).
//
// Faults can be injected (resend requests, dropped or duplicated replies, noise, status
// messages, stray identity replies, busy pauses, presets that do not stick, silence); every
// random choice comes from generators seeded by `UnitOptions::seed`, so a run is reproducible.
// The model only says when a duplicate or a pause is due; the program times them.
//
// Not thread-safe: one thread calls handleMessage() and reads the results.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <cstdint>
#include <random>

namespace Tarsyn {

struct UnitOptions {
    // Identity.
    int versionMajor = 2;           // 0..255
    int versionMinor = 10;          // 0..63
    std::uint32_t serial = 22037;   // 28 bits
    QByteArray name = "Tarsyn+";    // printable ASCII, at most 16 bytes

    std::uint32_t seed = 1;

    // Which good blocks are written. Any: each at the address it carries. Sequence: only the
    // block waited for (the one after the last written, from 0 up); the block written last,
    // sent again, is acknowledged and not written again. Strict: only the block waited for.
    // Every other address is a bad address, asked for again with the size of the block
    // waited for. The unit waits for block 0 again after an identify request and after the
    // payload's last block. In parts, this applies to the block's part 0. (The program's
    // default is Strict.)
    enum class AddressPolicy { Any, Sequence, Strict };
    AddressPolicy addressPolicy = AddressPolicy::Any;

    // Fault injection; 0 (or 0.0) turns a fault off.
    int resendEvery = 0;            // ask again for every Nth good block
    double resendProbability = 0;
    int resendMidBlockEvery = 0;    // answer every Nth non-final part with a resend request
    int dropEvery = 0;              // send no reply at all for every Nth reply
    double dropProbability = 0;
    int noiseEvery = 0;             // unrelated messages before every Nth reply sent
    int statusEvery = 0;            // a status message 0x43 before every Nth reply sent
    int silentAfter = -1;           // >= 0: answer nothing after this many received messages

    // Faults of the link and of a busy unit; the program applies the two delays.
    int duplicateEvery = 0;         // send every Nth reply sent a second time ...
    double duplicateDelayMs = 1.0;  // ... this long after the first
    int pauseEvery = 0;             // after every Nth block written, read nothing ...
    int pauseMs = 2500;             // ... for this long (what arrives meanwhile waits)
    int strayIdentityEvery = 0;     // an identity reply after every Nth block written ...
    int strayVersionMajor = -1;     // ... reporting this version; -1: the other block form
    int strayVersionMinor = -1;     //     (2.09 for a unit of 2.10 and later, else 2.10)
    bool resendAlways = false;      // ask again for every block, never write one
    bool strictForm = false;        // take blocks only in the form of the version: a unit of
                                    // 2.10 and later refuses whole blocks, an older one
                                    // ignores parts (it does not know their commands)

    struct PresetFault {
        int bank = 0;
        int slot = 0;
        int failures = 0;           // the first `failures` writes are acknowledged but lost
    };
    QList<PresetFault> presetFaults;
};

class UnitModel {
public:
    static constexpr int FlashSize = 0x100000;
    static constexpr int SummaryLength = 0xEE000;   // flash bytes covered by the summary hash

    explicit UnitModel(const UnitOptions &options = {});

    // Handles one complete received message and returns the messages to send, in order
    // (possibly none). Injected noise and status messages come before the reply.
    QList<QByteArray> handleMessage(const QByteArray &message);

    // True when the call to handleMessage() that just returned sent the acknowledgement of the
    // payload's last block (0xEDE00) for the first time in this update: the summary is due.
    bool updateCompleted() const { return updateCompleted_; }
    // "update received: blocks=... resends=... repeats=... dropped=... duplicated=...
    //  paused=... strays=... sha256=..."
    QString summaryLine() const;
    // After handleMessage(): the reply to send a second time, `duplicateDelayMs` after the
    // first (empty when none), and whether the unit now pauses for `pauseMs`.
    const QByteArray &duplicateDue() const { return duplicateDue_; }
    bool pauseDue() const { return pauseDue_; }
    // What the last handleMessage() did, in a few words (for --verbose).
    QString lastEvent() const { return lastEvent_; }

    // Counters of the current update (they restart when a new update begins with a block at
    // offset 0 after the summary was given).
    int blocksWritten() const { return blocksWritten_; }        // every write, repeats too
    int resendsAsked() const { return resendsAsked_; }          // 0x26 / 0x27 sent
    int repeatsReceived() const { return repeatsReceived_; }    // the host's repeats
    int repliesDropped() const { return repliesDropped_; }
    int repliesDuplicated() const { return repliesDuplicated_; }
    int pauses() const { return pauses_; }
    int strayIdentities() const { return strayIdentities_; }
    int messagesReceived() const { return messagesReceived_; }  // since construction

    const QByteArray &flash() const { return flash_; }
    QByteArray flashHash() const;   // SHA-256 of flash bytes 0 .. SummaryLength - 1

    // The preset store: 16 banks x 128 slots x 256 bytes, bank after bank.
    QByteArray preset(int bank, int slot) const;
    void setPreset(int bank, int slot, const QByteArray &data);

    // The .syx layout of the store: 2048 preset-write messages of 333 bytes, bank then slot.
    QByteArray presetFile() const;
    // Replaces the store with the content of such a file (messages in any order, each preset
    // exactly once). On a malformed file the store is unchanged and `error` says why.
    bool loadPresetFile(const QByteArray &file, QString *error);

    // True when the version selects blocks in parts (2.10 and later).
    bool multiPart() const { return multiPartVersion(options_.versionMajor, options_.versionMinor); }
    static bool multiPartVersion(int major, int minor) { return major * 100 + minor >= 210; }

    static QByteArray identityReply(const UnitOptions &options);
    // The identity reply of the stray fault: the version it names, the rest as `options`.
    static QByteArray strayIdentityReply(const UnitOptions &options);
    // DeviceLink's preset-write message for 256 bytes of preset data (slot before bank, as on
    // the wire).
    static QByteArray presetWriteMessage(int slot, int bank, const QByteArray &data);

private:
    // Reassembly of a block sent in parts (parts 1..L, then part 0).
    struct Assembly {
        int parts = 0;          // parts received since the block began (0: none pending)
        int blockSize = 0;      // 256 or 512 once part 2 told, else 0
        bool bad = false;       // an out-of-order or malformed part was seen
        QString problem;        // why it is bad
        QByteArray stream;      // payloads of parts 1, 2, ... in order
    };

    enum class Reply { None, Ack, ResendSmall, ResendLarge, Other };

    Reply handleBlock(const QByteArray &message, std::uint8_t command);
    Reply handlePart(const QByteArray &message, std::uint8_t command);
    Reply finishBlock(const QByteArray &stream, int size, const QString &problem);
    Reply handleBlockMessage(const QByteArray &message, std::uint8_t command);
    Reply injectMidBlock(Reply reply, int size);
    void startUpdateIfNeeded(std::uint32_t offset);
    QList<QByteArray> deliver(Reply reply, const QByteArray &otherReply);

    static QByteArray header(std::uint8_t command);
    static QByteArray shortReply(std::uint8_t command);
    static QString frameProblem(const QByteArray &message);
    static QString streamProblem(const QByteArray &stream, int size, std::uint32_t *offset);
    static bool validPacking(const char *wire, int length);
    static bool draw(std::mt19937 &generator, double probability);

    UnitOptions options_;
    QByteArray flash_;
    QByteArray presets_;
    QHash<int, int> presetFailuresLeft_;   // preset index -> writes still to lose

    Assembly assembly_;
    Assembly assemblyBefore_;   // as it was before the last message, to replay a repeat
    QByteArray lastMessage_;
    // The last message was refused (a resend request went out): the same message next is the
    // host's new attempt, not a repeat, and is handled from the present state.
    bool lastReplyWasResend_ = false;
    Reply lastBlockReply_ = Reply::None;   // the answer to the last block message, for a repeat
    bool replaying_ = false;               // handling a repeat: no fault is injected again
    bool refused_ = false;                 // this message is refused (its block not written)

    // Block bookkeeping.
    int nextBlockSize_ = 256;               // size of the block the host should send next
    qint64 injectedOffset_ = -1;            // block last asked again by injection
    std::uint32_t writtenOffset_ = 0;       // block written by the current message
    std::uint32_t waited_ = 0;              // the block a unit of an in-order policy waits for
    bool wroteBlock_ = false;
    bool summaryGiven_ = false;

    // Counters.
    int blocksWritten_ = 0;
    int resendsAsked_ = 0;
    int repeatsReceived_ = 0;
    int repliesDropped_ = 0;
    int messagesReceived_ = 0;
    int goodBlocks_ = 0;        // for --resend-every
    int middleParts_ = 0;       // for --resend-mid-block-every
    int replies_ = 0;           // replies due, for --drop-every
    int repliesSent_ = 0;       // for --noise-every, --status-every and --duplicate-every
    int allBlocksWritten_ = 0;  // since construction, for --pause-every and --stray-identity-every
    int repliesDuplicated_ = 0;
    int pauses_ = 0;
    int strayIdentities_ = 0;
    QByteArray duplicateDue_;
    bool pauseDue_ = false;

    std::mt19937 resendRandom_;
    std::mt19937 dropRandom_;

    bool updateCompleted_ = false;
    QString lastEvent_;
};

} // namespace Tarsyn

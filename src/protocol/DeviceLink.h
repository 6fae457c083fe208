#pragma once
// DeviceLink: the protocol engine. Builds every message the host sends, decodes every
// message from the unit into a ReplyCode (with the unit's identity and the last preset),
// and sends the FirmwareImage block by block. GUI-free: QtCore only.
//
// Threading: every member runs on the thread that owns the link (the GUI thread in the
// window, the main thread in tarsyn-flash). Nothing here is touched by MIDI threads.

#include "MessageSink.h"
#include "SysEx.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

namespace Tarsyn {

class DeviceLink {
public:
    // `sink` is not owned and may be null (then every send fails and returns false).
    explicit DeviceLink(MessageSink *sink = nullptr);
    ~DeviceLink();
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    void setSink(MessageSink *sink) { sink_ = sink; }
    MessageSink *sink() const { return sink_; }

    // The 1 MiB FirmwareImage, zero-filled at construction, into which the firmware is loaded.
    std::uint8_t *imageBuffer() { return image_.get(); }
    const std::uint8_t *imageBuffer() const { return image_.get(); }

    // Writes the 10-byte frame header with `command` into `buffer`; returns 10.
    static int writeHeader(std::uint8_t *buffer, std::uint8_t command);

    // Host commands. Each builds one message and hands it to the sink.
    bool sendIdentifyRequest();                  // 11 bytes, command 0x00
    void requestPreset(int slot, int bank);      // 13 bytes, command 0x01
    void sendPreset(int slot, int bank);         // 333 bytes, command 0x02, from presetData
    // The preset write message of `packed` (the 320 packed bytes; fewer are zero-filled), as
    // sendPreset sends it and a .syx file holds it.
    static QByteArray presetWriteMessage(int slot, int bank, const QByteArray &packed);
    // A preset of PresetSize bytes packed as it goes on the wire (PackedPresetSize bytes).
    static QByteArray packPreset(const std::uint8_t *preset);

    // Decodes one received message and applies its effects (reported(), presetData,
    // retryCount). Reads only the `length` bytes given; a byte at a fixed position beyond
    // the end reads as 0. An identity reply too short to hold its version is no identity.
    // Identity replies only fill `reported`: another program on the same port may ask the
    // unit who it is at any time, so the fields the session runs on change only through
    // acceptIdentity(), when the host itself is identifying the unit.
    ReplyCode parseReply(const std::uint8_t *bytes, qsizetype length);
    ReplyCode decodeReply(const QByteArray &message)
    {
        return parseReply(reinterpret_cast<const std::uint8_t *>(message.constData()), message.size());
    }
    // Unpacks a preset payload into presetData when it is exactly 320 bytes (presetLength
    // 256); otherwise presetLength 0 and presetData unchanged.
    void storePresetReply(int length, const std::uint8_t *payload);

    // The 11-character display form of a serial number: "%09ld" cut into three groups of
    // three, joined by "-".
    static QString serialDisplayText(std::uint32_t serial);
    // The block form a version word selects: major x 100 + minor >= 210.
    static bool selectsMultiPart(std::uint32_t versionWord);

    // Firmware transfer. startTransfer resets and sends the first block (or its first part).
    // advanceTransfer is called once per block acknowledgement; true means it completed a
    // block not completed before (single message sent, or part 0 of a new block) or the
    // cursor is at the end of the buffer. sendSmallBlock / sendLargeBlock(false) serve a
    // resend request. The senders never read outside the image, whatever the cursor.
    bool startTransfer();
    bool advanceTransfer();
    bool sendSmallBlock(bool newBlock);
    bool sendLargeBlock(bool newBlock);
    bool sendBlockPart(int size, int part, std::uint8_t command);

    // The message most recently handed to the sink, and sending it again unchanged
    // (used when a reply does not come).
    const QByteArray &lastMessage() const { return lastMessage_; }
    bool repeatLastMessage();

    // Makes the last reported identity the unit's: serial, version, name, block form.
    void acceptIdentity();

    // The identity in the last identity reply decoded.
    struct Identity {
        std::uint32_t serialNumber = 0;
        std::uint32_t firmwareVersion = 0;
        QString deviceName;
    };
    const Identity &reported() const { return reported_; }

    // The accepted identity, as the session runs on it.
    std::uint32_t serialNumber() const { return serialNumber_; }        // 28 bits
    std::uint32_t firmwareVersion() const { return firmwareVersion_; }  // low 8 bits major, bits above minor
    const QString &serialText() const { return serialText_; }
    const QString &deviceName() const { return deviceName_; }
    bool multiPart() const { return multiPart_; }                       // the block form it selects

    // Resend requests (0x26, 0x27) decoded since startTransfer, with or without a transfer.
    std::int32_t retryCount() const { return retryCount_; }

    // Where the transfer stands: the byte offset of the block under way in the image, and
    // the multi-part step within it (0 between blocks, up to 4).
    std::uint32_t cursor() const { return cursor_; }
    std::uint32_t phase() const { return phase_; }
    // The next advanceTransfer sends the block at `offset` from its beginning: its single
    // message or its part 1.
    void moveToBlock(std::uint32_t offset)
    {
        cursor_ = offset;
        phase_ = 0;
    }

    // The last preset received (presetLength 256 when its reply was complete, else 0); it is
    // also what sendPreset sends, once setPresetData has put the outgoing copy in its place.
    const std::uint8_t *presetData() const { return presetData_; }
    std::int32_t presetLength() const { return presetLength_; }
    void setPresetData(const std::uint8_t *preset);   // PresetSize bytes

private:
    bool send(QByteArray message);
    bool sendBlock(std::uint32_t size, std::uint8_t command, std::uint32_t lastPart, bool newBlock);

    MessageSink *sink_ = nullptr;
    QByteArray lastMessage_;
    Identity reported_;
    std::uint32_t serialNumber_ = 0;
    std::uint32_t firmwareVersion_ = 0;
    QString serialText_;
    QString deviceName_;
    bool multiPart_ = false;
    std::int32_t retryCount_ = 0;
    std::uint32_t cursor_ = 0;
    std::uint32_t phase_ = 0;
    // Highest end offset of a block whose completion advanceTransfer has reported since
    // startTransfer; a block restarted by a resend request is not reported again.
    std::uint32_t completedEnd_ = 0;
    std::unique_ptr<std::uint8_t[]> image_;
    std::int32_t presetLength_ = 0;
    std::uint8_t presetData_[PresetSize] = {};
};

} // namespace Tarsyn

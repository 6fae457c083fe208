#include "DeviceLink.h"

#include <array>
#include <cstring>

namespace Tarsyn {

namespace {

// Largest block stream: address (2), checksum (1), 128 packed groups of 5.
constexpr int MaxStreamLength = 3 + 640;
constexpr int PartLength = 132;

} // namespace

DeviceLink::DeviceLink(MessageSink *sink)
    : sink_(sink)
    , image_(std::make_unique<std::uint8_t[]>(ImageSize)) // value-initialised: zero-filled
{
}

DeviceLink::~DeviceLink() = default;

int DeviceLink::writeHeader(std::uint8_t *buffer, std::uint8_t command)
{
    std::memcpy(buffer, FrameStart, sizeof FrameStart);
    buffer[5] = buffer[6] = buffer[7] = buffer[8] = 0x00;
    buffer[CommandPos] = command;
    return HeaderLength;
}

bool DeviceLink::send(QByteArray message)
{
    lastMessage_ = std::move(message);
    return sink_ && sink_->sendLongMessage(lastMessage_);
}

bool DeviceLink::repeatLastMessage()
{
    return !lastMessage_.isEmpty() && sink_ && sink_->sendLongMessage(lastMessage_);
}

bool DeviceLink::sendIdentifyRequest()
{
    std::uint8_t m[11];
    int n = writeHeader(m, CmdIdentify);
    m[n++] = SysExEnd;
    return send(QByteArray(reinterpret_cast<const char *>(m), n));
}

void DeviceLink::requestPreset(int slot, int bank)
{
    std::uint8_t m[13];
    int n = writeHeader(m, CmdPresetRead);
    m[n++] = std::uint8_t(slot & 0x7F);
    m[n++] = std::uint8_t(bank & 0x0F);
    m[n++] = SysExEnd;
    send(QByteArray(reinterpret_cast<const char *>(m), n));
}

void DeviceLink::sendPreset(int slot, int bank)
{
    send(presetWriteMessage(slot, bank, packPreset(presetData_)));
}

QByteArray DeviceLink::packPreset(const std::uint8_t *preset)
{
    QByteArray packed(PackedPresetSize, '\0');
    packSevenBit(preset, PresetSize, reinterpret_cast<std::uint8_t *>(packed.data()));
    return packed;
}

QByteArray DeviceLink::presetWriteMessage(int slot, int bank, const QByteArray &packed)
{
    QByteArray message(PresetWriteLength, '\0');
    auto *m = reinterpret_cast<std::uint8_t *>(message.data());
    int n = writeHeader(m, CmdPresetWrite);
    m[n++] = std::uint8_t(slot & 0x7F);
    m[n++] = std::uint8_t(bank & 0x0F);
    std::memcpy(m + n, packed.constData(), std::size_t(qMin<qsizetype>(packed.size(), PackedPresetSize)));
    m[PresetWriteLength - 1] = SysExEnd;
    return message;
}

QString DeviceLink::serialDisplayText(std::uint32_t serial)
{
    // "%09ld", then ddd-ddd-ddd. Serial numbers from the wire stay below 10^9.
    const QString digits = QStringLiteral("%1").arg(qulonglong(serial), 9, 10, QLatin1Char('0'));
    return digits.left(3) + QLatin1Char('-') + digits.mid(3, 3) + QLatin1Char('-') + digits.mid(6);
}

void DeviceLink::acceptIdentity()
{
    serialNumber_ = reported_.serialNumber;
    firmwareVersion_ = reported_.firmwareVersion;
    deviceName_ = reported_.deviceName;
    serialText_ = serialDisplayText(serialNumber_);
    multiPart_ = selectsMultiPart(firmwareVersion_);
}

bool DeviceLink::selectsMultiPart(std::uint32_t versionWord)
{
    const std::uint32_t major = versionWord & 0xFF;
    const std::uint32_t minor = versionWord >> 8;
    return major * 100 + minor >= 210;
}

void DeviceLink::storePresetReply(int length, const std::uint8_t *payload)
{
    if (length == PackedPresetSize) {
        unpackSevenBit(PackedPresetSize, payload, presetData_);
        presetLength_ = PresetSize;
    } else {
        presetLength_ = 0;
    }
}

void DeviceLink::setPresetData(const std::uint8_t *preset)
{
    std::memcpy(presetData_, preset, PresetSize);
}

ReplyCode DeviceLink::parseReply(const std::uint8_t *bytes, qsizetype length)
{
    if (!bytes || length <= 0)
        return ReplyNone;
    // Messages arrive with their exact length: a position past the end reads as 0.
    const auto at = [&](qsizetype i) -> std::uint32_t { return i < length ? bytes[i] : 0; };
    for (int i = 0; i < int(sizeof FrameStart); ++i) {
        if (at(i) != FrameStart[i])
            return ReplyNone;
    }

    switch (at(CommandPos)) {
    case UnitIdentity: {
        // Header, command, two version bytes and the closing 0xF7 at least: anything shorter
        // does not hold the fields read below.
        if (length < HeaderLength + 3 || (at(10) | at(11)) & 0x80)
            return ReplyNone;
        reported_.serialNumber = at(5) | at(6) << 7 | at(7) << 14 | at(8) << 21;
        reported_.firmwareVersion = at(10) | at(11) << 7;
        reported_.deviceName.clear();
        for (int i = 0; i < 16; ++i) {
            const std::uint32_t c = at(12 + i);
            // A short name may run straight into the message's closing 0xF7, which is no
            // character of it.
            if (c == 0x7F || c == 0x00 || c == SysExEnd)
                break;
            reported_.deviceName.append(QChar::fromLatin1(char(c)));
        }
        return ReplyIdentity;
    }
    case UnitPresetData:
        // Payload: everything between the command byte and the closing 0xF7.
        storePresetReply(length >= HeaderLength + 1 ? int(length - HeaderLength - 1) : -1,
                         bytes + HeaderLength);
        return ReplyPresetData;
    case UnitPresetWritten:
        return ReplyPresetWritten;
    case UnitOther:
        return ReplyOther;
    case UnitBlockOk:
        return ReplyBlockOk24;
    case UnitBlockOk25:
        return ReplyBlockOk25;
    case UnitResendLarge:
        ++retryCount_;
        return ReplyResendLarge;
    case UnitResendSmall:
        ++retryCount_;
        return ReplyResendSmall;
    case UnitStatus:
        return at(10) == 0 ? ReplyStatusZero : ReplyStatusOther;
    default:
        return ReplyNone;
    }
}

namespace {

// The block stream of the `size` bytes at `cursor`: address low, address high, checksum,
// then the packed groups. Image bytes are read only for offsets from `cursor` while below
// `cursor` + `size` (32-bit arithmetic: a wrapped cursor reads nothing) and only inside
// the image; offsets past the image's end read as 0. Returns the stream length.
int buildStream(const std::uint8_t *image, std::uint32_t cursor, std::uint32_t size, std::uint8_t *stream)
{
    stream[0] = std::uint8_t((cursor >> 8) & 0x7F);
    stream[1] = std::uint8_t((cursor >> 15) & 0x7F);
    int n = 3;
    std::uint32_t checksum = 0;
    const std::uint32_t end = cursor + size;
    for (std::uint32_t offset = cursor; offset < end; offset += 4) {
        std::uint8_t group[4];
        for (std::uint32_t k = 0; k < 4; ++k) {
            const std::uint32_t o = offset + k;
            group[k] = o >= cursor && o < ImageSize ? image[o] : 0;
        }
        packSevenBit(group, 4, stream + n);
        for (int k = 0; k < 5; ++k)
            checksum += stream[n + k];
        n += 5;
    }
    stream[2] = std::uint8_t(checksum & 0x7F);
    return n;
}

} // namespace

bool DeviceLink::sendBlockPart(int size, int part, std::uint8_t command)
{
    std::array<std::uint8_t, MaxStreamLength> stream;
    const int streamLength = buildStream(image_.get(), cursor_, std::uint32_t(size), stream.data());
    const int from = part * PartLength;
    const int to = qMin(from + PartLength, streamLength);

    std::uint8_t m[HeaderLength + PartLength + 1];
    int n = writeHeader(m, command);
    for (int s = from; s < to; ++s)
        m[n++] = stream[s];
    m[n++] = SysExEnd;
    return send(QByteArray(reinterpret_cast<const char *>(m), n));
}

bool DeviceLink::sendBlock(std::uint32_t size, std::uint8_t command, std::uint32_t lastPart, bool newBlock)
{
    if (!multiPart_) {
        if (!newBlock)
            cursor_ -= size;
        std::array<std::uint8_t, HeaderLength + MaxStreamLength + 1> m;
        int n = writeHeader(m.data(), command);
        n += buildStream(image_.get(), cursor_, size, m.data() + n);
        m[n++] = SysExEnd;
        send(QByteArray(reinterpret_cast<const char *>(m.data()), n));
        cursor_ += size;
        return true;
    }

    // Multi-part form: parts 1..lastPart, then part 0 (address and checksum) completes the block.
    if (phase_ == 0) {
        if (!newBlock)
            cursor_ -= size;
        sendBlockPart(int(size), 1, CmdPart1);
        phase_ = 1;
        return false;
    }
    if (phase_ < lastPart) {
        sendBlockPart(int(size), int(phase_) + 1, std::uint8_t(CmdPart1 + phase_));
        ++phase_;
        return false;
    }
    if (phase_ == lastPart) {
        sendBlockPart(int(size), 0, command);
        phase_ = 0;
        cursor_ += size;
        // A block restarted by a resend request completes again here; it counts only once.
        if (cursor_ > completedEnd_) {
            completedEnd_ = cursor_;
            return true;
        }
        return false;
    }
    return true; // phase 3 or 4 of a large block met by the small algorithm: nothing to send
}

bool DeviceLink::sendSmallBlock(bool newBlock)
{
    return sendBlock(256, CmdSmallBlock, 2, newBlock);
}

bool DeviceLink::sendLargeBlock(bool newBlock)
{
    return sendBlock(512, CmdLargeBlock, 4, newBlock);
}

bool DeviceLink::startTransfer()
{
    retryCount_ = 0;
    cursor_ = 0;
    phase_ = 0;
    completedEnd_ = 0;
    return sendSmallBlock(true);
}

bool DeviceLink::advanceTransfer()
{
    if (cursor_ < LargeRegion)
        return sendSmallBlock(true);
    if (cursor_ < ImageSize)
        return sendLargeBlock(true);
    return true;
}

} // namespace Tarsyn

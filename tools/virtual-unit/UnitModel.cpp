#include "UnitModel.h"

#include "DeviceLink.h"
#include "PresetSet.h"
#include "SyxFile.h"
#include "SysEx.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cstring>

namespace Tarsyn {

namespace {

constexpr int PartLength = 143;          // parts 1 (both sizes), 2 and 3 of a 512-byte block, part 0
constexpr int SmallPart2Length = 70;     // part 2 of a 256-byte block
constexpr int LargePart4Length = 126;    // part 4 of a 512-byte block
constexpr int SmallWholeLength = 334;
constexpr int LargeWholeLength = 654;

quint8 byteAt(const QByteArray &bytes, int i)
{
    return static_cast<quint8>(bytes.at(i));
}

QString hex(std::uint32_t value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper();
}

// Replies that, next to the real one, a unit on a busy MIDI line may make the host see.
QList<QByteArray> noiseMessages()
{
    static const char otherMaker[] = "\xF0\x7D\x00\x11\x22\x02\x00\x00\x00\x00\x24\xF7";
    static const char wrongHeader[] = "\xF0\x00\x11\x22\x03\x00\x00\x00\x00\x24\xF7";
    static const char noteOn[] = "\x90\x3C\x40";
    static const char clock[] = "\xF8";
    return {QByteArray(otherMaker, sizeof otherMaker - 1), QByteArray(wrongHeader, sizeof wrongHeader - 1),
            QByteArray(noteOn, sizeof noteOn - 1), QByteArray(clock, sizeof clock - 1)};
}

// A preset of PresetSize bytes packed as it goes on the wire.
QByteArray packPreset(const char *preset)
{
    return DeviceLink::packPreset(reinterpret_cast<const std::uint8_t *>(preset));
}

} // namespace

UnitModel::UnitModel(const UnitOptions &options)
    : options_(options),
      flash_(FlashSize, char(0xFF)),
      presets_(PresetCount * PresetSize, Qt::Uninitialized),
      resendRandom_(options.seed ^ 0x52E5E7u),
      dropRandom_(options.seed ^ 0xD209u)
{
    // The default store: arbitrary but reproducible bytes.
    std::mt19937 presetRandom(options.seed ^ 0x9E5E7u);
    for (char &byte : presets_)
        byte = char(presetRandom() & 0xFF);
    for (const UnitOptions::PresetFault &fault : options.presetFaults)
        presetFailuresLeft_[fault.bank * PresetSlots + fault.slot] += fault.failures;
}

QByteArray UnitModel::header(std::uint8_t command)
{
    QByteArray bytes(reinterpret_cast<const char *>(FrameStart), sizeof FrameStart);
    bytes.append(4, '\0');
    bytes.append(char(command));
    return bytes;
}

QByteArray UnitModel::shortReply(std::uint8_t command)
{
    return header(command) + char(SysExEnd);
}

QByteArray UnitModel::identityReply(const UnitOptions &options)
{
    QByteArray bytes(reinterpret_cast<const char *>(FrameStart), sizeof FrameStart);
    for (int group = 0; group < 4; ++group)
        bytes.append(char((options.serial >> (7 * group)) & 0x7F));
    bytes.append(char(UnitIdentity));
    const std::uint32_t word = std::uint32_t(options.versionMajor) | std::uint32_t(options.versionMinor) << 8;
    bytes.append(char(word & 0x7F));
    bytes.append(char((word >> 7) & 0x7F));
    const QByteArray name = options.name.left(16);
    bytes.append(name);
    if (name.size() < 16)
        bytes.append('\0');
    bytes.append(char(SysExEnd));
    return bytes;
}

QByteArray UnitModel::strayIdentityReply(const UnitOptions &options)
{
    UnitOptions stray = options;
    if (options.strayVersionMajor >= 0) {
        stray.versionMajor = options.strayVersionMajor;
        stray.versionMinor = qMax(0, options.strayVersionMinor);
    } else {
        // The other block form: the host that believed it would send the wrong messages.
        stray.versionMajor = 2;
        stray.versionMinor = multiPartVersion(options.versionMajor, options.versionMinor) ? 9 : 10;
    }
    return identityReply(stray);
}

QByteArray UnitModel::presetWriteMessage(int slot, int bank, const QByteArray &data)
{
    return DeviceLink::presetWriteMessage(slot, bank, packPreset(data.leftJustified(PresetSize, '\0', true).constData()));
}

// Everything a host message must have besides its command and length: the header, a zero
// serial field, 7-bit data and the end byte.
QString UnitModel::frameProblem(const QByteArray &message)
{
    if (message.size() < HeaderLength + 1)
        return QStringLiteral("message of %1 bytes is too short").arg(message.size());
    for (int i = 0; i < int(sizeof FrameStart); ++i) {
        if (byteAt(message, i) != FrameStart[i])
            return QStringLiteral("header byte %1 is %2").arg(i).arg(hex(byteAt(message, i)));
    }
    for (int i = 5; i <= 8; ++i) {
        if (message.at(i) != 0)
            return QStringLiteral("serial field byte %1 is %2, not 0").arg(i).arg(hex(byteAt(message, i)));
    }
    if (byteAt(message, message.size() - 1) != SysExEnd)
        return QStringLiteral("last byte is %1, not 0xF7").arg(hex(byteAt(message, message.size() - 1)));
    for (int i = 1; i < message.size() - 1; ++i) {
        if (byteAt(message, i) & 0x80)
            return QStringLiteral("byte %1 (%2) is not 7-bit").arg(i).arg(hex(byteAt(message, i)));
    }
    return {};
}

// Packed data as the host makes it: flag bytes use only bits 0..3.
bool UnitModel::validPacking(const char *wire, int length)
{
    for (int flag = 4; flag < length; flag += 5) {
        if (static_cast<quint8>(wire[flag]) & 0xF0)
            return false;
    }
    return true;
}

// A block stream: address low, address high, checksum, then the packed block.
QString UnitModel::streamProblem(const QByteArray &stream, int size, std::uint32_t *offset)
{
    const int packedLength = size / 4 * 5;
    if (stream.size() != 3 + packedLength)
        return QStringLiteral("block stream of %1 bytes, expected %2").arg(stream.size()).arg(3 + packedLength);
    *offset = (std::uint32_t(byteAt(stream, 0)) | std::uint32_t(byteAt(stream, 1)) << 7) << 8;
    if (size == 256 && *offset >= LargeRegion)
        return QStringLiteral("address %1 is outside the region of 256-byte blocks").arg(hex(*offset));
    if (size == 512 && (*offset < LargeRegion || *offset > ImageSize - 512 || *offset % 512 != 0))
        return QStringLiteral("address %1 is not on the grid of 512-byte blocks").arg(hex(*offset));
    unsigned sum = 0;
    for (int s = 3; s < stream.size(); ++s)
        sum += byteAt(stream, s);
    if ((sum & 0x7F) != byteAt(stream, 2))
        return QStringLiteral("checksum %1, expected %2").arg(hex(byteAt(stream, 2))).arg(hex(sum & 0x7F));
    if (!validPacking(stream.constData() + 3, packedLength))
        return QStringLiteral("a flag byte uses bits 4..6");
    return {};
}

bool UnitModel::draw(std::mt19937 &generator, double probability)
{
    if (probability <= 0)
        return false;
    // The raw 32-bit output, so that a seed gives the same choices with every library.
    return double(generator()) < probability * 4294967296.0;
}

QList<QByteArray> UnitModel::handleMessage(const QByteArray &message)
{
    ++messagesReceived_;
    updateCompleted_ = false;
    wroteBlock_ = false;
    refused_ = false;
    duplicateDue_.clear();
    pauseDue_ = false;
    lastEvent_.clear();

    if (options_.silentAfter >= 0 && messagesReceived_ > options_.silentAfter) {
        lastEvent_ = QStringLiteral("silent: not answered");
        return {};
    }

    // The host sends its last message again when our reply seems lost: handle it from the
    // state before the first time and answer it the same way (the same part is accepted
    // again, the same block written again). After we refused a message with a resend
    // request, the same message again is the host's new attempt: it is handled from the
    // present state, so that a block that spoiled a half-assembled one can now be taken.
    // A unit that takes blocks only in order judges a block (or part 0) sent again by its
    // address, as any other: only parts are replayed.
    const bool inOrder = options_.addressPolicy != UnitOptions::AddressPolicy::Any;
    const bool blockMessage = message.size() > CommandPos
        && (byteAt(message, CommandPos) == CmdSmallBlock || byteAt(message, CommandPos) == CmdLargeBlock);
    const bool repeat = !lastMessage_.isNull() && message == lastMessage_ && !lastReplyWasResend_;
    if (repeat) {
        if (!(inOrder && blockMessage))
            assembly_ = assemblyBefore_;
        ++repeatsReceived_;
    }
    assemblyBefore_ = assembly_;
    lastMessage_ = message;
    lastReplyWasResend_ = false;
    replaying_ = repeat && !(inOrder && blockMessage);

    QList<QByteArray> replies = [&]() -> QList<QByteArray> {
        if (message.size() < HeaderLength || std::memcmp(message.constData(), FrameStart, 4) != 0) {
            lastEvent_ = QStringLiteral("ignored: not addressed to this unit");
            return {};
        }
        const std::uint8_t command = byteAt(message, CommandPos);
        const QString frame = frameProblem(message);
        switch (command) {
        case CmdIdentify:
            if (!frame.isEmpty() || message.size() != 11) {
                lastEvent_ = QStringLiteral("ignored: malformed identify request (%1)")
                                 .arg(frame.isEmpty() ? QStringLiteral("%1 bytes").arg(message.size()) : frame);
                return {};
            }
            lastEvent_ = QStringLiteral("identify");
            waited_ = 0;   // the host identifies the unit before an update: it starts from block 0
            return deliver(Reply::Other, identityReply(options_));
        case CmdPresetRead: {
            if (!frame.isEmpty() || message.size() != 13 || byteAt(message, 11) >= PresetBanks) {
                lastEvent_ = QStringLiteral("ignored: malformed preset read request");
                return {};
            }
            const int slot = byteAt(message, 10), bank = byteAt(message, 11);
            QByteArray reply = header(UnitPresetData);
            reply.append(packPreset(presets_.constData() + (bank * PresetSlots + slot) * PresetSize));
            reply.append(char(SysExEnd));
            lastEvent_ = QStringLiteral("preset read bank %1 slot %2").arg(bank).arg(slot);
            return deliver(Reply::Other, reply);
        }
        case CmdPresetWrite: {
            if (!frame.isEmpty() || message.size() != PresetWriteLength || byteAt(message, 11) >= PresetBanks
                || !validPacking(message.constData() + 12, PackedPresetSize)) {
                lastEvent_ = QStringLiteral("ignored: malformed preset write");
                return {};
            }
            const int slot = byteAt(message, 10), bank = byteAt(message, 11);
            const int index = bank * PresetSlots + slot;
            auto failures = presetFailuresLeft_.find(index);
            if (failures != presetFailuresLeft_.end() && failures.value() > 0) {
                --failures.value();
                lastEvent_ = QStringLiteral("preset write bank %1 slot %2 acknowledged but not kept").arg(bank).arg(slot);
            } else {
                unpackSevenBit(PackedPresetSize, reinterpret_cast<const std::uint8_t *>(message.constData()) + 12,
                               reinterpret_cast<std::uint8_t *>(presets_.data()) + index * PresetSize);
                lastEvent_ = QStringLiteral("preset write bank %1 slot %2").arg(bank).arg(slot);
            }
            return deliver(Reply::Other, shortReply(UnitPresetWritten));
        }
        case CmdSmallBlock:
        case CmdLargeBlock:
            lastBlockReply_ = handleBlock(message, command);
            return deliver(lastBlockReply_, {});
        case CmdPart1:
        case CmdPart2:
        case CmdPart3:
        case CmdPart4:
            // A unit from before the multi-part form does not know these commands.
            if (options_.strictForm && !multiPart()) {
                lastEvent_ = QStringLiteral("ignored: part %1, but this unit takes whole blocks").arg(command - CmdSmallBlock);
                return {};
            }
            lastBlockReply_ = handlePart(message, command);
            return deliver(lastBlockReply_, {});
        default:
            lastEvent_ = QStringLiteral("ignored: unknown command %1").arg(hex(command));
            return {};
        }
    }();
    if (repeat)
        lastEvent_.prepend(QStringLiteral("repeat: "));

    // Faults that follow the blocks written, repeats included.
    if (wroteBlock_) {
        ++allBlocksWritten_;
        if (options_.strayIdentityEvery > 0 && allBlocksWritten_ % options_.strayIdentityEvery == 0) {
            // As another program on the same port would make it: the unit answers its
            // identify request, and the host sees that answer too.
            replies += strayIdentityReply(options_);
            ++strayIdentities_;
            lastEvent_ += QStringLiteral(" (stray identity reply)");
        }
        if (options_.pauseEvery > 0 && allBlocksWritten_ % options_.pauseEvery == 0) {
            pauseDue_ = true;
            ++pauses_;
            lastEvent_ += QStringLiteral(" (pause of %1 ms)").arg(options_.pauseMs);
        }
    }
    return replies;
}

// A whole block (334 / 654 bytes), or part 0 (143 bytes) when parts are pending.
UnitModel::Reply UnitModel::handleBlock(const QByteArray &message, std::uint8_t command)
{
    const int size = command == CmdSmallBlock ? 256 : 512;
    const int wholeLength = size == 256 ? SmallWholeLength : LargeWholeLength;
    QString problem = frameProblem(message);

    if (assembly_.parts == 0) {
        if (problem.isEmpty() && options_.strictForm && multiPart())
            problem = QStringLiteral("a block in one message, but this unit takes blocks in parts");
        if (problem.isEmpty() && message.size() == PartLength)
            problem = QStringLiteral("part 0 without the block's other parts");
        else if (problem.isEmpty() && message.size() != wholeLength)
            problem = QStringLiteral("%1 bytes, expected %2").arg(message.size()).arg(wholeLength);
        return finishBlock(message.mid(HeaderLength, message.size() - HeaderLength - 1), size, problem);
    }

    // Part 0: it closes the block, good or bad.
    const Assembly parts = assembly_;
    assembly_ = {};
    const int lastPart = size == 256 ? 2 : 4;
    if (problem.isEmpty() && message.size() != PartLength)
        problem = QStringLiteral("part 0 of %1 bytes, expected %2").arg(message.size()).arg(PartLength);
    if (problem.isEmpty() && parts.bad)
        problem = parts.problem;
    if (problem.isEmpty() && (parts.parts != lastPart || parts.blockSize != size))
        problem = QStringLiteral("part 0 of a %1-byte block after parts 1..%2 of a %3-byte block")
                      .arg(size).arg(parts.parts).arg(parts.blockSize);
    return finishBlock(message.mid(HeaderLength, message.size() - HeaderLength - 1) + parts.stream, size, problem);
}

// Parts 1..4 (commands 0x06..0x09). Each is acknowledged; a wrong one spoils the block,
// which is asked for again at its part 0.
UnitModel::Reply UnitModel::handlePart(const QByteArray &message, std::uint8_t command)
{
    const int part = command - CmdSmallBlock;
    QString problem = frameProblem(message);
    if (part == 1) {
        const bool unfinished = assembly_.parts > 0;
        assembly_ = {};
        if (problem.isEmpty() && unfinished)
            problem = QStringLiteral("part 1 before part 0 of the block under way");
    } else if (problem.isEmpty() && assembly_.parts != part - 1) {
        problem = QStringLiteral("part %1 after part %2").arg(part).arg(assembly_.parts);
    }

    int expected = PartLength;
    if (part == 2 && message.size() == SmallPart2Length)
        expected = SmallPart2Length;
    if (part == 4)
        expected = LargePart4Length;
    if (problem.isEmpty() && message.size() != expected)
        problem = QStringLiteral("part %1 of %2 bytes, expected %3").arg(part).arg(message.size()).arg(expected);
    if (part == 2)
        assembly_.blockSize = message.size() == SmallPart2Length ? 256 : 512;
    if (problem.isEmpty() && part >= 3 && assembly_.blockSize != 512)
        problem = QStringLiteral("part %1 of a 256-byte block").arg(part);

    assembly_.parts = part;
    if (!problem.isEmpty() && !assembly_.bad) {
        assembly_.bad = true;
        assembly_.problem = problem;
    }
    if (!assembly_.bad)
        assembly_.stream.append(message.mid(HeaderLength, message.size() - HeaderLength - 1));
    lastEvent_ = problem.isEmpty() ? QStringLiteral("part %1 accepted").arg(part)
                                   : QStringLiteral("part %1 spoils the block: %2").arg(part).arg(problem);

    // A repeated part is answered as the first time, and counts no more.
    if (replaying_) {
        if (lastBlockReply_ == Reply::ResendSmall || lastBlockReply_ == Reply::ResendLarge) {
            lastEvent_ += QStringLiteral(" (resend request as before)");
            return lastBlockReply_;
        }
        return Reply::Ack;
    }

    // Every non-final part counts for --resend-mid-block-every. The part is kept; the host
    // goes on with the next part whatever we answer mid-block.
    ++middleParts_;
    if (options_.resendMidBlockEvery > 0 && middleParts_ % options_.resendMidBlockEvery == 0) {
        // Before part 2 tells, the block's size is that of the block the host should send
        // next: the same block after a resend request, otherwise the one after the last.
        const int size = assembly_.blockSize ? assembly_.blockSize : nextBlockSize_;
        lastEvent_ += QStringLiteral(" (resend request injected)");
        return size == 256 ? Reply::ResendSmall : Reply::ResendLarge;
    }
    return Reply::Ack;
}

UnitModel::Reply UnitModel::finishBlock(const QByteArray &stream, int size, const QString &problem)
{
    const Reply resend = size == 256 ? Reply::ResendSmall : Reply::ResendLarge;
    std::uint32_t offset = 0;
    const QString why = problem.isEmpty() ? streamProblem(stream, size, &offset) : problem;
    nextBlockSize_ = size;
    if (!why.isEmpty()) {
        lastEvent_ = QStringLiteral("bad %1-byte block: %2").arg(size).arg(why);
        refused_ = true;
        return resend;
    }
    if (options_.resendAlways) {
        lastEvent_ = QStringLiteral("block %1 (%2) good, asked for again (--resend-always)").arg(hex(offset)).arg(size);
        refused_ = true;
        return resend;
    }

    if (options_.addressPolicy != UnitOptions::AddressPolicy::Any) {
        if (offset == 0 && waited_ >= SummaryLength)
            waited_ = 0;   // a new update after a whole one
        if (offset != waited_) {
            const int waitedSize = waited_ < LargeRegion ? 256 : 512;
            if (options_.addressPolicy == UnitOptions::AddressPolicy::Sequence && offset + std::uint32_t(size) == waited_) {
                lastEvent_ = QStringLiteral("block %1 (%2) written before, acknowledged again").arg(hex(offset)).arg(size);
                return Reply::Ack;
            }
            lastEvent_ = QStringLiteral("block %1 (%2): bad address, waiting for %3").arg(hex(offset)).arg(size).arg(hex(waited_));
            refused_ = true;
            nextBlockSize_ = waitedSize;
            return waitedSize == 256 ? Reply::ResendSmall : Reply::ResendLarge;
        }
    }

    // A block that we asked for again by injection is taken when it comes back, so that even
    // --resend-every 1 lets the update go on. A repeat is not asked for again.
    if (!replaying_ && injectedOffset_ != qint64(offset)) {
        ++goodBlocks_;
        const bool every = options_.resendEvery > 0 && goodBlocks_ % options_.resendEvery == 0;
        const bool chance = draw(resendRandom_, options_.resendProbability);
        if (every || chance) {
            injectedOffset_ = offset;
            lastEvent_ = QStringLiteral("block %1 (%2) good, resend request injected").arg(hex(offset)).arg(size);
            refused_ = true;
            return resend;
        }
    }
    injectedOffset_ = -1;

    if (offset == 0 && summaryGiven_) {
        // A new update begins.
        summaryGiven_ = false;
        blocksWritten_ = resendsAsked_ = repeatsReceived_ = repliesDropped_ = 0;
        repliesDuplicated_ = pauses_ = strayIdentities_ = 0;
    }
    unpackSevenBit(stream.size() - 3, reinterpret_cast<const std::uint8_t *>(stream.constData()) + 3,
                   reinterpret_cast<std::uint8_t *>(flash_.data()) + offset);
    ++blocksWritten_;
    wroteBlock_ = true;
    writtenOffset_ = offset;
    waited_ = offset + std::uint32_t(size);
    nextBlockSize_ = offset + size < LargeRegion ? 256 : 512;
    lastEvent_ = QStringLiteral("block %1 (%2) written").arg(hex(offset)).arg(size);
    return Reply::Ack;
}

QList<QByteArray> UnitModel::deliver(Reply reply, const QByteArray &otherReply)
{
    QByteArray bytes;
    switch (reply) {
    case Reply::None:
        return {};
    case Reply::Ack:
        bytes = shortReply(UnitBlockOk);
        break;
    case Reply::ResendSmall:
        bytes = shortReply(UnitResendSmall);
        break;
    case Reply::ResendLarge:
        bytes = shortReply(UnitResendLarge);
        break;
    case Reply::Other:
        bytes = otherReply;
        break;
    }

    ++replies_;
    bool drop = options_.dropEvery > 0 && replies_ % options_.dropEvery == 0;
    if (draw(dropRandom_, options_.dropProbability))
        drop = true;
    if (drop) {
        ++repliesDropped_;
        lastEvent_ += QStringLiteral(" (reply dropped)");
        return {};
    }

    ++repliesSent_;
    QList<QByteArray> out;
    if (options_.noiseEvery > 0 && repliesSent_ % options_.noiseEvery == 0)
        out += noiseMessages();
    if (options_.statusEvery > 0 && repliesSent_ % options_.statusEvery == 0) {
        QByteArray status = header(UnitStatus);
        status.append('\x01');
        status.append(char(SysExEnd));
        out += status;
    }
    out += bytes;
    if (options_.duplicateEvery > 0 && repliesSent_ % options_.duplicateEvery == 0) {
        duplicateDue_ = bytes;
        ++repliesDuplicated_;
        lastEvent_ += QStringLiteral(" (reply duplicated)");
    }
    if (reply == Reply::ResendSmall || reply == Reply::ResendLarge) {
        ++resendsAsked_;
        lastReplyWasResend_ = refused_;
    }
    // The summary is due once the payload's last block is written and its acknowledgement
    // really goes out: if it were dropped, the host's repeat brings the block again.
    if (reply == Reply::Ack && wroteBlock_ && writtenOffset_ == LastPayloadBlock && !summaryGiven_) {
        summaryGiven_ = true;
        updateCompleted_ = true;
    }
    return out;
}

QByteArray UnitModel::flashHash() const
{
    return QCryptographicHash::hash(QByteArray::fromRawData(flash_.constData(), SummaryLength),
                                     QCryptographicHash::Sha256);
}

QString UnitModel::summaryLine() const
{
    return QStringLiteral("update received: blocks=%1 resends=%2 repeats=%3 dropped=%4 duplicated=%5 paused=%6 "
                          "strays=%7 sha256=%8")
        .arg(blocksWritten_)
        .arg(resendsAsked_)
        .arg(repeatsReceived_)
        .arg(repliesDropped_)
        .arg(repliesDuplicated_)
        .arg(pauses_)
        .arg(strayIdentities_)
        .arg(QString::fromLatin1(flashHash().toHex()));
}

QByteArray UnitModel::preset(int bank, int slot) const
{
    return presets_.mid((bank * PresetSlots + slot) * PresetSize, PresetSize);
}

void UnitModel::setPreset(int bank, int slot, const QByteArray &data)
{
    std::memcpy(presets_.data() + (bank * PresetSlots + slot) * PresetSize, data.constData(),
                std::min<qsizetype>(data.size(), PresetSize));
}

QByteArray UnitModel::presetFile() const
{
    PresetSet set;
    for (int bank = 0; bank < PresetBanks; ++bank) {
        for (int slot = 0; slot < PresetSlots; ++slot)
            set.at(bank, slot) = packPreset(presets_.constData() + PresetSet::index(bank, slot) * PresetSize);
    }
    return SyxFile::encodePresets(set);
}

bool UnitModel::loadPresetFile(const QByteArray &file, QString *error)
{
    PresetSet set;
    *error = SyxFile::parsePresets(file, set);
    if (!error->isEmpty())
        return false;
    QByteArray store = presets_;
    for (int index = 0; index < PresetCount; ++index) {
        const QByteArray &packed = set.packed[std::size_t(index)];
        // The unit takes only what the host makes: flag bytes that use bits 0..3.
        if (!validPacking(packed.constData(), PackedPresetSize)) {
            *error = QStringLiteral("bank %1 slot %2: the packed preset data is malformed")
                         .arg(index / PresetSlots).arg(index % PresetSlots);
            return false;
        }
        unpackSevenBit(PackedPresetSize, reinterpret_cast<const std::uint8_t *>(packed.constData()),
                       reinterpret_cast<std::uint8_t *>(store.data()) + index * PresetSize);
    }
    presets_ = store;
    return true;
}

} // namespace Tarsyn

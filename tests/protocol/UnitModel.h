#pragma once
// A model of the unit's side of a firmware transfer, written from the wire format alone
// (it shares no code with DeviceLink). It takes every message the host sends, checks frame,
// command, length, address, checksum and part order, writes each complete block into its own
// flash, and answers with an acknowledgement or, where the test planned one, a resend request.

#include "MessageSink.h"

#include <QByteArray>
#include <QMap>
#include <QPair>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <vector>

class UnitModel : public Tarsyn::MessageSink {
public:
    static constexpr std::uint32_t FlashSize = 0x100000;
    static constexpr std::uint8_t Untouched = 0xAA; // what the flash holds where no block was written

    explicit UnitModel(bool multiPart) : flash(FlashSize, Untouched), multiPart_(multiPart) {}

    // Plans: `times` resend requests for the block at `offset` once it has arrived whole
    // (in the multi-part form: after its part 0, which restarts the block) ...
    void resendAfterBlock(std::uint32_t offset, int times = 1) { afterBlock_[offset] = times; }
    // ... and, in the multi-part form, one resend request after part `part` of that block.
    void resendAfterPart(std::uint32_t offset, int part) { afterPart_[{offset, part}] = true; }

    bool sendLongMessage(const QByteArray &message) override
    {
        ++messages;
        last = message;
        reply.clear();
        if (error.isEmpty())
            take(message);
        return true;
    }

    // The unit's answer to the last message (empty after an error).
    QByteArray takeReply()
    {
        QByteArray out = reply;
        reply.clear();
        return out;
    }

    int messages = 0;
    int resendsSent = 0;
    QByteArray last;
    QString error;
    std::vector<std::uint8_t> flash;
    std::uint32_t expected = 0; // offset of the block the unit waits for

private:
    static constexpr int PartSize = 132;

    std::uint32_t blockSize() const { return expected < 0x80000 ? 256 : 512; }
    int streamLength() const { return 3 + int(blockSize()) / 4 * 5; }
    int lastPart() const { return blockSize() == 256 ? 2 : 4; }
    std::uint8_t blockCommand() const { return blockSize() == 256 ? 0x05 : 0x04; }

    void fail(const QString &what)
    {
        error = QStringLiteral("message %1 (block 0x%2): %3").arg(messages).arg(expected, 0, 16).arg(what);
    }

    void take(const QByteArray &m)
    {
        static const std::uint8_t header[9] = {0xF0, 0x00, 0x11, 0x22, 0x02, 0x00, 0x00, 0x00, 0x00};
        if (m.size() < 11)
            return fail(QStringLiteral("only %1 bytes").arg(m.size()));
        for (int i = 0; i < 9; ++i) {
            if (std::uint8_t(m[i]) != header[i])
                return fail(QStringLiteral("header byte %1 is 0x%2").arg(i).arg(std::uint8_t(m[i]), 0, 16));
        }
        if (std::uint8_t(m[m.size() - 1]) != 0xF7)
            return fail(QStringLiteral("does not end with 0xF7"));
        for (qsizetype i = 1; i < m.size() - 1; ++i) {
            if (std::uint8_t(m[i]) & 0x80)
                return fail(QStringLiteral("byte %1 has bit 7 set").arg(i));
        }
        const std::uint8_t command = std::uint8_t(m[9]);
        const QByteArray payload = m.mid(10, m.size() - 11);

        if (!multiPart_) {
            if (command != blockCommand())
                return fail(QStringLiteral("command 0x%1").arg(command, 0, 16));
            if (payload.size() != streamLength())
                return fail(QStringLiteral("%1 payload bytes").arg(payload.size()));
            return blockArrived(payload);
        }

        const int part = nextPart_;
        const std::uint8_t wanted = part == 0 ? blockCommand() : std::uint8_t(0x05 + part);
        if (command != wanted)
            return fail(QStringLiteral("command 0x%1 where part %2 (0x%3) was due").arg(command, 0, 16).arg(part).arg(wanted, 0, 16));
        const int from = part * PartSize;
        const int length = std::min(PartSize, streamLength() - from);
        if (payload.size() != length)
            return fail(QStringLiteral("part %1 has %2 payload bytes, not %3").arg(part).arg(payload.size()).arg(length));
        parts_[part] = payload;
        if (part != 0) {
            nextPart_ = part == lastPart() ? 0 : part + 1;
            if (afterPart_.remove({expected, part}))
                return resend();
            return acknowledge();
        }
        QByteArray stream;
        for (int w = 0; w <= lastPart(); ++w)
            stream += parts_[w];
        nextPart_ = 1;
        blockArrived(stream);
    }

    void blockArrived(const QByteArray &stream)
    {
        const std::uint32_t size = blockSize();
        const std::uint32_t address = (std::uint32_t(std::uint8_t(stream[0])) | std::uint32_t(std::uint8_t(stream[1])) << 7) << 8;
        if (address != expected)
            return fail(QStringLiteral("address 0x%1").arg(address, 0, 16));
        int sum = 0;
        for (int s = 3; s < stream.size(); ++s)
            sum += std::uint8_t(stream[s]);
        if ((sum & 0x7F) != std::uint8_t(stream[2]))
            return fail(QStringLiteral("checksum 0x%1, the packed bytes sum to 0x%2").arg(std::uint8_t(stream[2]), 0, 16).arg(sum & 0x7F, 0, 16));
        if (expected + size > FlashSize)
            return fail(QStringLiteral("block beyond the flash"));

        auto times = afterBlock_.find(expected);
        if (times != afterBlock_.end() && *times > 0) {
            --*times; // as if the checksum had not matched: the block is not written
            return resend();
        }
        for (std::uint32_t g = 0; g < size / 4; ++g) {
            const int at = 3 + int(g) * 5;
            const std::uint8_t flags = std::uint8_t(stream[at + 4]);
            for (int k = 0; k < 4; ++k)
                flash[expected + 4 * g + k] = std::uint8_t(stream[at + k]) | ((flags >> k & 1) << 7);
        }
        expected += size;
        acknowledge();
    }

    void acknowledge()
    {
        // Both acknowledgement commands occur; the host treats them alike.
        ++acks_;
        reply = frame(acks_ % 7 == 0 ? 0x25 : 0x24);
    }

    void resend()
    {
        ++resendsSent;
        reply = frame(blockSize() == 256 ? 0x27 : 0x26);
    }

    static QByteArray frame(int command)
    {
        const char bytes[] = {char(0xF0), 0x00, 0x11, 0x22, 0x02, 0x00, 0x00, 0x00, 0x00, char(command), char(0xF7)};
        return QByteArray(bytes, sizeof bytes);
    }

    bool multiPart_;
    int nextPart_ = 1;
    int acks_ = 0;
    QByteArray parts_[5];
    QByteArray reply;
    QMap<std::uint32_t, int> afterBlock_;
    QMap<QPair<std::uint32_t, int>, bool> afterPart_;
};

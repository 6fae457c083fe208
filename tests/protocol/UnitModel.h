#pragma once
// A model of the unit's side of a firmware transfer, written from the wire format alone
// (it shares no code with DeviceLink). It checks every message the host sends (frame,
// command, length, address, checksum, part order), writes each complete block into its own
// flash, and answers with an acknowledgement or, where the test planned one, a resend request.

#include "CaptureSink.h"

#include <QPair>
#include <QList>
#include <QString>

#include <algorithm>
#include <numeric>
#include <cstdint>
#include <vector>

class UnitModel : public Tarsyn::MessageSink {
public:
    static constexpr std::uint8_t Untouched = 0xAA; // flash where no block was written

    explicit UnitModel(bool multiPart) : flash(0x100000, Untouched), multiPart_(multiPart) {}

    bool sendLongMessage(const QByteArray &message) override
    {
        ++messages;
        last = message;
        reply.clear();
        if (error.isEmpty())
            error = take(message);
        return true;
    }

    // Planned resend requests, each used once: block offsets, answered once the block arrived
    // whole (in the multi-part form with its part 0, which restarts the block) ...
    QList<std::uint32_t> resendAfterBlock;
    // ... and (block offset, part): after that part of the multi-part form.
    QList<QPair<std::uint32_t, int>> resendAfterPart;

    int messages = 0, resendsSent = 0;
    QByteArray last, reply; // the last message and the answer to it (empty after an error)
    QString error;
    std::vector<std::uint8_t> flash;
    std::uint32_t expected = 0; // offset of the block the unit waits for

private:
    QString take(const QByteArray &m)
    {
        const std::uint32_t size = expected < 0x80000 ? 256 : 512;
        const int streamLength = 3 + int(size) / 4 * 5, lastPart = size == 256 ? 2 : 4;
        const auto fail = [&](const char *what) { return QStringLiteral("message %1 (block 0x%2): %3").arg(messages).arg(expected, 0, 16).arg(what); };
        if (m.size() < 11 || !m.startsWith(hostHeader(0).left(9)) || m.back() != char(0xF7))
            return fail("bad frame");
        if (std::any_of(m.begin() + 1, m.end() - 1, [](char c) { return c & 0x80; }))
            return fail("a data byte has bit 7 set");
        const int part = multiPart_ ? nextPart_ : 0;
        if (std::uint8_t(m[9]) != (part != 0 ? 0x05 + part : size == 256 ? 0x05 : 0x04))
            return fail("wrong command for the block or part due");
        parts_[part] = m.mid(10, m.size() - 11);
        if (parts_[part].size() != (multiPart_ ? std::min(132, streamLength - part * 132) : streamLength))
            return fail("wrong payload length");
        if (part != 0) {
            nextPart_ = part == lastPart ? 0 : part + 1;
            return answer(resendAfterPart.removeOne({expected, part}), size);
        }
        nextPart_ = 1;
        QByteArray s;
        for (int p = 0; p <= (multiPart_ ? lastPart : 0); ++p)
            s += parts_[p];
        if (((s[0] | s[1] << 7) << 8) != int(expected)) // every byte of the stream is below 0x80
            return fail("wrong address");
        if ((std::accumulate(s.begin() + 3, s.end(), 0) & 0x7F) != s[2])
            return fail("wrong checksum");
        if (expected + size > flash.size())
            return fail("block beyond the flash");
        if (resendAfterBlock.removeOne(expected))
            return answer(true, size); // as if the checksum had not matched: nothing written
        for (std::uint32_t i = 0; i < size; ++i) {
            const int group = 3 + int(i / 4) * 5;
            flash[expected + i] = std::uint8_t(s[group + int(i % 4)]) | (std::uint8_t(s[group + 4]) >> (i % 4) & 1) << 7;
        }
        expected += size;
        return answer(false, size);
    }

    // A resend request, or one of the two acknowledgements (the host treats them alike).
    QString answer(bool resend, std::uint32_t size)
    {
        resendsSent += resend;
        reply = hostHeader(resend ? (size == 256 ? 0x27 : 0x26) : ++acks_ % 7 == 0 ? 0x25 : 0x24) + bytes({0xF7});
        return {};
    }

    bool multiPart_;
    int nextPart_ = 1, acks_ = 0;
    QByteArray parts_[5];
};

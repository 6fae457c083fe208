#pragma once
// ReplyTimer: how long to wait for the unit's reply, learnt from the link. Each measured
// round trip feeds a smoothed estimate and its variation, as TCP's retransmission timer
// does (RFC 6298): timeout = SRTT + 4 x RTTVAR, but at least 2 x SRTT and MinTimeoutMs, at
// most MaxTimeoutMs. Before the first measurement the timeout is the initial one. Each repeat
// in a row doubles it (up to MaxTimeoutMs).
//
// It also knows how soon a reply can plausibly come: a reply that arrives in well under
// the link's typical round trip (the median of the recent ones) cannot answer the message
// just sent; it is an earlier reply delivered twice, or the host has run ahead of the unit.
//
// Plain value type; no clock of its own: the caller passes elapsed times in nanoseconds.

#include <QtGlobal>

#include <array>

namespace Tarsyn {

class ReplyTimer {
public:
    static constexpr int InitialTimeoutMs = 1000;
    static constexpr int MinTimeoutMs = 10;
    static constexpr int MaxTimeoutMs = 4000;

    void setInitialTimeout(int milliseconds) { initialMs_ = qBound(1, milliseconds, 600000); }
    int initialTimeout() const { return initialMs_; }

    // A round trip of a message that went out once and was answered in step.
    void addSample(qint64 nanoseconds);
    bool measured() const { return samples_ > 0; }

    // The timeout after `repeatsInARow` repeats of the current message.
    int timeoutMs(int repeatsInARow = 0) const;

    // True when a reply `elapsedNs` after the send is too soon to answer it.
    bool tooSoon(qint64 elapsedNs) const;

    qint64 smoothedNs() const { return srttNs_; }
    qint64 typicalNs() const;   // median of the recent round trips, 0 before any

private:
    static constexpr int Recent = 15;

    int initialMs_ = InitialTimeoutMs;
    qint64 srttNs_ = 0;
    qint64 rttvarNs_ = 0;
    int samples_ = 0;
    std::array<qint64, Recent> recent_{};
    int recentCount_ = 0;
    int recentNext_ = 0;
};

} // namespace Tarsyn

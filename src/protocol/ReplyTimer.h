#pragma once
// ReplyTimer: how long to wait for the unit's reply, learnt from the link. Each measured
// round trip feeds a smoothed estimate and its variation, as TCP's retransmission timer
// does (RFC 6298): timeout = SRTT + 4 x RTTVAR, but at least 2 x SRTT and MinTimeoutMs, at
// most MaxTimeoutMs. Before the first measurement the timeout is the initial one. Each repeat
// in a row doubles it (up to MaxTimeoutMs). Before a message goes out again the host waits at
// least MinRepeatMs: on a busy machine a MIDI server or the unit's side may be kept from
// running for tens of milliseconds, and a block sent twice costs far more than the wait (a
// unit that takes blocks only in order refuses the copy, which takes drains to sort out).
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
    static constexpr int MinRepeatMs = 25;
    static constexpr int MaxTimeoutMs = 4000;

    void setInitialTimeout(int milliseconds) { initialMs_ = qBound(1, milliseconds, 600000); }
    int initialTimeout() const { return initialMs_; }

    // A round trip of a message that went out once and was answered in step, as the host
    // saw it (for the timeout) and as the link made it (`linkNs`, for tooSoon(); -1: the
    // same), which leaves out the time replies waited for the host's thread.
    void addSample(qint64 nanoseconds, qint64 linkNs = -1);
    bool measured() const { return samples_ > 0; }

    // How long to wait for a reply after `repeatsInARow` repeats of the current message: for
    // a drain, and before the message goes out again.
    int timeoutMs(int repeatsInARow = 0) const { return timeoutWithFloor(repeatsInARow, MinTimeoutMs); }
    int repeatTimeoutMs(int repeatsInARow = 0) const { return timeoutWithFloor(repeatsInARow, MinRepeatMs); }

    // True when a reply `linkNs` after the send (on the link's time) is too soon to answer it.
    bool tooSoon(qint64 linkNs) const;

    qint64 smoothedNs() const { return srttNs_; }
    qint64 typicalNs() const;   // median of the recent round trips on the link's time, 0 before any

private:
    static constexpr int Recent = 15;

    int timeoutWithFloor(int repeatsInARow, int floorMs) const;

    int initialMs_ = InitialTimeoutMs;
    qint64 srttNs_ = 0;
    qint64 rttvarNs_ = 0;
    int samples_ = 0;
    std::array<qint64, Recent> recent_{};
    int recentCount_ = 0;
    int recentNext_ = 0;
};

} // namespace Tarsyn

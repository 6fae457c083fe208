#include "ReplyTimer.h"

#include <algorithm>

namespace Tarsyn {

namespace {
constexpr qint64 NsPerMs = 1000000;
// A reply this far below the typical round trip cannot be the answer. One host running one
// message ahead sees round trips alternate between d and RTT - d: one of them is at most
// half the round trip, so a share above one half catches it.
constexpr double EarlyShare = 0.6;
// Below this no link answers: MIDI servers work in cycles of a millisecond or more.
constexpr qint64 AlwaysEarlyNs = 300000;
}

void ReplyTimer::addSample(qint64 ns, qint64 linkNs)
{
    if (ns <= 0)
        return;
    if (linkNs <= 0)
        linkNs = ns;
    if (samples_ == 0) {
        srttNs_ = ns;
        rttvarNs_ = ns / 2;
    } else {
        const qint64 delta = srttNs_ > ns ? srttNs_ - ns : ns - srttNs_;
        rttvarNs_ = (3 * rttvarNs_ + delta) / 4;
        srttNs_ = (7 * srttNs_ + ns) / 8;
    }
    ++samples_;
    recent_[std::size_t(recentNext_)] = linkNs;
    recentNext_ = (recentNext_ + 1) % Recent;
    recentCount_ = std::min(recentCount_ + 1, Recent);
}

int ReplyTimer::timeoutWithFloor(int repeatsInARow, int floorMs) const
{
    qint64 ms = initialMs_;
    if (samples_ > 0) {
        // Never under twice the smoothed round trip: on a steady link the variation shrinks
        // towards nothing, and a slightly slower reply (a longer block, on a slow cable) must
        // not count as lost.
        ms = (srttNs_ + std::max(4 * rttvarNs_, srttNs_) + NsPerMs - 1) / NsPerMs;
        ms = std::clamp<qint64>(ms, floorMs, MaxTimeoutMs);
    }
    for (int i = 0; i < repeatsInARow && ms < MaxTimeoutMs; ++i)
        ms *= 2;
    // An initial timeout set above the ceiling is kept: it is the user's choice.
    return int(std::min<qint64>(ms, std::max<qint64>(MaxTimeoutMs, initialMs_)));
}

qint64 ReplyTimer::typicalNs() const
{
    if (recentCount_ == 0)
        return 0;
    std::array<qint64, Recent> sorted = recent_;
    std::sort(sorted.begin(), sorted.begin() + recentCount_);
    return sorted[std::size_t(recentCount_ / 2)];
}

bool ReplyTimer::tooSoon(qint64 linkNs) const
{
    if (linkNs < AlwaysEarlyNs)
        return true;
    // A few samples first: the first round trips of a link may be its slowest.
    if (recentCount_ < 3)
        return false;
    return double(linkNs) < EarlyShare * double(typicalNs());
}

} // namespace Tarsyn

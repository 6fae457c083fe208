#pragma once
// StallGuard: keeps a stop-and-wait exchange with the unit in step and recovers it from
// lost, late and doubled messages. The protocol has no sequence numbers, so the guard
// decides, reply by reply, whether a reply can be taken as the answer to the message just
// sent:
//   - a reply that comes in step (one copy of the message out, not too soon) is the answer.
//     How soon is judged by when the reply arrived (its MIDI event's stamp), not by when the
//     host's thread took it up;
//   - when the reply timeout (ReplyTimer) expires, the last message goes out again, and each
//     repeat doubles the timeout, for the messages after it too, until a reply comes in step
//     (the link may have become slower: as TCP keeps its backed-off timer, Karn's rule);
//   - a reply that comes too soon, or after a repeat went out (the unit may answer every
//     copy), is held: the guard collects replies until the link has been quiet for a
//     while (a drain) and then hands the owner everything that came (drained()). The owner
//     works out from that where the unit is, going back where in doubt;
//   - the owner may ask for a drain itself (a resend request, the end of a job, a
//     checkpoint), to see whether more replies than messages are about.
// The unit is given up when nothing at all has come from it for the silence span, or
// (optionally) after a number of repeats in a row that also took their time.
//
// The owner calls watch() after each new message that expects a reply, reply() for each
// reply of the awaited kinds, stop() when nothing is awaited. Replies of other kinds never
// reach the guard. Runs on the thread that owns it (its timers are QTimers, unless a test
// gives it a clock of its own).

#include "Clock.h"
#include "ReplyTimer.h"
#include "SysEx.h"

#include <QList>
#include <QObject>

namespace Tarsyn {

class DeviceLink;

class StallGuard : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultSilenceMs = 20000;
    static constexpr int DefaultMaxRepeats = 0;   // no limit: the silence span decides

    explicit StallGuard(DeviceLink &link, QObject *parent = nullptr);

    // The reply timeout before the link's round trip is known (ReplyTimer's initial one).
    void setTimeout(int milliseconds) { timer_.setInitialTimeout(milliseconds); }
    int timeout() const { return timer_.initialTimeout(); }
    // Repeats of one message in a row before giving up, once nothing has come for
    // (repeats + 1) x the initial timeout; 0: no limit.
    void setMaxRepeats(int repeats) { maxRepeats_ = qMax(0, repeats); }
    int maxRepeats() const { return maxRepeats_; }
    // Time without any reply before giving up; 0: never give up.
    void setSilenceSpan(int milliseconds) { silenceMs_ = qMax(0, milliseconds); }
    int silenceSpan() const { return silenceMs_; }
    // Timing checks (too-soon replies) need a real link: off for in-process test doubles.
    void setEchoFilter(bool on) { echoFilter_ = on; }
    // The time and the timers from `clock` (the system clock by default); while nothing is
    // awaited, since running timers are dropped.
    void setClock(Clock &clock);

    enum class Take {
        Answer,   // the reply answers the message just sent: act on it now
        Held,     // collected; drained() will follow
    };

    void watch();             // a new message went out; its reply is awaited
    // `arrivedNs`: when the reply arrived, on the guard's clock (the system clock's is
    // MidiEvent::arrivedNs()); -1: now.
    Take reply(ReplyCode code, qint64 arrivedNs = -1);
    // Collect replies until the link is quiet, then drained(). A thorough drain waits a whole
    // reply timeout after the last reply (the end of a job: nothing may still be on its way);
    // otherwise twice the smoothed round trip will do: a reply later than that meets the
    // checks again on the next exchange.
    void drain(bool thorough = false);
    void stop();              // nothing is awaited any more (also ends a drain)

    bool watching() const { return awaiting_; }
    bool draining() const { return draining_; }
    // The replies collected by the drain that just ended, in arrival order. When the guard
    // held a reply itself, it is the first.
    const QList<ReplyCode> &collected() const { return collected_; }

    int repeats() const { return repeats_; }           // all repeats since resetCount()
    int heldReplies() const { return held_; }          // replies held for a drain, likewise
    int repeatsInARow() const { return inARow_; }
    void resetCount() { repeats_ = 0; held_ = 0; inARow_ = 0; backoff_ = 0; }
    const ReplyTimer &replyTimer() const { return timer_; }
    int quietMs() const;      // how long the current drain waits after the last reply

signals:
    void repeated(int repeatsInARow);  // the last message went out again
    void drained();                    // a drain ended: see collected()
    void unitSilent();                 // nothing came for the silence span (or too many repeats)

private:
    void expired();
    void quietEnded();
    void startDrain(bool thorough);
    void armTimeout();

    DeviceLink &link_;
    ReplyTimer timer_;
    const Clock *clock_ = &Clock::system();
    ClockTimer replyTimeout_{[this] { expired(); }};
    ClockTimer quiet_{[this] { quietEnded(); }};
    ClockStamp sentAt_{Clock::system()};        // the current message's last copy
    ClockStamp firstSentAt_{Clock::system()};   // its first copy
    qint64 spreadNs_ = 0;      // from the first to the last copy, for the drain under way
    ClockStamp heardAt_{Clock::system()};       // the last reply of any awaited kind, or the start of waiting
    QList<ReplyCode> collected_;
    bool awaiting_ = false;
    bool draining_ = false;
    bool thorough_ = false;
    bool echoFilter_ = false;
    int copies_ = 0;
    int maxRepeats_ = DefaultMaxRepeats;
    int silenceMs_ = DefaultSilenceMs;
    int repeats_ = 0;
    int held_ = 0;
    int inARow_ = 0;
    int backoff_ = 0;          // doublings of the timeout kept until a reply comes in step
};

} // namespace Tarsyn

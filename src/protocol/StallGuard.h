#pragma once
// StallGuard: recovers a stop-and-wait exchange from a lost message. While the host awaits
// the unit's reply to the message it sent last, a reply timeout runs; when it expires the
// last message is sent again exactly as it was. After `maxRepeats` such repeats in a row
// with no reply, the guard gives up and emits unitSilent().
//
// Runs on the thread that owns it (a QTimer); the owner calls watch() after each send that
// expects a reply, settle() when the reply comes and stop() when nothing is awaited.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace Tarsyn {

class DeviceLink;

class StallGuard : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultTimeoutMs = 2000;
    static constexpr int DefaultMaxRepeats = 10;

    explicit StallGuard(DeviceLink &link, QObject *parent = nullptr);

    void setTimeout(int milliseconds);
    void setMaxRepeats(int repeats);
    int timeout() const { return timeoutMs_; }
    int maxRepeats() const { return maxRepeats_; }

    void watch();   // a reply is awaited from now on: (re)start the timeout
    void settle();  // the awaited reply came: the run of repeats ends, the timeout stops
    void stop();    // nothing is awaited any more

    bool watching() const { return timer_.isActive(); }

    // True when a reply arrives too soon to answer the message just sent: within half a
    // millisecond, on a link whose round trips have all taken 1 ms or more. Such a reply is
    // a second copy of the previous one (a MIDI system may deliver a message twice when a
    // client misses its cycle) and must not move the exchange on. Off unless enabled: only
    // a real MIDI link has a round trip to go by. The window is fixed, not a share of the
    // measured round trip, so that a slow first reply cannot make later ones look early.
    bool tooSoon() const;
    void setEchoFilter(bool on) { echoFilter_ = on; }
    int repeats() const { return repeats_; }          // all repeats since resetCount()
    int repeatsInARow() const { return inARow_; }
    void resetCount() { repeats_ = 0; inARow_ = 0; }

signals:
    void repeated(int repeatsInARow);  // the last message went out again
    void unitSilent();                 // maxRepeats repeats in a row brought no reply

private:
    void expired();

    DeviceLink &link_;
    QTimer timer_;
    QElapsedTimer sentAt_;
    qint64 shortestRoundTripNs_ = 0;
    bool echoFilter_ = false;
    int timeoutMs_ = DefaultTimeoutMs;
    int maxRepeats_ = DefaultMaxRepeats;
    int repeats_ = 0;
    int inARow_ = 0;
};

} // namespace Tarsyn

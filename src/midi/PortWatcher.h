#pragma once
// PortWatcher: follows the MIDI systems' ports while it exists, and says when to look at the
// port lists again. Internal to src/midi; a MidiPort that watches owns one.
//
// Systems with notices (JACK, the ALSA sequencer) are followed through a SystemWatch each: a
// notice, from whatever thread it comes, is posted to this object and answered on the
// owner's thread after a short settling time, so that a program that registers or removes
// several ports at once causes one look. A system that does not run is asked for again once a
// second; systems without notices are listed twice a second, every system four times a
// second while the owner has ports of others open. The owner's thread needs an event loop.

#include "MidiSystems.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

namespace Tarsyn::Midi {

class SystemWatch;

class PortWatcher : public QObject {
    Q_OBJECT
public:
    explicit PortWatcher(QObject *parent = nullptr);
    ~PortWatcher() override;

    // The ports in `direction` of every system that runs, in RtMidi's order of systems. A
    // system whose ports cannot be listed just now (a busy server) keeps its entries from
    // `previous`: a port is taken as gone only when the system says so.
    std::vector<PortEntry> list(Direction direction, const std::vector<PortEntry> &previous);
    // While the owner has ports of others open, systems with notices are listed as well,
    // every OpenPollMs: the ALSA sequencer announces a port's end only once the kernel has let
    // go of its subscribers, which for a USB MIDI device unplugged with bytes still to send
    // waits out the raw MIDI drain (10 s), while the port leaves the lists at once.
    void setPeersOpen(bool open);

signals:
    // Ports may have come, gone or been renamed: list them again.
    void lookAgain();

protected:
    bool event(QEvent *event) override;

private:
    struct System {
        RtMidi::Api api;
        bool hasNotices;
        std::unique_ptr<SystemWatch> watch;
    };

    bool openWatch(System &system);
    void settled();
    void retry();

    void updatePoll();

    std::vector<System> systems_;
    bool polled_ = false;      // a system without notices
    bool peersOpen_ = false;
    QTimer settle_;
    QTimer retry_;
    QTimer poll_;
};

} // namespace Tarsyn::Midi

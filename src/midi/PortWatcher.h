#pragma once
// PortWatcher: follows the MIDI systems' ports while it exists, and says when to look at the
// port lists again. Internal to src/midi; a MidiPort that watches owns one.
//
// Systems with notices (JACK, the ALSA sequencer) are followed through a SystemWatch each: a
// notice, from whatever thread it comes, is posted to this object and answered on the
// owner's thread after a short settling time, so that a program that registers or removes
// several ports at once causes one look. A system that does not run is asked for again once a
// second; systems without notices are listed twice a second. The owner's thread needs an
// event loop.

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

    std::vector<System> systems_;
    QTimer settle_;
    QTimer retry_;
    QTimer poll_;
};

} // namespace Tarsyn::Midi

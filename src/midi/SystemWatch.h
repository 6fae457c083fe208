#pragma once
// SystemWatch: the notices of one MIDI system that its ports have changed. Internal to
// src/midi; PortWatcher owns one per system that has such notices.
//
// `notify` may be called on any thread (JACK calls it on libjack's notification thread); it
// only says "look again", so spurious calls are harmless. Once the destructor has returned,
// it is not called any more.

#include "MidiSystems.h"

#include <functional>
#include <memory>
#include <vector>

namespace Tarsyn::Midi {

class SystemWatch {
public:
    using Notify = std::function<void()>;
    virtual ~SystemWatch() = default;

    // False once the system has gone (a JACK server that stopped): its ports have gone with
    // it, and the watch is dropped.
    virtual bool alive() const { return true; }
    // The system's ports, named as RtMidi names them, when the watch can list them with its
    // own client (cheaper and surer than a short-lived RtMidi client); false otherwise.
    virtual bool listPorts(Direction, std::vector<PortEntry> &) { return false; }
};

// True when `api` has notices that a watch can follow; the other systems are polled.
bool systemHasNotices(RtMidi::Api api);
// A watch on `api`, or null when the system does not run now (or has no notices). Runs on
// the owner's thread, which needs an event loop (ALSA's notices arrive through it).
std::unique_ptr<SystemWatch> openSystemWatch(RtMidi::Api api, const SystemWatch::Notify &notify);

#ifdef TARSYN_HAVE_JACK
std::unique_ptr<SystemWatch> openJackWatch(const SystemWatch::Notify &notify);   // JackWatch.cpp
#endif
#ifdef TARSYN_HAVE_ALSA
std::unique_ptr<SystemWatch> openAlsaWatch(const SystemWatch::Notify &notify);   // AlsaWatch.cpp
#endif

} // namespace Tarsyn::Midi

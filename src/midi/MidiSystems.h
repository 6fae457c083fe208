#pragma once
// The MIDI systems (RtMidi APIs) of this machine: which ones run, and their port lists.
// Internal to src/midi.
//
// The back-end libraries print their own diagnostics, RtMidi throws from its constructors,
// and libjack may even start a server when asked for a client. Everything here keeps them
// quiet: this process only ever uses a MIDI system that already runs, and reports nothing on
// the terminal. Every function runs on the caller's thread (the port pair's owner).

#include <rtmidi/RtMidi.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace Tarsyn::Midi {

// The client name that our own ports appear under, and their port names.
inline constexpr const char *ClientName = "tarsyn";
inline constexpr const char *InputPortName = "tarsyn in";
inline constexpr const char *OutputPortName = "tarsyn out";

// A busy MIDI server refuses a new client now and then; it is asked again, after 50, 100,
// 200 and 400 ms.
inline constexpr int ClientAttempts = 5;
void waitBeforeAttempt(int attempt);

// Silences the back ends' diagnostics, keeps libjack from starting a server and SIGPIPE from
// ending the program (the disposition is the process's); once per process.
void quietBackEnds();

// True when `api`'s system runs now (probed quietly; a busy JACK server is asked again).
bool systemRuns(RtMidi::Api api);
// The MIDI systems that run now, in RtMidi's order; TARSYN_MIDI_API names one (an unknown
// name selects none). Probes each with the quiet means of its own library.
std::vector<RtMidi::Api> startedApis();
// The systems that could be used, running or not, in the same order.
std::vector<RtMidi::Api> candidateApis();
// The systems of this build that TARSYN_MIDI_API may name, in RtMidi's order.
std::vector<RtMidi::Api> compiledApis();
// The value of TARSYN_MIDI_API when it names none of them (empty otherwise).
std::string unknownApiChoice();

// Ports we read from (another program's outputs) or write to (its inputs).
enum class Direction { Input, Output };

struct PortEntry {
    RtMidi::Api api;
    std::string name;   // as RtMidi names it
    bool operator==(const PortEntry &) const = default;
};

// True for the ports of our own pairs, in this program or another instance ("client:tarsyn
// in", and on ALSA with RtMidi's " 128:0" after it): never a unit's, so never listed.
bool isOwnPort(const std::string &name);

// An RtMidi input or output on `api`, with errors going to `errorFlag` instead of being
// printed or thrown; null when the system refuses a client.
std::unique_ptr<RtMidiIn> makeMidiIn(RtMidi::Api api, std::atomic<bool> *errorFlag);
std::unique_ptr<RtMidiOut> makeMidiOut(RtMidi::Api api, std::atomic<bool> *errorFlag);

// The ports of `api` in `direction` through a short-lived RtMidi client; false when no
// client could be had (the list is then unknown, not empty).
bool listPorts(RtMidi::Api api, Direction direction, std::vector<PortEntry> &entries);

// Opens a virtual port named `virtualName`, or else connects to the port `entry` names; the
// port of our own end is called `ownName`.
bool openRtMidiPort(RtMidi &midi, const PortEntry *entry, const std::string *virtualName, const char *ownName);

} // namespace Tarsyn::Midi

#pragma once
// MidiOutput: the output half of a port pair, on whichever MIDI system it was opened.
// Internal to src/midi. Owned and used on the port pair's owner thread.

#include <cstddef>
#include <memory>
#include <string>

namespace Tarsyn::Midi {

class MidiOutput {
public:
    // Closing waits briefly for messages already handed over to go out.
    virtual ~MidiOutput() = default;
    // Hands over one complete message; false when it cannot be sent.
    virtual bool send(const unsigned char *data, std::size_t size) = 0;
};

#ifdef TARSYN_HAVE_JACK
// An output port named `portName` of a JACK client of its own, connected to `destination`
// (a full port name) unless that is empty; null when any step fails. JackOutput.cpp.
std::unique_ptr<MidiOutput> openJackOutput(const std::string &portName, const std::string &destination);
#endif

} // namespace Tarsyn::Midi

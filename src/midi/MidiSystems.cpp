#include "MidiSystems.h"

#include <QByteArray>

#ifdef TARSYN_HAVE_JACK
#include <jack/jack.h>
#endif
#ifdef TARSYN_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

namespace Tarsyn::Midi {

namespace {

// Messages that RtMidi keeps for getMessage(); unused because input goes to a callback.
constexpr unsigned int InputQueueLimit = 16;

#ifdef TARSYN_HAVE_JACK
void silentJack(const char *) {}
#endif
#ifdef TARSYN_HAVE_ALSA
void silentAlsa(const char *, int, const char *, int, const char *, ...) {}
#endif

} // namespace

// RtMidi throws from constructors and prints warnings when a MIDI system is missing, so
// each system is probed first with the quiet means of its own library.
bool systemRuns(RtMidi::Api api)
{
    switch (api) {
    case RtMidi::LINUX_ALSA: {
#ifdef __linux__
        const int fd = ::open("/dev/snd/seq", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
#else
        return false;
#endif
    }
    case RtMidi::UNIX_JACK: {
#ifdef TARSYN_HAVE_JACK
        for (int attempt = 0; attempt < ClientAttempts; ++attempt) {
            waitBeforeAttempt(attempt);
            jack_status_t status{};
            if (jack_client_t *client = jack_client_open("tarsyn-probe", JackNoStartServer, &status)) {
                jack_client_close(client);
                return true;
            }
            if ((status & JackServerFailed) && attempt > 0)
                return false; // twice no server to talk to: none runs
        }
        return false;
#else
        return false;   // built without JACK: no quiet way to tell, and no output client
#endif
    }
    case RtMidi::UNSPECIFIED:
    case RtMidi::RTMIDI_DUMMY:
    case RtMidi::WEB_MIDI_API:
    case RtMidi::NUM_APIS:
        return false;
    default:
        return true;    // other platforms' systems: constructor errors are caught
    }
}

namespace {

// With an error callback set, RtMidi reports every error and warning through it instead of
// printing or throwing; the flag tells the caller that the last operation failed.
void recordError(RtMidiError::Type, const std::string &, void *flag)
{
    static_cast<std::atomic<bool> *>(flag)->store(true);
}

// RtMidi's constructors print their errors before any error callback can be set; their
// output goes nowhere while they run (they run on the owner's thread only).
class QuietStandardError {
public:
    QuietStandardError() : saved_(std::cerr.rdbuf(nullptr)) {}
    ~QuietStandardError()
    {
        std::cerr.rdbuf(saved_);
        std::cerr.clear();
    }
    QuietStandardError(const QuietStandardError &) = delete;
    QuietStandardError &operator=(const QuietStandardError &) = delete;

private:
    std::streambuf *saved_;
};

template <typename Midi>
std::unique_ptr<Midi> makeMidi(RtMidi::Api api, std::atomic<bool> *errorFlag)
{
    for (int attempt = 0; attempt < ClientAttempts; ++attempt) {
        waitBeforeAttempt(attempt);
        try {
            std::unique_ptr<Midi> midi;
            {
                QuietStandardError quiet;
                if constexpr (std::is_same_v<Midi, RtMidiIn>)
                    midi = std::make_unique<Midi>(api, ClientName, InputQueueLimit);
                else
                    midi = std::make_unique<Midi>(api, ClientName);
            }
            midi->setErrorCallback(recordError, errorFlag);
            return midi;
        } catch (const RtMidiError &) {
        }
    }
    return nullptr;
}

template <typename Midi>
bool listWith(RtMidi::Api api, std::vector<PortEntry> &entries)
{
    std::atomic<bool> failed{false};
    const auto midi = makeMidi<Midi>(api, &failed);
    if (!midi)
        return false;
    std::vector<PortEntry> found;
    try {
        const unsigned int count = midi->getPortCount();
        for (unsigned int i = 0; i < count; ++i) {
            std::string name = midi->getPortName(i);
            if (!name.empty())
                found.push_back({api, std::move(name)});
        }
    } catch (const RtMidiError &) {
        return false;
    }
    entries.insert(entries.end(), found.begin(), found.end());
    return !failed;
}

// The current number of the port named `name` on `midi`, or -1. Ports are opened by the
// name that the caller saw in the list, as numbers shift when other programs come and go.
int findPort(RtMidi &midi, const std::string &name)
{
    const unsigned int count = midi.getPortCount();
    for (unsigned int i = 0; i < count; ++i) {
        if (midi.getPortName(i) == name)
            return int(i);
    }
    return -1;
}

} // namespace

void waitBeforeAttempt(int attempt)
{
    if (attempt > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(25 << attempt));
}

void quietBackEnds()
{
    static std::once_flag once;
    std::call_once(once, [] {
#ifndef _WIN32
        ::setenv("JACK_NO_START_SERVER", "1", 0);
        // A write into a pipe or socket whose reader has gone must fail, not end the program
        // mid-job: our standard output read by a pipe whose reader quit (`| head`, a closed
        // `tee`), or libjack's socket to a server that has just stopped (libjack writes
        // without MSG_NOSIGNAL and guards only the threads that block SIGPIPE).
        std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef TARSYN_HAVE_JACK
        jack_set_error_function(silentJack);
        jack_set_info_function(silentJack);
#endif
#ifdef TARSYN_HAVE_ALSA
        snd_lib_error_set_handler(silentAlsa);
#endif
    });
}

std::vector<RtMidi::Api> compiledApis()
{
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    std::erase(apis, RtMidi::RTMIDI_DUMMY);
#ifndef TARSYN_HAVE_JACK
    std::erase(apis, RtMidi::UNIX_JACK);   // RtMidi's JACK without our client and probe: unusable
#endif
    return apis;
}

std::string unknownApiChoice()
{
    const QByteArray chosen = qgetenv("TARSYN_MIDI_API").trimmed();
    if (chosen.isEmpty())
        return {};
    const RtMidi::Api api = RtMidi::getCompiledApiByName(chosen.toLower().toStdString());
    const std::vector<RtMidi::Api> apis = compiledApis();
    return std::find(apis.begin(), apis.end(), api) == apis.end() ? chosen.toStdString() : std::string();
}

std::vector<RtMidi::Api> candidateApis()
{
    quietBackEnds();
    std::vector<RtMidi::Api> candidates;
    const QByteArray chosen = qgetenv("TARSYN_MIDI_API").trimmed();
    if (chosen.isEmpty()) {
        candidates = compiledApis();
    } else {
        const RtMidi::Api api = RtMidi::getCompiledApiByName(chosen.toLower().toStdString());
        if (api != RtMidi::UNSPECIFIED)
            candidates.push_back(api);
    }
    return candidates;
}

std::vector<RtMidi::Api> startedApis()
{
    std::vector<RtMidi::Api> apis;
    for (RtMidi::Api api : candidateApis()) {
        if (systemRuns(api))
            apis.push_back(api);
    }
    return apis;
}

bool isOwnPort(const std::string &name)
{
    for (const char *own : {InputPortName, OutputPortName}) {
        const std::string part = std::string(":") + own;
        const std::size_t at = name.find(part);
        if (at == std::string::npos)
            continue;
        const std::string rest = name.substr(at + part.size());
        if (rest.empty())
            return true;
        // " client:port" and nothing else.
        const std::size_t colon = rest.find(':');
        const auto digits = [](const std::string &text) {
            return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
        };
        if (rest[0] == ' ' && colon != std::string::npos && digits(rest.substr(1, colon - 1))
            && digits(rest.substr(colon + 1)))
            return true;
    }
    return false;
}

std::unique_ptr<RtMidiIn> makeMidiIn(RtMidi::Api api, std::atomic<bool> *errorFlag)
{
    return makeMidi<RtMidiIn>(api, errorFlag);
}

std::unique_ptr<RtMidiOut> makeMidiOut(RtMidi::Api api, std::atomic<bool> *errorFlag)
{
    return makeMidi<RtMidiOut>(api, errorFlag);
}

bool listPorts(RtMidi::Api api, Direction direction, std::vector<PortEntry> &entries)
{
    return direction == Direction::Input ? listWith<RtMidiIn>(api, entries) : listWith<RtMidiOut>(api, entries);
}

bool openRtMidiPort(RtMidi &midi, const PortEntry *entry, const std::string *virtualName, const char *ownName)
{
    try {
        if (virtualName) {
            midi.openVirtualPort(*virtualName);
            return true;
        }
        const int number = findPort(midi, entry->name);
        if (number < 0)
            return false;
        midi.openPort(unsigned(number), ownName);
        return midi.isPortOpen();
    } catch (const RtMidiError &) {
        return false;
    }
}

} // namespace Tarsyn::Midi

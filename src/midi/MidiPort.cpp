#include "MidiPort.h"
#include "MidiEvent.h"

#include <QCoreApplication>

#include <rtmidi/RtMidi.h>

#ifdef TARSYN_HAVE_JACK
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#endif
#ifdef TARSYN_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Tarsyn {

namespace {

constexpr const char *ClientName = "tarsyn";
// A busy JACK server refuses a new client now and then; it is asked again, after 50, 100,
// 200 and 400 ms.
constexpr int ClientAttempts = 5;
void waitBeforeAttempt(int attempt)
{
    if (attempt > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(25 << attempt));
}
constexpr const char *InputPortName = "tarsyn in";
constexpr const char *OutputPortName = "tarsyn out";

// Messages that RtMidi keeps for getMessage(); unused because input goes to the callback.
constexpr unsigned int InputQueueLimit = 16;
// Parser buffer of the ALSA back end: one SysEx of ours (at most 654 bytes) fits whole.
constexpr unsigned int InputBufferSize = 2048;
constexpr unsigned int InputBufferCount = 4;

#ifdef TARSYN_HAVE_JACK
void silentJack(const char *) {}
#endif
#ifdef TARSYN_HAVE_ALSA
void silentAlsa(const char *, int, const char *, int, const char *, ...) {}
#endif

// The back-end libraries print their own diagnostics and libjack may even start a server
// when asked for a client. This process only ever uses a server that already runs, and
// reports nothing on the terminal.
void quietBackEnds()
{
    static std::once_flag once;
    std::call_once(once, [] {
#ifndef _WIN32
        ::setenv("JACK_NO_START_SERVER", "1", 0);
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
        // A busy server may refuse a client now and then: ask again before giving up.
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
        return false;   // no quiet way to tell whether a server runs
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

// The MIDI systems to use, in RtMidi's order; TARSYN_MIDI_API names one (an unknown name
// selects none).
std::vector<RtMidi::Api> startedApis()
{
    quietBackEnds();
    std::vector<RtMidi::Api> candidates;
    const QByteArray chosen = qgetenv("TARSYN_MIDI_API").trimmed();
    if (chosen.isEmpty()) {
        RtMidi::getCompiledApi(candidates);
    } else {
        const RtMidi::Api api = RtMidi::getCompiledApiByName(chosen.toLower().toStdString());
        if (api != RtMidi::UNSPECIFIED)
            candidates.push_back(api);
    }
    std::vector<RtMidi::Api> apis;
    for (RtMidi::Api api : candidates) {
        if (systemRuns(api))
            apis.push_back(api);
    }
    return apis;
}

// With an error callback set, RtMidi reports every error and warning through it instead of
// printing or throwing; the flag tells the caller that the last operation failed.
void recordError(RtMidiError::Type, const std::string &, void *flag)
{
    static_cast<std::atomic<bool> *>(flag)->store(true);
}

struct PortEntry {
    RtMidi::Api api;
    std::string name;
};

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

private:
    std::streambuf *saved_;
};

template <typename Midi>
std::unique_ptr<Midi> makeMidi(RtMidi::Api api, std::atomic<bool> *errorFlag)
{
    // A busy MIDI server may refuse a client now and then: ask again before giving up.
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
std::vector<PortEntry> listPorts(const std::vector<RtMidi::Api> &apis)
{
    std::vector<PortEntry> entries;
    for (RtMidi::Api api : apis) {
        std::atomic<bool> failed{false};
        const auto midi = makeMidi<Midi>(api, &failed);
        if (!midi)
            continue;
        try {
            const unsigned int count = midi->getPortCount();
            for (unsigned int i = 0; i < count; ++i) {
                std::string name = midi->getPortName(i);
                if (!name.empty())
                    entries.push_back({api, std::move(name)});
            }
        } catch (const RtMidiError &) {
        }
    }
    return entries;
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

// Opens a virtual port named `virtualName`, or else connects to the port `entry` names; the
// port of our own end is called `ownName`.
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

#ifdef TARSYN_HAVE_JACK
// The output half on JACK, on libjack directly. RtMidi's JACK output frees its ring buffer
// while its client's process thread may still be reading it (the client is closed only
// afterwards), which crashes now and then on close. Here the client is deactivated, which
// stops its process thread, before anything that thread uses is freed.
class JackOutput {
public:
    JackOutput() = default;
    JackOutput(const JackOutput &) = delete;
    JackOutput &operator=(const JackOutput &) = delete;
    ~JackOutput()
    {
        if (client_) {
            if (active_)
                drain();
            jack_deactivate(client_);
            jack_client_close(client_);
        }
        if (buffer_)
            jack_ringbuffer_free(buffer_);
    }

    // Opens a client and an output port named `portName`; connects it to `destination`
    // (a full port name) unless that is empty.
    bool open(const std::string &portName, const std::string &destination)
    {
        for (int attempt = 0; attempt < ClientAttempts && !client_; ++attempt) {
            waitBeforeAttempt(attempt);
            jack_status_t status{};
            client_ = jack_client_open(ClientName, JackNoStartServer, &status);
        }
        if (!client_)
            return false;
        buffer_ = jack_ringbuffer_create(BufferSize);
        if (!buffer_)
            return false;
        port_ = jack_port_register(client_, portName.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                   JackPortIsOutput, 0);
        if (!port_ || jack_set_process_callback(client_, &JackOutput::process, this) != 0
            || jack_activate(client_) != 0)
            return false;
        active_ = true;
        return destination.empty()
               || jack_connect(client_, jack_port_name(port_), destination.c_str()) == 0;
    }

    // Queues one message for the next process cycle; false when it does not fit.
    bool send(const unsigned char *data, size_t size)
    {
        const auto length = std::uint32_t(size);
        if (size > MaxMessageSize
            || jack_ringbuffer_write_space(buffer_) < sizeof length + size)
            return false;
        jack_ringbuffer_write(buffer_, reinterpret_cast<const char *>(&length), sizeof length);
        jack_ringbuffer_write(buffer_, reinterpret_cast<const char *>(data), size);
        return true;
    }

private:
    static constexpr size_t BufferSize = 16384;
    static constexpr size_t MaxMessageSize = 4096;
    static constexpr auto DrainLimit = std::chrono::seconds(1);

    static int process(jack_nframes_t frames, void *self)
    {
        auto *o = static_cast<JackOutput *>(self);
        void *port = jack_port_get_buffer(o->port_, frames);
        jack_midi_clear_buffer(port);
        std::uint32_t length = 0;
        for (bool first = true;
             jack_ringbuffer_peek(o->buffer_, reinterpret_cast<char *>(&length), sizeof length)
                 == sizeof length
             && jack_ringbuffer_read_space(o->buffer_) >= sizeof length + length;
             first = false) {
            // What does not fit into this cycle's buffer waits for the next cycle; only a
            // message too long for an empty buffer is dropped.
            jack_midi_data_t *event = jack_midi_event_reserve(port, 0, length);
            if (!event && !first)
                break;
            jack_ringbuffer_read_advance(o->buffer_, sizeof length);
            if (event)
                jack_ringbuffer_read(o->buffer_, reinterpret_cast<char *>(event), length);
            else
                jack_ringbuffer_read_advance(o->buffer_, length);
        }
        o->cycles_.fetch_add(1);
        return 0;
    }

    // Waits, briefly, until the messages already queued have left in a completed cycle.
    void drain()
    {
        const auto deadline = std::chrono::steady_clock::now() + DrainLimit;
        const auto waitFor = [&](auto done) {
            while (!done()) {
                if (std::chrono::steady_clock::now() >= deadline)
                    return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return true;
        };
        if (!waitFor([&] { return jack_ringbuffer_read_space(buffer_) == 0; }))
            return;
        // The cycle that took the last message may still be running: wait for a later one.
        const unsigned seen = cycles_.load();
        waitFor([&] { return cycles_.load() - seen >= 2; });
    }

    jack_client_t *client_ = nullptr;
    jack_port_t *port_ = nullptr;
    jack_ringbuffer_t *buffer_ = nullptr;
    bool active_ = false;
    std::atomic<unsigned> cycles_{0};
};
#endif

} // namespace

struct MidiPort::Impl {
    std::vector<PortEntry> inputs;
    std::vector<PortEntry> outputs;
    bool inputsListed = false;
    bool outputsListed = false;
    RtMidi::Api openApi = RtMidi::UNSPECIFIED; // the MIDI system of the open ports

    // Set by RtMidi's error callback, on the thread of the failing call.
    std::atomic<bool> inError{false};
    std::atomic<bool> outError{false};

    // Read by the input callback on the MIDI system's thread.
    std::atomic<bool> closing{false};
    std::atomic<QObject *> receiver{nullptr};
    // Callbacks currently past their closing check; close() waits for none.
    std::atomic<int> callbacksRunning{0};

    // Declared last: the RtMidi objects refer to the fields above until they are gone.
    std::unique_ptr<RtMidiIn> in;
    std::unique_ptr<RtMidiOut> out;
#ifdef TARSYN_HAVE_JACK
    std::unique_ptr<JackOutput> jackOut;   // the output half on JACK, instead of `out`
#endif

    bool outputIsOpen() const
    {
#ifdef TARSYN_HAVE_JACK
        if (jackOut)
            return true;
#endif
        return out != nullptr;
    }
    void closeOutput()
    {
        // Both wait briefly for messages already handed over to go out.
#ifdef TARSYN_HAVE_JACK
        jackOut.reset();
#endif
        out.reset();
    }

    static void inputCallback(double, std::vector<unsigned char> *message, void *self);

    void refreshInputs()
    {
        inputs = listPorts<RtMidiIn>(startedApis());
        inputsListed = true;
    }
    void refreshOutputs()
    {
        outputs = listPorts<RtMidiOut>(startedApis());
        outputsListed = true;
    }
    bool openInput(const PortEntry *entry, const std::string *virtualName);
    bool openOutput(const PortEntry *entry, const std::string *virtualName);
    void closeInput();
};

void MidiPort::Impl::inputCallback(double, std::vector<unsigned char> *message, void *self)
{
    auto *d = static_cast<Impl *>(self);
    // Counting first and checking closing second pairs with close(), which sets closing
    // first and then waits for the count to drop: either this call sees closing, or close
    // sees this call and waits for it (both sequentially consistent).
    d->callbacksRunning.fetch_add(1);
    if (!d->closing.load() && message && !message->empty() && message->front() == 0xF0) {
        if (QObject *receiver = d->receiver.load()) {
            QByteArray bytes(reinterpret_cast<const char *>(message->data()),
                             qsizetype(message->size()));
            QCoreApplication::postEvent(receiver, new MidiEvent(std::move(bytes)));
        }
    }
    d->callbacksRunning.fetch_sub(1);
}

bool MidiPort::Impl::openInput(const PortEntry *entry, const std::string *virtualName)
{
    const RtMidi::Api api = entry ? entry->api : openApi;
    inError = false;
    auto midi = makeMidi<RtMidiIn>(api, &inError);
    if (!midi)
        return false;
    try {
        midi->ignoreTypes(false, true, true);
        midi->setBufferSize(InputBufferSize, InputBufferCount);
        // Set before the port opens, so that no message goes to RtMidi's own queue.
        midi->setCallback(&Impl::inputCallback, this);
    } catch (const RtMidiError &) {
        return false;
    }
    if (!openRtMidiPort(*midi, entry, virtualName, InputPortName) || inError)
        return false;
    in = std::move(midi);
    openApi = api;
    return true;
}

bool MidiPort::Impl::openOutput(const PortEntry *entry, const std::string *virtualName)
{
    const RtMidi::Api api = entry ? entry->api : openApi;
#ifdef TARSYN_HAVE_JACK
    if (api == RtMidi::UNIX_JACK) {
        auto jack = std::make_unique<JackOutput>();
        if (!jack->open(virtualName ? *virtualName : OutputPortName,
                        virtualName ? std::string() : entry->name))
            return false;
        jackOut = std::move(jack);
        openApi = api;
        return true;
    }
#endif
    outError = false;
    auto midi = makeMidi<RtMidiOut>(api, &outError);
    if (!midi)
        return false;
    if (!openRtMidiPort(*midi, entry, virtualName, OutputPortName) || outError)
        return false;
    out = std::move(midi);
    openApi = api;
    return true;
}

void MidiPort::Impl::closeInput()
{
    if (!in)
        return;
    closing.store(true);
    while (callbacksRunning.load() != 0)
        std::this_thread::yield();
    // Destroying the RtMidi object closes the back end's client, which stops its thread:
    // after this no callback runs at all. (cancelCallback() is not used: RtMidi clears the
    // callback pointer without synchronising with a running back-end thread.)
    in.reset();
}

MidiPort::MidiPort() : d(std::make_unique<Impl>())
{
    quietBackEnds();
}

MidiPort::~MidiPort()
{
    close();
}

QString MidiPort::inputDeviceName(unsigned index)
{
    if (index == 0 || !d->inputsListed)
        d->refreshInputs();
    if (index >= d->inputs.size())
        return {};
    return QString::fromStdString(d->inputs[index].name);
}

QString MidiPort::outputDeviceName(unsigned index)
{
    if (index == 0 || !d->outputsListed)
        d->refreshOutputs();
    if (index >= d->outputs.size())
        return {};
    return QString::fromStdString(d->outputs[index].name);
}

QStringList MidiPort::inputDeviceNames()
{
    d->refreshInputs();
    QStringList names;
    for (const PortEntry &entry : d->inputs)
        names << QString::fromStdString(entry.name);
    return names;
}

QStringList MidiPort::outputDeviceNames()
{
    d->refreshOutputs();
    QStringList names;
    for (const PortEntry &entry : d->outputs)
        names << QString::fromStdString(entry.name);
    return names;
}

bool MidiPort::open(int inputIndex, int outputIndex)
{
    close();
    d->closing = false;
    if (!d->inputsListed)
        d->refreshInputs();
    if (!d->outputsListed)
        d->refreshOutputs();
    const bool inputOk = inputIndex >= 0 && size_t(inputIndex) < d->inputs.size()
                         && d->openInput(&d->inputs[size_t(inputIndex)], nullptr);
    const bool outputOk = outputIndex >= 0 && size_t(outputIndex) < d->outputs.size()
                          && d->openOutput(&d->outputs[size_t(outputIndex)], nullptr);
    return inputOk && outputOk;
}

bool MidiPort::openVirtual(const QString &name)
{
    close();
    d->closing = false;
    const std::vector<RtMidi::Api> apis = startedApis();
    if (apis.empty())
        return false;
    d->openApi = apis.front();
    const std::string inName = (name + QStringLiteral(" in")).toStdString();
    const std::string outName = (name + QStringLiteral(" out")).toStdString();
    const bool inputOk = d->openInput(nullptr, &inName);
    const bool outputOk = d->openOutput(nullptr, &outName);
    return inputOk && outputOk;
}

int MidiPort::close()
{
    d->closeInput();
    d->closeOutput();
    return 0;
}

bool MidiPort::inputOpen() const
{
    return d->in != nullptr;
}

bool MidiPort::outputOpen() const
{
    return d->outputIsOpen();
}

bool MidiPort::sendLongMessage(const QByteArray &message)
{
    if (message.isEmpty())
        return false;
#ifdef TARSYN_HAVE_JACK
    if (d->jackOut)
        return d->jackOut->send(reinterpret_cast<const unsigned char *>(message.constData()),
                                size_t(message.size()));
#endif
    if (!d->out)
        return false;
    d->outError = false;
    try {
        d->out->sendMessage(reinterpret_cast<const unsigned char *>(message.constData()),
                            size_t(message.size()));
    } catch (const RtMidiError &) {
        return false;
    }
    return !d->outError;
}

void MidiPort::setReceiver(QObject *receiver)
{
    d->receiver.store(receiver);
}

QString MidiPort::apiName() const
{
    RtMidi::Api api = RtMidi::UNSPECIFIED;
    if (d->in || d->outputIsOpen()) {
        api = d->openApi;
    } else {
        const std::vector<RtMidi::Api> apis = startedApis();
        if (!apis.empty())
            api = apis.front();
    }
    if (api == RtMidi::UNSPECIFIED)
        return {};
    return QString::fromStdString(RtMidi::getApiName(api));
}

} // namespace Tarsyn

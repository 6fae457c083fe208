// The output half on JACK, on libjack directly. RtMidi's JACK output frees its ring buffer
// while its client's process thread may still be reading it (the client is closed only
// afterwards), which crashes now and then on close. Here the client is deactivated, which
// stops its process thread, before anything that thread uses is freed.
#include "MidiOutput.h"
#include "MidiSystems.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace Tarsyn::Midi {

namespace {

class JackOutput : public MidiOutput {
public:
    JackOutput() = default;
    JackOutput(const JackOutput &) = delete;
    JackOutput &operator=(const JackOutput &) = delete;
    ~JackOutput() override
    {
        if (client_) {
            if (active_ && !serverGone_.load())
                drain();
            jack_deactivate(client_);
            jack_client_close(client_);
        }
        if (buffer_)
            jack_ringbuffer_free(buffer_);
    }

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
        if (!port_ || jack_set_process_callback(client_, &JackOutput::process, this) != 0)
            return false;
        // A server that stops runs no more cycles: closing then waits for none.
        jack_on_shutdown(client_, &JackOutput::shutDown, this);
        if (jack_activate(client_) != 0)
            return false;
        active_ = true;
        return destination.empty()
               || jack_connect(client_, jack_port_name(port_), destination.c_str()) == 0;
    }

    // Queues one message for the next process cycle; false when it does not fit.
    bool send(const unsigned char *data, std::size_t size) override
    {
        const auto length = std::uint32_t(size);
        if (size > MaxMessageSize || serverGone_.load()
            || jack_ringbuffer_write_space(buffer_) < sizeof length + size)
            return false;
        jack_ringbuffer_write(buffer_, reinterpret_cast<const char *>(&length), sizeof length);
        jack_ringbuffer_write(buffer_, reinterpret_cast<const char *>(data), size);
        return true;
    }

private:
    static constexpr std::size_t BufferSize = 16384;
    static constexpr std::size_t MaxMessageSize = 4096;
    static constexpr auto DrainLimit = std::chrono::seconds(1);

    // On the client's process thread.
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

    // On libjack's own thread, when the server stops or throws the client out.
    static void shutDown(void *self) { static_cast<JackOutput *>(self)->serverGone_.store(true); }

    // Waits, briefly, until the messages already queued have left in a completed cycle.
    void drain()
    {
        const auto deadline = std::chrono::steady_clock::now() + DrainLimit;
        const auto waitFor = [&](auto done) {
            while (!done()) {
                if (serverGone_.load() || std::chrono::steady_clock::now() >= deadline)
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
    std::atomic<bool> serverGone_{false};
};

} // namespace

std::unique_ptr<MidiOutput> openJackOutput(const std::string &portName, const std::string &destination)
{
    auto output = std::make_unique<JackOutput>();
    if (!output->open(portName, destination))
        return nullptr;
    return output;
}

} // namespace Tarsyn::Midi

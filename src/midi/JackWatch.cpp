// The JACK server's notices: a client of our own, with no ports and no process callback (so
// it takes no part in the server's cycles), told of every port that is registered,
// unregistered or renamed, and of the server's end.
#include "SystemWatch.h"

#include <jack/jack.h>

#include <atomic>

namespace Tarsyn::Midi {

namespace {

class JackWatch : public SystemWatch {
public:
    explicit JackWatch(SystemWatch::Notify notify) : notify_(std::move(notify)) {}
    JackWatch(const JackWatch &) = delete;
    JackWatch &operator=(const JackWatch &) = delete;
    ~JackWatch() override
    {
        // Closing the client stops libjack's notification thread: no callback runs after it.
        if (client_)
            jack_client_close(client_);
    }

    bool open()
    {
        // One attempt: when no server runs this fails at once; the watcher tries again later.
        jack_status_t status{};
        client_ = jack_client_open("tarsyn-watch", JackNoStartServer, &status);
        if (!client_)
            return false;
        jack_set_port_registration_callback(client_, &JackWatch::portRegistered, this);
        jack_set_port_rename_callback(client_, &JackWatch::portRenamed, this);
        jack_on_shutdown(client_, &JackWatch::shutDown, this);
        return jack_activate(client_) == 0;
    }

    bool alive() const override { return !gone_.load(); }

    bool listPorts(Direction direction, std::vector<PortEntry> &entries) override
    {
        if (gone_.load())
            return false;
        // As RtMidi lists them: the ports we read from are the other clients' outputs.
        const char **ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE,
                                            direction == Direction::Input ? JackPortIsOutput : JackPortIsInput);
        if (!ports)
            return true;   // none
        for (const char **p = ports; *p; ++p)
            entries.push_back({RtMidi::UNIX_JACK, *p});
        jack_free(ports);
        return true;
    }

private:
    // On libjack's notification thread.
    static void portRegistered(jack_port_id_t, int, void *self) { static_cast<JackWatch *>(self)->notify_(); }
    static void portRenamed(jack_port_id_t, const char *, const char *, void *self)
    {
        static_cast<JackWatch *>(self)->notify_();
    }
    static void shutDown(void *self)
    {
        auto *watch = static_cast<JackWatch *>(self);
        watch->gone_.store(true);
        watch->notify_();
    }

    SystemWatch::Notify notify_;
    jack_client_t *client_ = nullptr;
    std::atomic<bool> gone_{false};
};

} // namespace

std::unique_ptr<SystemWatch> openJackWatch(const SystemWatch::Notify &notify)
{
    quietBackEnds();
    auto watch = std::make_unique<JackWatch>(notify);
    if (!watch->open())
        return nullptr;
    return watch;
}

} // namespace Tarsyn::Midi

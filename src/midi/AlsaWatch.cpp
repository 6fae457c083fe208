// The ALSA sequencer's notices: a client of our own subscribed to the system's announce
// port, which tells of every port that starts, ends or changes. Its events are read on the
// owner's thread, when its descriptor becomes readable. The same client lists the ports, as
// RtMidi lists them: a look after a notice starts and ends no RtMidi clients of its own (two
// per look before: a sequencer client each, the input's with a queue of its own).
#include "SystemWatch.h"

#include <QSocketNotifier>

#include <alsa/asoundlib.h>

#include <poll.h>

#include <memory>
#include <string>
#include <vector>

namespace Tarsyn::Midi {

namespace {

class AlsaWatch : public SystemWatch {
public:
    explicit AlsaWatch(SystemWatch::Notify notify) : notify_(std::move(notify)) {}
    AlsaWatch(const AlsaWatch &) = delete;
    AlsaWatch &operator=(const AlsaWatch &) = delete;
    ~AlsaWatch() override
    {
        notifiers_.clear();
        if (seq_)
            snd_seq_close(seq_);
    }

    bool open()
    {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) {
            seq_ = nullptr;
            return false;
        }
        snd_seq_set_client_name(seq_, "tarsyn-watch");
        // Writable by the system client only: no subscriber may write to it, and RtMidi
        // lists only ports that others can subscribe to, so it appears in no port list.
        const int port = snd_seq_create_simple_port(seq_, "announce", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                     SND_SEQ_PORT_TYPE_APPLICATION);
        if (port < 0 || snd_seq_connect_from(seq_, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0)
            return false;
        const int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
        std::vector<pollfd> fds(size_t(count > 0 ? count : 0));
        if (fds.empty() || snd_seq_poll_descriptors(seq_, fds.data(), unsigned(fds.size()), POLLIN) <= 0)
            return false;
        for (const pollfd &fd : fds) {
            auto notifier = std::make_unique<QSocketNotifier>(fd.fd, QSocketNotifier::Read);
            QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [this] { readEvents(); });
            notifiers_.push_back(std::move(notifier));
        }
        return true;
    }

    bool listPorts(Direction direction, std::vector<PortEntry> &entries) override
    {
        // RtMidi's choice and names: every client's MIDI, synth and application ports but the
        // system's, that others may read from (input) or write to (output), as
        // "client:port client-number:port-number".
        const unsigned int wanted = direction == Direction::Input ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                                                  : SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
        constexpr unsigned int MidiTypes = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH
                                           | SND_SEQ_PORT_TYPE_APPLICATION;
        snd_seq_client_info_t *client = nullptr;
        snd_seq_port_info_t *port = nullptr;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(seq_, client) >= 0) {
            const int number = snd_seq_client_info_get_client(client);
            if (number == SND_SEQ_CLIENT_SYSTEM)
                continue;
            snd_seq_port_info_set_client(port, number);
            snd_seq_port_info_set_port(port, -1);
            while (snd_seq_query_next_port(seq_, port) >= 0) {
                if ((snd_seq_port_info_get_type(port) & MidiTypes) == 0
                    || (snd_seq_port_info_get_capability(port) & wanted) != wanted)
                    continue;
                entries.push_back({RtMidi::LINUX_ALSA, std::string(snd_seq_client_info_get_name(client)) + ':'
                                                           + snd_seq_port_info_get_name(port) + ' '
                                                           + std::to_string(number) + ':'
                                                           + std::to_string(snd_seq_port_info_get_port(port))});
            }
        }
        return true;
    }

private:
    void readEvents()
    {
        bool changed = false;
        for (;;) {
            snd_seq_event_t *event = nullptr;
            const int result = snd_seq_event_input(seq_, &event);
            if (result == -ENOSPC) {
                changed = true;   // the input queue overran: events were lost
                continue;
            }
            if (result < 0 || !event)
                break;
            switch (event->type) {
            case SND_SEQ_EVENT_PORT_START:
            case SND_SEQ_EVENT_PORT_EXIT:
            case SND_SEQ_EVENT_PORT_CHANGE:
                changed = true;
                break;
            default:
                // Clients that start, change and end without ports, such as RtMidi's own
                // listing clients, change no list (and reacting to them would look again
                // for ever).
                break;
            }
        }
        if (changed)
            notify_();
    }

    SystemWatch::Notify notify_;
    snd_seq_t *seq_ = nullptr;
    std::vector<std::unique_ptr<QSocketNotifier>> notifiers_;
};

} // namespace

std::unique_ptr<SystemWatch> openAlsaWatch(const SystemWatch::Notify &notify)
{
    quietBackEnds();
    auto watch = std::make_unique<AlsaWatch>(notify);
    if (!watch->open())
        return nullptr;
    return watch;
}

} // namespace Tarsyn::Midi

#include "MidiPort.h"
#include "MidiEvent.h"
#include "MidiOutput.h"
#include "MidiSystems.h"
#include "PortWatcher.h"

#include <QCoreApplication>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Tarsyn {

using namespace Midi;

namespace {

// Parser buffer of the ALSA back end: one SysEx of ours (at most 654 bytes) fits whole.
constexpr unsigned int InputBufferSize = 2048;
constexpr unsigned int InputBufferCount = 4;

// The output half through RtMidi, on the systems that have no output of our own.
class RtMidiOutput : public MidiOutput {
public:
    bool open(RtMidi::Api api, const PortEntry *entry, const std::string *virtualName)
    {
        out_ = makeMidiOut(api, &error_);
        return out_ && openRtMidiPort(*out_, entry, virtualName, OutputPortName) && !error_;
    }
    bool send(const unsigned char *data, std::size_t size) override
    {
        error_ = false;
        try {
            out_->sendMessage(data, size);
        } catch (const RtMidiError &) {
            return false;
        }
        return !error_;
    }

private:
    // Set by RtMidi's error callback, on the owner's thread.
    std::atomic<bool> error_{false};
    std::unique_ptr<RtMidiOut> out_;   // declared last: it refers to error_ until gone
};

QStringList namesOf(const std::vector<PortEntry> &entries)
{
    QStringList names;
    for (const PortEntry &entry : entries)
        names << QString::fromStdString(entry.name);
    return names;
}

bool contains(const std::vector<PortEntry> &entries, const PortEntry &entry)
{
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

} // namespace

struct MidiPort::Impl {
    std::vector<PortEntry> inputs;
    std::vector<PortEntry> outputs;
    bool inputsListed = false;
    bool outputsListed = false;
    RtMidi::Api openApi = RtMidi::UNSPECIFIED; // the MIDI system of the open ports
    // The ports that the open halves are connected to (none for virtual ports).
    std::optional<PortEntry> inputPeer;
    std::optional<PortEntry> outputPeer;
    bool goneReported = false;

    // Set by RtMidi's error callback, on the thread of the failing call.
    std::atomic<bool> inError{false};

    // Read by the input callback on the MIDI system's thread.
    std::atomic<bool> closing{false};
    std::atomic<QObject *> receiver{nullptr};
    // Callbacks currently past their closing check; close() waits for none.
    std::atomic<int> callbacksRunning{0};

    std::unique_ptr<PortWatcher> watcher;

    // Declared last: the RtMidi objects refer to the fields above until they are gone.
    std::unique_ptr<RtMidiIn> in;
    std::unique_ptr<MidiOutput> out;

    static void inputCallback(double, std::vector<unsigned char> *message, void *self);

    // Takes the lists afresh; true when they changed.
    bool refresh(Direction direction)
    {
        std::vector<PortEntry> &entries = direction == Direction::Input ? inputs : outputs;
        std::vector<PortEntry> fresh;
        if (watcher) {
            fresh = watcher->list(direction, entries);
        } else {
            for (RtMidi::Api api : startedApis())
                listPorts(api, direction, fresh);
        }
        std::erase_if(fresh, [](const PortEntry &entry) { return isOwnPort(entry.name); });
        (direction == Direction::Input ? inputsListed : outputsListed) = true;
        if (fresh == entries)
            return false;
        entries = std::move(fresh);
        return true;
    }
    // While ports of others are open on the ALSA sequencer, whose notice of a port's end can
    // come 10 s late, the watcher lists the systems often (see PortWatcher). JACK's notices
    // come at once.
    void followPeers()
    {
        if (watcher)
            watcher->setPeersOpen(openApi == RtMidi::LINUX_ALSA && ((in && inputPeer) || (out && outputPeer)));
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
    auto midi = makeMidiIn(api, &inError);
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
    if (entry)
        inputPeer = *entry;
    return true;
}

bool MidiPort::Impl::openOutput(const PortEntry *entry, const std::string *virtualName)
{
    const RtMidi::Api api = entry ? entry->api : openApi;
    std::unique_ptr<MidiOutput> output;
#ifdef TARSYN_HAVE_JACK
    if (api == RtMidi::UNIX_JACK)
        output = openJackOutput(virtualName ? *virtualName : OutputPortName, virtualName ? std::string() : entry->name);
#endif
    if (!output && api != RtMidi::UNIX_JACK) {
        auto rtMidi = std::make_unique<RtMidiOutput>();
        if (rtMidi->open(api, entry, virtualName))
            output = std::move(rtMidi);
    }
    if (!output)
        return false;
    out = std::move(output);
    openApi = api;
    if (entry)
        outputPeer = *entry;
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

MidiPort::MidiPort(QObject *parent) : QObject(parent), d(std::make_unique<Impl>())
{
    quietBackEnds();
}

MidiPort::~MidiPort()
{
    close();
    d->watcher.reset();
}

QString MidiPort::inputDeviceName(unsigned index)
{
    if (index == 0 || !d->inputsListed) {
        if (d->refresh(Direction::Input))
            emit portsChanged();
    }
    if (index >= d->inputs.size())
        return {};
    return QString::fromStdString(d->inputs[index].name);
}

QString MidiPort::outputDeviceName(unsigned index)
{
    if (index == 0 || !d->outputsListed) {
        if (d->refresh(Direction::Output))
            emit portsChanged();
    }
    if (index >= d->outputs.size())
        return {};
    return QString::fromStdString(d->outputs[index].name);
}

QStringList MidiPort::inputDeviceNames()
{
    if (d->refresh(Direction::Input))
        emit portsChanged();
    return namesOf(d->inputs);
}

QStringList MidiPort::outputDeviceNames()
{
    if (d->refresh(Direction::Output))
        emit portsChanged();
    return namesOf(d->outputs);
}

QStringList MidiPort::listedInputs() const
{
    return namesOf(d->inputs);
}

QStringList MidiPort::listedOutputs() const
{
    return namesOf(d->outputs);
}

bool MidiPort::open(int inputIndex, int outputIndex)
{
    close();
    d->closing = false;
    if (!d->inputsListed && d->refresh(Direction::Input))
        emit portsChanged();
    if (!d->outputsListed && d->refresh(Direction::Output))
        emit portsChanged();
    const bool inputOk = inputIndex >= 0 && size_t(inputIndex) < d->inputs.size()
                         && d->openInput(&d->inputs[size_t(inputIndex)], nullptr);
    const bool outputOk = outputIndex >= 0 && size_t(outputIndex) < d->outputs.size()
                          && d->openOutput(&d->outputs[size_t(outputIndex)], nullptr);
    d->followPeers();
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
    if (d->out && d->goneReported && d->openApi == RtMidi::LINUX_ALSA) {
        // Its peer has gone, so nothing more can go out. The ALSA sequencer keeps our output
        // until the kernel has given up on bytes still queued for the device that went (a USB
        // MIDI device unplugged mid-message: a drain of 10 s); meanwhile the output is let go
        // on a thread of its own.
        std::thread([output = std::move(d->out)]() mutable { output.reset(); }).detach();
    }
    d->out.reset();   // waits briefly for messages already handed over to go out
    d->inputPeer.reset();
    d->outputPeer.reset();
    d->goneReported = false;
    d->followPeers();
    return 0;
}

bool MidiPort::inputOpen() const
{
    return d->in != nullptr;
}

bool MidiPort::outputOpen() const
{
    return d->out != nullptr;
}

QString MidiPort::openInputName() const
{
    return d->inputPeer ? QString::fromStdString(d->inputPeer->name) : QString();
}

QString MidiPort::openOutputName() const
{
    return d->outputPeer ? QString::fromStdString(d->outputPeer->name) : QString();
}

bool MidiPort::sendLongMessage(const QByteArray &message)
{
    if (message.isEmpty() || !d->out)
        return false;
    return d->out->send(reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size()));
}

void MidiPort::setReceiver(QObject *receiver)
{
    d->receiver.store(receiver);
}

QString MidiPort::apiName() const
{
    RtMidi::Api api = RtMidi::UNSPECIFIED;
    if (d->in || d->out) {
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

QString MidiPort::unknownApiChoice()
{
    return QString::fromStdString(Midi::unknownApiChoice());
}

QStringList MidiPort::apiChoices()
{
    QStringList names;
    for (RtMidi::Api api : compiledApis())
        names << QString::fromStdString(RtMidi::getApiName(api));
    return names;
}

bool MidiPort::isSystemPort(const QString &name)
{
    // ALSA's snd-seq-dummy client, as RtMidi names its port: "Midi Through:Midi Through Port-0 14:0".
    return name.startsWith(QLatin1String("Midi Through:"));
}

std::vector<MidiPort::SystemLook> MidiPort::lookAtSystems()
{
    std::vector<SystemLook> looks;
    for (RtMidi::Api api : candidateApis()) {
        SystemLook look;
        look.system = QString::fromStdString(RtMidi::getApiDisplayName(api));
        if (api == RtMidi::UNIX_JACK) {
            look.system = QStringLiteral("JACK");   // RtMidi says "Jack"
            look.server = qEnvironmentVariableIsEmpty("JACK_DEFAULT_SERVER") ? QStringLiteral("default")
                                                                              : qEnvironmentVariable("JACK_DEFAULT_SERVER");
        }
#ifdef __linux__
        if (api == RtMidi::LINUX_ALSA) {
            const int fd = ::open("/dev/snd/seq", O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                look.found = errno == ENOENT ? SystemLook::NoDevice : SystemLook::DeviceRefused;
                look.reason = QString::fromLocal8Bit(std::strerror(errno));
                looks.push_back(look);
                continue;
            }
            ::close(fd);
        }
#endif
        if (!systemRuns(api)) {
            look.found = SystemLook::NotRunning;
            looks.push_back(look);
            continue;
        }
        std::vector<PortEntry> entries;
        listPorts(api, Direction::Input, entries);
        listPorts(api, Direction::Output, entries);
        const bool any = std::any_of(entries.begin(), entries.end(), [](const PortEntry &entry) {
            return !isOwnPort(entry.name) && !isSystemPort(QString::fromStdString(entry.name));
        });
        look.found = any ? SystemLook::Ports : SystemLook::OnlySystemPorts;
        looks.push_back(look);
    }
    return looks;
}

void MidiPort::watchPorts()
{
    if (d->watcher)
        return;
    d->watcher = std::make_unique<PortWatcher>();
    connect(d->watcher.get(), &PortWatcher::lookAgain, this, &MidiPort::lookAgain);
    d->followPeers();
    const bool inputsChanged = d->refresh(Direction::Input);
    const bool outputsChanged = d->refresh(Direction::Output);
    if (inputsChanged || outputsChanged)
        emit portsChanged();
    // A port of the open pair may have gone before the notices started: told from the event
    // loop, once the caller has set up whatever the news ends.
    QMetaObject::invokeMethod(this, &MidiPort::lookAgain, Qt::QueuedConnection);
}

void MidiPort::lookAgain()
{
    const bool inputsChanged = d->refresh(Direction::Input);
    const bool outputsChanged = d->refresh(Direction::Output);
    if (inputsChanged || outputsChanged)
        emit portsChanged();
    if (d->goneReported)
        return;
    QString gone;
    if (d->in && d->inputPeer && !contains(d->inputs, *d->inputPeer))
        gone = QString::fromStdString(d->inputPeer->name);
    else if (d->out && d->outputPeer && !contains(d->outputs, *d->outputPeer))
        gone = QString::fromStdString(d->outputPeer->name);
    if (gone.isNull())
        return;
    d->goneReported = true;
    emit openPortGone(gone);
}

} // namespace Tarsyn

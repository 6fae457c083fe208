#pragma once
// MidiPortPair: the PortPair of the programs, a MidiPort on the MIDI systems.

#include "MidiPort.h"
#include "PortPair.h"

namespace Tarsyn {

class MidiPortPair : public PortPair {
    Q_OBJECT
public:
    explicit MidiPortPair(QObject *parent = nullptr);
    ~MidiPortPair() override;   // closes the pair

    // For what only the MIDI systems give: a fresh look at the ports, the systems' state.
    MidiPort &midiPort() { return port_; }

    QStringList listedInputs() const override { return port_.listedInputs(); }
    QStringList listedOutputs() const override { return port_.listedOutputs(); }
    void watchPorts() override { port_.watchPorts(); }
    bool open(int inputIndex, int outputIndex) override { return port_.open(inputIndex, outputIndex); }
    void close() override { port_.close(); }
    QString openInputName() const override { return port_.openInputName(); }
    QString openOutputName() const override { return port_.openOutputName(); }
    void setReceiver(QObject *receiver) override { port_.setReceiver(receiver); }
    bool sendLongMessage(const QByteArray &message) override { return port_.sendLongMessage(message); }

private:
    MidiPort port_;
};

} // namespace Tarsyn

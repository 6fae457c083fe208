#pragma once
// PortPair: the MIDI input and output that a session talks to a unit through. MidiPortPair
// puts it on the MIDI systems; tests put it on an in-process unit.
//
// Threads: every member runs on the owner's thread, and both signals are emitted there.
// Received SysEx messages arrive as MidiEvents posted to the receiver.

#include "MessageSink.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace Tarsyn {

class PortPair : public QObject, public MessageSink {
    Q_OBJECT
public:
    using QObject::QObject;

    // The ports as last listed; open() takes indices into these lists.
    virtual QStringList listedInputs() const = 0;
    virtual QStringList listedOutputs() const = 0;
    // From now on, keeps the lists current (portsChanged) and tells of a port of the open
    // pair that goes (openPortGone).
    virtual void watchPorts() = 0;

    // Opens input `inputIndex` and output `outputIndex`; true only when both opened.
    virtual bool open(int inputIndex, int outputIndex) = 0;
    // Closes both halves; no MidiEvent is posted after it returns.
    virtual void close() = 0;
    virtual QString openInputName() const = 0;
    virtual QString openOutputName() const = 0;

    // The object that receives every MidiEvent (not owned).
    virtual void setReceiver(QObject *receiver) = 0;

signals:
    void portsChanged();
    void openPortGone(const QString &name);
};

} // namespace Tarsyn

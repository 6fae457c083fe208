#include "MidiPortPair.h"

namespace Tarsyn {

MidiPortPair::MidiPortPair(QObject *parent) : PortPair(parent)
{
    connect(&port_, &MidiPort::portsChanged, this, &PortPair::portsChanged);
    connect(&port_, &MidiPort::openPortGone, this, &PortPair::openPortGone);
}

MidiPortPair::~MidiPortPair()
{
    port_.close();
}

} // namespace Tarsyn

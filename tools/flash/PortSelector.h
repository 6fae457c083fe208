#pragma once
// Chooses a MIDI port from a selector that a user typed: a port index, or a case-insensitive
// part of the port's name. A name that equals the selector wins over names that merely
// contain it, so "unit 1" can be told from "unit 10".

#include <QString>
#include <QStringList>

namespace Tarsyn {

struct PortChoice {
    int index = -1;   // >= 0 when exactly one port was chosen
    QString error;    // otherwise what went wrong, with the list of ports
};

// `direction` is "input" or "output", for the messages.
PortChoice selectPort(const QStringList &names, const QString &selector, const QString &direction);

// "input ports:\n  0  name\n  1  name\n" (or "  (none)").
QString portListing(const QStringList &names, const QString &direction);

} // namespace Tarsyn

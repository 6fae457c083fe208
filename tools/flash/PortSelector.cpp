#include "PortSelector.h"

namespace Tarsyn {

QString portListing(const QStringList &names, const QString &direction)
{
    QString text = direction + QStringLiteral(" ports:\n");
    if (names.isEmpty())
        text += QStringLiteral("  (none)\n");
    for (int i = 0; i < names.size(); ++i)
        text += QStringLiteral("  %1  %2\n").arg(i, 2).arg(names.at(i));
    return text;
}

PortChoice selectPort(const QStringList &names, const QString &selector, const QString &direction)
{
    PortChoice choice;
    const QString wanted = selector.trimmed();
    bool isNumber = false;
    const int number = wanted.toInt(&isNumber);
    if (isNumber) {
        if (number >= 0 && number < names.size())
            choice.index = number;
        else
            choice.error = QStringLiteral("there is no %1 port %2\n%3")
                               .arg(direction).arg(number).arg(portListing(names, direction));
        return choice;
    }
    if (wanted.isEmpty()) {
        choice.error = QStringLiteral("the %1 port selector is empty\n%2").arg(direction, portListing(names, direction));
        return choice;
    }

    QList<int> exact;
    QList<int> partial;
    for (int i = 0; i < names.size(); ++i) {
        if (names.at(i).compare(wanted, Qt::CaseInsensitive) == 0)
            exact << i;
        else if (names.at(i).contains(wanted, Qt::CaseInsensitive))
            partial << i;
    }
    const QList<int> &matches = exact.isEmpty() ? partial : exact;
    if (matches.size() == 1) {
        choice.index = matches.first();
    } else if (matches.isEmpty()) {
        choice.error = QStringLiteral("no %1 port matches \"%2\"\n%3")
                           .arg(direction, wanted, portListing(names, direction));
    } else {
        choice.error = QStringLiteral("\"%1\" matches %2 %3 ports; give more of the name or the index\n%4")
                           .arg(wanted).arg(matches.size()).arg(direction, portListing(names, direction));
    }
    return choice;
}

} // namespace Tarsyn

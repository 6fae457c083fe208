// tarsyn-flash: updates a Tarsyn+ unit's firmware and backs up or restores its presets from
// the command line. Run `tarsyn-flash --help`.
#include "FlashCommand.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarsyn-flash"));
    return Tarsyn::FlashCommand().run(QCoreApplication::arguments());
}

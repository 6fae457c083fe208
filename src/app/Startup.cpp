#include "Startup.h"

#include "MainWindow.h"

#include <QApplication>
#include <QSettings>
#include <QStyleFactory>
#include <QTranslator>

#include <cstdio>
#include <cstring>

namespace Tarsyn {

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(OrganizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(OrganizationDomain));
    QCoreApplication::setApplicationName(QString::fromLatin1(ApplicationName));
}

void installStyle()
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
}

int installCatalogues(QSettings &settings, QTranslator &program, QTranslator &toolkit)
{
    const int language = settings.value(QStringLiteral("language"), QStringLiteral("0")).toInt();
    if (language == 1) {
        // A catalogue that does not load is installed empty and translates nothing.
        (void)program.load(QString::fromLatin1(ProgramCatalogue));
        (void)toolkit.load(QString::fromLatin1(ToolkitCatalogue));
        QCoreApplication::installTranslator(&program);
        QCoreApplication::installTranslator(&toolkit);
    }
    return language;
}

int runWindow(int argc, char **argv, const std::function<void(MainWindow &)> &afterShow)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs("tarsyn-update " TARSYN_VERSION "\n", stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs("Usage: tarsyn-update [--version] [Qt options]\n"
                       "The Tarsyn+ firmware updater window. German texts: language=1 under [General]\n"
                       "in ~/.config/Quellmark/Tarsyn_update.conf.\n",
                       stdout);
            return 0;
        }
    }

    QTranslator programCatalogue;
    QTranslator toolkitCatalogue;
    setApplicationIdentity();
    installStyle();
    QApplication app(argc, argv);
    QSettings settings;
    installCatalogues(settings, programCatalogue, toolkitCatalogue);

    MainWindow window;
    window.setRealLink(true);
    window.setVisible(true);
    window.setFixedSize(522, 322);
    window.postShowInit();
    if (afterShow)
        afterShow(window);
    return app.exec();
}

} // namespace Tarsyn

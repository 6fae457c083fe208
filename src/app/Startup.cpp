#include "Startup.h"

#include <QApplication>
#include <QSettings>
#include <QStyleFactory>
#include <QTranslator>

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

} // namespace Tarsyn

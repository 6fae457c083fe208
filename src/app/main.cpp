// tarsyn-update: the window that updates the firmware of a Tarsyn+ unit over MIDI.
// No command-line options of its own; the arguments go to the application object.
#include "MainWindow.h"
#include "Startup.h"
#include "UiScript.h"

#include <QApplication>
#include <QSettings>
#include <QTranslator>

#include <memory>

int main(int argc, char **argv)
{
    QTranslator programCatalogue;
    QTranslator toolkitCatalogue;
    Tarsyn::setApplicationIdentity();
    Tarsyn::installStyle();
    QApplication app(argc, argv);
    QSettings settings;
    Tarsyn::installCatalogues(settings, programCatalogue, toolkitCatalogue);

    MainWindow window;
    window.setRealLink(true);
    window.setVisible(true);
    window.setFixedSize(522, 322);
    window.postShowInit();

    // Test and screenshot hook: drives the window from a script (see UiScript.h).
    std::unique_ptr<UiScript> script;
    const QString scriptPath = qEnvironmentVariable("TARSYN_UI_SCRIPT");
    if (!scriptPath.isEmpty()) {
        QStringList steps;
        if (!UiScript::readFile(scriptPath, steps))
            return 2;
        script = std::make_unique<UiScript>(window, steps);
        script->start();
    }

    const int result = app.exec();
    return result;
}

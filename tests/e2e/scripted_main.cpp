// tarsyn-update-scripted: the test build of the window. The same program as tarsyn-update
// (Tarsyn::runWindow), plus the script driver that end-to-end tests and scripts/screenshot
// use: TARSYN_UI_SCRIPT names the script file (see UiScript.h). Never installed.
#include "MainWindow.h"
#include "Startup.h"
#include "UiScript.h"

#include <QStringList>

#include <cstdlib>
#include <memory>

int main(int argc, char **argv)
{
    const QString scriptPath = qEnvironmentVariable("TARSYN_UI_SCRIPT");
    QStringList steps;
    if (!scriptPath.isEmpty() && !UiScript::readFile(scriptPath, steps))
        return 2;
    std::unique_ptr<UiScript> script;
    return Tarsyn::runWindow(argc, argv, [&](MainWindow &window) {
        if (scriptPath.isEmpty())
            return;
        script = std::make_unique<UiScript>(window, steps);
    });
}

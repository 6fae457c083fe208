#pragma once
// The start-up steps of tarsyn-update that do not need the window: the application identity,
// the style and the language setting with its catalogues. main() runs them in order; the
// tests run them on their own settings store.

#include <QString>

#include <functional>

class MainWindow;
class QSettings;
class QTranslator;

namespace Tarsyn {

inline constexpr char OrganizationName[] = "Quellmark";
inline constexpr char OrganizationDomain[] = "quellmark.example";
inline constexpr char ApplicationName[] = "Tarsyn_update";
inline constexpr char ProgramCatalogue[] = ":/Charts/update_de";
inline constexpr char ToolkitCatalogue[] = ":/Charts/qt_de";

// Organisation name, organisation domain and application name; before the application object.
void setApplicationIdentity();

// Installs the Fusion style; called before the application object exists, so the style's own
// palette becomes the application palette. The application owns the style from then on.
void installStyle();

// Reads "language" once (default "0"; text that is not a number counts as 0). For 1, loads
// the program catalogue into `program` and the toolkit catalogue into `toolkit` and installs
// both, program first, whether they loaded or not. Never writes the store. Returns the value.
int installCatalogues(QSettings &settings, QTranslator &program, QTranslator &toolkit);

// The whole program: the steps above, the window shown at its fixed size, the event loop.
// `afterShow`, when given, runs once the window is up (the test build's script driver). Answers
// --version and --help before any display is needed. Returns the exit status.
int runWindow(int argc, char **argv, const std::function<void(MainWindow &)> &afterShow = {});

} // namespace Tarsyn

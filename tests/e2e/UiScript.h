#pragma once
// UiScript: drives the window from a script file, step by step, as a person at the screen
// would: picks list rows and presses buttons with mouse clicks, waits for what the window
// shows, reads message boxes and presses their OK button, and takes screenshots. It exists
// for end-to-end tests and screenshots and lives only in the test build of the window,
// tarsyn-update-scripted, which runs the script that TARSYN_UI_SCRIPT names.
//
// One step a line; blank lines and lines starting with # are skipped:
//   select LIST TEXT     click the first row of list LIST whose text contains TEXT
//   gone LIST TEXT       wait until no row of list LIST contains TEXT, print "gone: LIST TEXT"
//   click BUTTON         click the button once it is visible and enabled
//   connect              click Connect (again while the port does not open) and wait for
//                        the unit's serial number
//   wait-progress N      wait until the progress bar is visible with a value of N or more
//   print WIDGET         print "WIDGET: <text>" (a line edit, label or button)
//   box                  wait for a message box, print "box: <title> | <text>", press OK
//   shot FILE            save what the screen shows of the window as FILE (PNG)
//   close                close the window
// Each waiting step gives up after TARSYN_UI_SCRIPT_TIMEOUT seconds (default 300); the
// program then prints "script: timed out at line N: <step>" to stderr and exits with 3 (also
// for a step it cannot carry out); a script file that cannot be read ends it with 2.
// Runs on the GUI thread, polled by a timer, so it also runs inside modal message boxes.

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

class MainWindow;

class UiScript : public QObject {
    Q_OBJECT
public:
    UiScript(MainWindow &window, QStringList steps);
    // Reads the script file; false (with a message on stderr) when it cannot be read.
    static bool readFile(const QString &path, QStringList &steps);

private:
    enum class Result { Done, Wait, Fail };
    void poll();
    Result run(const QString &step);

    MainWindow &window_;
    QStringList steps_;
    int next_ = 0;
    QTimer timer_;
    QElapsedTimer stepClock_;
    qint64 timeoutMs_ = 300000;
    bool busy_ = false;
    bool shotPainted_ = false;
};

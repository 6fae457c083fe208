#pragma once
// FlashCommand: tarsyn-flash's command line. Parses the arguments, checks every input before
// anything is sent, runs one FlashSession job in an event loop and reports in the user's
// terms: results on standard output, errors on standard error, the status as exit code
// (FlashSession::Status).

#include <QStringList>

#include <optional>

namespace Tarsyn {

class FlashSession;

class FlashCommand {
public:
    // Runs the command line (arguments[0] is the program); returns the exit status.
    int run(const QStringList &arguments);

    static QString helpText();

private:
    int runCommand(const QStringList &arguments, std::optional<FlashSession> &session);
};

} // namespace Tarsyn

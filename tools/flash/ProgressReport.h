#pragma once
// Progress of a long exchange on standard output: a bar redrawn in place on a terminal,
// plain lines at every tenth otherwise (logs, pipes, tests).

#include <QString>

#include <cstdio>

namespace Tarsyn {

class ProgressReport {
public:
    ProgressReport(QString label, bool terminal, std::FILE *out = stdout);
    ~ProgressReport();

    void update(int value, int maximum);
    // Ends the bar's line, so that the next text starts on a fresh one. Idempotent.
    void finish();

private:
    QString label_;
    bool terminal_;
    std::FILE *out_;
    int lastShown_ = -1;   // per mille on a terminal, tenths otherwise
    bool lineOpen_ = false;
};

} // namespace Tarsyn

#include "ProgressReport.h"

namespace Tarsyn {

ProgressReport::ProgressReport(QString label, bool terminal, std::FILE *out)
    : label_(std::move(label)), terminal_(terminal), out_(out)
{
}

ProgressReport::~ProgressReport()
{
    finish();
}

void ProgressReport::update(int value, int maximum)
{
    if (maximum <= 0)
        return;
    value = qBound(0, value, maximum);
    if (terminal_) {
        const int perMille = int(qint64(value) * 1000 / maximum);
        if (perMille == lastShown_)
            return;
        lastShown_ = perMille;
        constexpr int Width = 40;
        const int filled = perMille * Width / 1000;
        const QString bar = QString(filled, QLatin1Char('#')) + QString(Width - filled, QLatin1Char('.'));
        std::fprintf(out_, "\r%s [%s] %5.1f%%", qPrintable(label_), qPrintable(bar), perMille / 10.0);
        lineOpen_ = true;
    } else {
        const int tenth = int(qint64(value) * 10 / maximum);
        if (tenth <= lastShown_)
            return;
        lastShown_ = tenth;
        std::fprintf(out_, "%s: %d%%\n", qPrintable(label_), tenth * 10);
    }
    std::fflush(out_);
}

void ProgressReport::finish()
{
    if (lineOpen_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        lineOpen_ = false;
    }
}

} // namespace Tarsyn

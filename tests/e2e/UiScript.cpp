#include "UiScript.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QWindow>

#include <cstdio>

namespace {

void say(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

// A press and a release of the left button at `pos` in `target`, as the window system
// would deliver them.
void clickAt(QWidget *target, QPoint pos)
{
    const QPointF local(pos);
    const QPointF global(target->mapToGlobal(pos));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(target, &release);
}

} // namespace

UiScript::UiScript(QWidget &window, QStringList steps, QObject *parent)
    : QObject(parent), window_(window), steps_(std::move(steps))
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("TARSYN_UI_SCRIPT_TIMEOUT", &ok);
    if (ok && seconds > 0)
        timeoutMs_ = qint64(seconds) * 1000;
    timer_.setInterval(20);
    connect(&timer_, &QTimer::timeout, this, &UiScript::poll);
}

bool UiScript::readFile(const QString &path, QStringList &steps)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "script: cannot read %s: %s\n", qPrintable(path),
                     qPrintable(file.errorString()));
        return false;
    }
    steps.clear();
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            steps << line;
    }
    return true;
}

void UiScript::start()
{
    stepClock_.start();
    timer_.start();
}

template <typename T> T *UiScript::widget(const QString &name) const
{
    return window_.findChild<T *>(name);
}

void UiScript::poll()
{
    // A step may open a modal box whose nested loop polls again: run one step at a time.
    if (busy_ || next_ >= steps_.size())
        return;
    busy_ = true;
    const QString step = steps_.at(next_);
    const Result result = run(step);
    busy_ = false;
    if (result == Result::Done) {
        ++next_;
        stepClock_.restart();
        if (next_ >= steps_.size())
            timer_.stop();
        return;
    }
    if (result == Result::Fail || stepClock_.elapsed() > timeoutMs_) {
        std::fprintf(stderr, "script: %s at line %d: %s\n",
                     result == Result::Fail ? "failed" : "timed out", next_ + 1, qPrintable(step));
        timer_.stop();
        QCoreApplication::exit(3);
        // A modal box may be open: its own loop must end too, or exit() waits for it.
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    }
}

UiScript::Result UiScript::run(const QString &step)
{
    const QString verb = step.section(QLatin1Char(' '), 0, 0);
    const QString arg = step.section(QLatin1Char(' '), 1).trimmed();

    if (verb == QLatin1String("select")) {
        auto *list = widget<QListWidget>(arg.section(QLatin1Char(' '), 0, 0));
        const QString text = arg.section(QLatin1Char(' '), 1);
        if (!list)
            return Result::Fail;
        if (!list->isEnabled())
            return Result::Wait;
        for (int row = 0; row < list->count(); ++row) {
            QListWidgetItem *item = list->item(row);
            if (!item->text().contains(text))
                continue;
            list->scrollToItem(item);
            clickAt(list->viewport(), list->visualItemRect(item).center());
            return list->currentRow() == row ? Result::Done : Result::Wait;
        }
        return Result::Wait;
    }
    if (verb == QLatin1String("click")) {
        auto *button = widget<QAbstractButton>(arg);
        if (!button)
            return Result::Fail;
        if (!button->isVisible() || !button->isEnabled())
            return Result::Wait;
        clickAt(button, button->rect().center());
        return Result::Done;
    }
    if (verb == QLatin1String("connect")) {
        auto *button = widget<QAbstractButton>(QStringLiteral("ConnectButton"));
        auto *serial = widget<QLineEdit>(QStringLiteral("SnEdit"));
        auto *pending = widget<QLabel>(QStringLiteral("TryConText"));
        if (!button || !serial || !pending)
            return Result::Fail;
        if (!serial->text().isEmpty())
            return Result::Done;
        // Neither connected nor connecting: the port did not open (or not yet clicked).
        if (!pending->isVisible())
            clickAt(button, button->rect().center());
        return Result::Wait;
    }
    if (verb == QLatin1String("wait-progress")) {
        auto *bar = widget<QProgressBar>(QStringLiteral("progressBar"));
        if (!bar)
            return Result::Fail;
        return bar->isVisible() && bar->value() >= arg.toInt() ? Result::Done : Result::Wait;
    }
    if (verb == QLatin1String("print")) {
        const QWidget *shown = widget<QWidget>(arg);
        if (!shown || !shown->property("text").isValid())
            return Result::Fail;
        say(arg + QLatin1String(": ") + shown->property("text").toString());
        return Result::Done;
    }
    if (verb == QLatin1String("box")) {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return Result::Wait;
        QAbstractButton *ok = box->button(QMessageBox::Ok);
        if (!ok)
            return Result::Fail;
        say(QLatin1String("box: ") + box->windowTitle() + QLatin1String(" | ") + box->text()
            + QLatin1String(" [") + ok->text() + QLatin1Char(']'));
        clickAt(ok, ok->rect().center());
        return Result::Done;
    }
    if (verb == QLatin1String("shot")) {
        QScreen *screen = window_.screen();
        if (!screen || !window_.windowHandle())
            return Result::Fail;
        if (!shotPainted_) {
            // Paint now and grab at the next poll, once the display has the new picture.
            window_.repaint();
            shotPainted_ = true;
            return Result::Wait;
        }
        shotPainted_ = false;
        // What the display shows, not a fresh rendering: the window as the user sees it.
        const QPixmap shot = screen->grabWindow(window_.winId());
        if (shot.isNull() || !shot.save(arg, "PNG"))
            return Result::Fail;
        say(QLatin1String("shot: ") + arg);
        return Result::Done;
    }
    if (verb == QLatin1String("close")) {
        window_.close();
        return Result::Done;
    }
    return Result::Fail;
}

#include "UiScript.h"

#include "MainWindow.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

#include <cstdio>

namespace {

void say(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

// A press and a release of the left button in the middle of `target` (or at `pos`), as the
// window system would deliver them.
void clickAt(QWidget *target, QPoint pos = {-1, -1})
{
    const QPointF local(pos.x() < 0 ? target->rect().center() : pos);
    const QPointF global(target->mapToGlobal(local));
    for (const auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, local, global, Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    }
}

} // namespace

UiScript::UiScript(MainWindow &window, QStringList steps) : window_(window), steps_(std::move(steps))
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("TARSYN_UI_SCRIPT_TIMEOUT", &ok);
    if (ok && seconds > 0)
        timeoutMs_ = qint64(seconds) * 1000;
    connect(&timer_, &QTimer::timeout, this, &UiScript::poll);
    stepClock_.start();
    timer_.start(20);
}

bool UiScript::readFile(const QString &path, QStringList &steps)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "script: cannot read %s: %s\n", qPrintable(path), qPrintable(file.errorString()));
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
        stepClock_.restart();
        if (++next_ >= steps_.size())
            timer_.stop();
    } else if (result == Result::Fail || stepClock_.elapsed() > timeoutMs_) {
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
        auto *list = window_.findChild<QListWidget *>(arg.section(QLatin1Char(' '), 0, 0));
        if (!list)
            return Result::Fail;
        const QList<QListWidgetItem *> rows = list->findItems(arg.section(QLatin1Char(' '), 1), Qt::MatchContains);
        if (!list->isEnabled() || rows.isEmpty())
            return Result::Wait;
        list->scrollToItem(rows.first());
        clickAt(list->viewport(), list->visualItemRect(rows.first()).center());
        return list->currentItem() == rows.first() ? Result::Done : Result::Wait;
    }
    if (verb == QLatin1String("gone")) {
        const auto *list = window_.findChild<QListWidget *>(arg.section(QLatin1Char(' '), 0, 0));
        if (!list)
            return Result::Fail;
        if (!list->findItems(arg.section(QLatin1Char(' '), 1), Qt::MatchContains).isEmpty())
            return Result::Wait;
        say(QLatin1String("gone: ") + arg);
        return Result::Done;
    }
    if (verb == QLatin1String("click")) {
        auto *button = window_.findChild<QAbstractButton *>(arg);
        if (!button || !button->isVisible() || !button->isEnabled())
            return button ? Result::Wait : Result::Fail;
        clickAt(button);
        return Result::Done;
    }
    if (verb == QLatin1String("connect")) {
        if (!window_.SnEdit->text().isEmpty())
            return Result::Done;
        // Neither connecting nor connected: not clicked yet, or the port did not open.
        if (!window_.TryConText->isVisible())
            clickAt(window_.ConnectButton);
        return Result::Wait;
    }
    if (verb == QLatin1String("wait-progress"))
        return window_.progressBar->isVisible() && window_.progressBar->value() >= arg.toInt() ? Result::Done
                                                                                                : Result::Wait;
    if (verb == QLatin1String("print")) {
        const QWidget *shown = window_.findChild<QWidget *>(arg);
        if (!shown || !shown->property("text").isValid())
            return Result::Fail;
        say(arg + QLatin1String(": ") + shown->property("text").toString());
        return Result::Done;
    }
    if (verb == QLatin1String("box")) {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QAbstractButton *ok = box ? box->button(QMessageBox::Ok) : nullptr;
        if (!ok || !box->isVisible())
            return Result::Wait;
        say(QLatin1String("box: ") + box->windowTitle() + QLatin1String(" | ") + box->text()
            + QLatin1String(" [") + ok->text() + QLatin1Char(']'));
        clickAt(ok);
        return Result::Done;
    }
    if (verb == QLatin1String("shot")) {
        if (!window_.screen() || !window_.windowHandle())
            return Result::Fail;
        // Paint now and grab at the next poll, once the display has the new picture.
        shotPainted_ = !shotPainted_;
        if (shotPainted_) {
            window_.repaint();
            return Result::Wait;
        }
        // What the display shows, not a fresh rendering: the window as the user sees it.
        const QPixmap shot = window_.screen()->grabWindow(window_.winId());
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

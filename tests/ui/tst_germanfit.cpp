// The German window: every text the fixed form can show, translated by the program's and
// the toolkit's catalogues as the program installs them, must fit its widget at the
// widget's own font, measured with the widget's font metrics and the style's geometry. The
// form's geometry is fixed (522x322), so a text that does not fit is cut on screen.

#include "MainWindow.h"
#include "Startup.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

class GermanFitTest : public QObject {
    Q_OBJECT
    QTemporaryDir store;
    QTranslator program, toolkit;
    std::unique_ptr<MainWindow> english, w;

    // The width the widget gives `text`.
    static int room(QWidget *widget, const QString &text)
    {
        if (auto *button = qobject_cast<QPushButton *>(widget)) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = text;
            const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            // The style draws the label inside the contents less its own margin on each side.
            const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
            return contents.width() - margin;
        }
        if (auto *box = qobject_cast<QGroupBox *>(widget)) {
            QStyleOptionGroupBox option;
            option.initFrom(box);
            option.text = text;
            option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
            const QRect label = box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
            // The title starts at label.x(); it has the box's width less the same indent at the end.
            return box->width() - 2 * label.x();
        }
        const auto *label = qobject_cast<QLabel *>(widget);
        return label ? label->contentsRect().width() - 2 * label->margin() : -1;
    }

private slots:
    void initTestCase()
    {
        // The program's own start-up: identity, style, language 1 and both catalogues.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, store.path());
        Tarsyn::setApplicationIdentity();
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        english = std::make_unique<MainWindow>(); // the form's source texts, before any catalogue
        QSettings settings;
        settings.setValue(QStringLiteral("language"), 1);
        QCOMPARE(Tarsyn::installCatalogues(settings, program, toolkit), 1);
        QVERIFY2(!program.isEmpty(), "the program's German catalogue did not load");
        w = std::make_unique<MainWindow>();
        w->setFixedSize(522, 322);
        w->show();
        w->postShowInit();
    }

    // Every text that a widget of the form shows (the picture aside), by widget and English
    // source, and the texts the window gives its buttons later.
    void fits_data()
    {
        QTest::addColumn<QString>("widget");
        QTest::addColumn<QString>("source");
        QStringList rows{"ConnectButton|Disconnect", "TransferButton|Update"};
        for (QWidget *c : english->centralwidget->findChildren<QWidget *>()) {
            const QString text = c->property("text").toString() + c->property("title").toString();
            const auto *shown = qobject_cast<QLabel *>(w->findChild<QWidget *>(c->objectName()));
            if (!text.isEmpty() && !qobject_cast<QProgressBar *>(c) && !(shown && !shown->pixmap().isNull()))
                rows << c->objectName() + '|' + text;
        }
        for (const QString &row : std::as_const(rows)) {
            const QStringList f = row.split(QLatin1Char('|'));
            QTest::addRow("%s: %s", qPrintable(f[0]), qPrintable(f[1])) << f[0] << f[1];
        }
    }

    void fits()
    {
        QFETCH(QString, widget);
        QFETCH(QString, source);
        QWidget *target = w->findChild<QWidget *>(widget);
        QVERIFY(target);
        const QString text = MainWindow::tr(source.toUtf8().constData());
        // Some German texts equal the English ones ("Update", "Version:"): the catalogue
        // must have them all the same.
        QVERIFY2(!program.translate("MainWindow", source.toUtf8().constData()).isEmpty(),
                 qPrintable("no German text for " + source));
        const int needed = target->fontMetrics().horizontalAdvance(text), available = room(target, text);
        QVERIFY2(needed <= available, qPrintable(QStringLiteral("\"%1\" needs %2 px, %3 has %4 px (font %5)")
                                                     .arg(text).arg(needed).arg(widget).arg(available)
                                                     .arg(target->font().toString())));
    }
};

QTEST_MAIN(GermanFitTest)
#include "tst_germanfit.moc"

// Start-up: the "language" setting in the real per-user store (moved to a temporary
// directory), the catalogues it selects and the texts the window and its boxes then show.

#include "MainWindow.h"
#include "Startup.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

class StartupTest : public QObject {
    Q_OBJECT
    QTemporaryDir store;

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, store.path());
        Tarsyn::setApplicationIdentity();
        QVERIFY2(store.isValid() && QSettings().fileName().startsWith(store.path()), qPrintable(QSettings().fileName()));
    }

    void language_data()
    {
        QTest::addColumn<QVariant>("stored"); // invalid: no key
        QTest::addColumn<bool>("german");
        QTest::newRow("absent") << QVariant() << false;
        QTest::newRow("0") << QVariant(0) << false;
        QTest::newRow("2") << QVariant(2) << false;
        QTest::newRow("text 1") << QVariant(QStringLiteral("1")) << true;
        QTest::newRow("1") << QVariant(1) << true;
    }

    void language()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, german);
        const auto readStore = [] {
            QFile file(QSettings().fileName());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QSettings().clear();
        if (stored.isValid())
            QSettings().setValue(QStringLiteral("language"), stored);
        const QByteArray before = readStore();
        QTranslator program, toolkit;
        {
            QSettings settings;
            QCOMPARE(Tarsyn::installCatalogues(settings, program, toolkit), german ? 1 : stored.toInt());
        }
        // The form's texts, a text of the window's code, and the toolkit's own.
        const MainWindow w;
        const QStringList texts{w.windowTitle(), w.ConnectButton->text(),
                                MainWindow::tr("The unit does not answer. The update did not complete."),
                                QCoreApplication::translate("QPlatformTheme", "Cancel")};
        const QStringList deutsch{"Tarsyn+ Aktualisierung", "Verbinden",
                                  "Das Gerät antwortet nicht. Die Aktualisierung wurde nicht abgeschlossen.", "Abbrechen"};
        const QStringList english{"Tarsyn+ Update", "Connect", "The unit does not answer. The update did not complete.",
                                  "Cancel"};
        QCOMPARE(texts, german ? deutsch : english);
        QCOMPARE(readStore(), before); // the store is read, never written
    }

    // Lists without a unit's port say in their tooltips what each MIDI system showed, in the
    // window's language.
    void noPortsTooltip_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("tooltip");
        QTest::newRow("English") << 0 << "No MIDI port of a unit was found.\nJACK: no server \"tst-startup-none\" running.";
        QTest::newRow("German") << 1 << "Kein MIDI-Port eines Geräts gefunden.\nJACK: kein Server „tst-startup-none“ in Betrieb.";
    }
    void noPortsTooltip()
    {
        QFETCH(int, language);
        QFETCH(QString, tooltip);
        qputenv("TARSYN_MIDI_API", "jack");
        qputenv("JACK_DEFAULT_SERVER", "tst-startup-none");
        const auto restore = qScopeGuard([] {
            qunsetenv("TARSYN_MIDI_API");
            qunsetenv("JACK_DEFAULT_SERVER");
        });
        QSettings().setValue(QStringLiteral("language"), language);
        QTranslator program, toolkit;
        {
            QSettings settings;
            Tarsyn::installCatalogues(settings, program, toolkit);
        }
        MainWindow w;
        w.postShowInit();
        QCOMPARE(w.MidiInList->count(), 0);
        QCOMPARE(w.MidiInList->toolTip(), tooltip);
        QCOMPARE(w.MidiOutList->toolTip(), tooltip);
    }

    // A window that cannot be shown, or a MIDI system it does not know: one line that says
    // why, exit status 1, and nothing else on the terminal (no toolkit pages, no abort).
    void refusal_data()
    {
        QTest::addColumn<QStringList>("environment");   // NAME=VALUE sets, NAME= removes
        QTest::addColumn<QString>("line");
        const QStringList noPlatform{"QT_QPA_PLATFORM=", "WAYLAND_DISPLAY="};
        QTest::newRow("no display")
            << noPlatform + QStringList{"DISPLAY="}
            << "tarsyn-update: no display to open the window on: neither DISPLAY nor WAYLAND_DISPLAY is set (start "
               "it from the desktop, or in a terminal of the desktop)";
        QTest::newRow("a display that is not there")
            << noPlatform + QStringList{"DISPLAY=:4093"}
            << "tarsyn-update: cannot open a window on the display \":4093\" (DISPLAY): it is not there or does not "
               "let this user in";
        QTest::newRow("unknown MIDI system")
            << QStringList{"TARSYN_MIDI_API=jak"}
            << "tarsyn-update: TARSYN_MIDI_API is \"jak\", which names no MIDI system: it takes alsa or jack, or "
               "unset, every MIDI system that runs";
    }
    void refusal()
    {
        QFETCH(QStringList, environment);
        QFETCH(QString, line);
        if (environment.contains("DISPLAY=:4093") && QFile::exists("/tmp/.X11-unix/X4093"))
            QSKIP("this machine has a display :4093");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &setting : environment) {
            const QString name = setting.section('=', 0, 0), value = setting.section('=', 1);
            value.isEmpty() ? env.remove(name) : env.insert(name, value);
        }
        QProcess window;
        window.setProcessEnvironment(env);
        window.start(QStringLiteral(TARSYN_UPDATE_EXE), QStringList());
        QVERIFY(window.waitForFinished(60000));
        const QString err = QString::fromLocal8Bit(window.readAllStandardError());
        QCOMPARE(window.exitStatus(), QProcess::NormalExit);
        QCOMPARE(window.exitCode(), 1);
        QCOMPARE(err, line + QLatin1Char('\n'));
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"

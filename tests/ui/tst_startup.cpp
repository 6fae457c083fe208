// Start-up: the "language" setting in the real per-user store (moved to a temporary
// directory), the catalogues it selects and the texts the window and its boxes then show.

#include "MainWindow.h"
#include "Startup.h"

#include <QFile>
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
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"

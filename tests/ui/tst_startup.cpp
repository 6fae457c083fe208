// Start-up: the "language" setting in the real per-user store (moved to a temporary
// directory), the catalogues it selects and what the window and its boxes then show.

#include "MainWindow.h"
#include "Startup.h"
#include "UiTestSupport.h"

#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void language_data();
    void language();
    void germanMessageBoxes();

private:
    QTemporaryDir store;
};

void StartupTest::initTestCase()
{
    QVERIFY(store.isValid());
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, store.path());
    Tarsyn::setApplicationIdentity();
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Quellmark"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Tarsyn_update"));
    QSettings settings;
    QVERIFY2(settings.fileName().startsWith(store.path()), qPrintable(settings.fileName()));
}

void StartupTest::language_data()
{
    QTest::addColumn<QVariant>("stored"); // invalid: no key
    QTest::addColumn<bool>("german");
    QTest::newRow("absent") << QVariant() << false;
    QTest::newRow("0") << QVariant(0) << false;
    QTest::newRow("2") << QVariant(2) << false;
    QTest::newRow("text") << QVariant(QStringLiteral("deutsch")) << false;
    QTest::newRow("text 1") << QVariant(QStringLiteral("1")) << true;
    QTest::newRow("1") << QVariant(1) << true;
}

void StartupTest::language()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, german);

    QString file;
    {
        QSettings settings;
        settings.clear();
        if (stored.isValid())
            settings.setValue(QStringLiteral("language"), stored);
        settings.sync();
        file = settings.fileName();
    }
    QFile before(file);
    const QByteArray storeBefore = before.open(QIODevice::ReadOnly) ? before.readAll() : QByteArray();

    QTranslator program, toolkit;
    {
        QSettings settings;
        const int language = Tarsyn::installCatalogues(settings, program, toolkit);
        QCOMPARE(language == 1, german);
    }
    QCOMPARE(program.isEmpty(), !german);
    QCOMPARE(toolkit.isEmpty(), !german);
    {
        MainWindow w;
        w.postShowInit();
        const QStringList texts{w.windowTitle(), w.groupBox->title(), w.groupBox_3->title(),
                                w.groupBox_4->title(), w.ConnectButton->text(), w.TryConText->text(),
                                w.TransferButton->text()};
        const QStringList english{"Tarsyn+ Update", "Tarsyn+ information", "MIDI IN port",
                                  "MIDI OUT port", "Connect", "try to connect...", "Update"};
        const QStringList deutsch{"Tarsyn+ Aktualisierung", "Tarsyn+ Informationen", "MIDI-Eingang",
                                  "MIDI-Ausgang", "Verbinden", "Verbindungsaufbau...", "Aktualisieren"};
        QCOMPARE(texts, german ? deutsch : english);
        QCOMPARE(w.label->text(), QStringLiteral("SN:"));
        QCOMPARE(w.label_2->text(), QStringLiteral("Version:"));
    }
    // The toolkit's own texts follow too.
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"),
             german ? QStringLiteral("Abbrechen") : QStringLiteral("Cancel"));

    QCoreApplication::removeTranslator(&toolkit);
    QCoreApplication::removeTranslator(&program);

    // The store is read, never written.
    QFile after(file);
    const QByteArray storeAfter = after.open(QIODevice::ReadOnly) ? after.readAll() : QByteArray();
    QCOMPARE(storeAfter, storeBefore);
}

void StartupTest::germanMessageBoxes()
{
    {
        QSettings settings;
        settings.setValue(QStringLiteral("language"), 1);
    }
    QTranslator program, toolkit;
    QSettings settings;
    QCOMPARE(Tarsyn::installCatalogues(settings, program, toolkit), 1);

    MainWindow w;
    w.show();
    w.postShowInit();
    CaptureSink sink;
    w.deviceLink().setSink(&sink);
    BoxCloser boxes;

    // A transfer that the unit stops answering.
    w.firmwareTransfer().guard().setTimeout(10);
    w.firmwareTransfer().guard().setMaxRepeats(0);
    w.Transfer();
    QTRY_COMPARE(boxes.count(), 1);
    QCOMPARE(boxes.titles, QStringList({"Tarsyn+ Update"}));
    QCOMPARE(boxes.texts, QStringList({"Das Gerät antwortet nicht. Die Aktualisierung wurde nicht abgeschlossen."}));
    QCOMPARE(boxes.buttons, QStringList({"OK"}));
    QCOMPARE(QCoreApplication::translate("MainWindow", "The preset in bank %1, slot %2 could not be written."),
             QStringLiteral("Das Preset in Bank %1, Platz %2 konnte nicht geschrieben werden."));
    QCOMPARE(QCoreApplication::translate("MainWindow", "transfer successful, %1 retries"),
             QStringLiteral("Übertragung erfolgreich, %1 Wiederholungen"));
    QCOMPARE(QCoreApplication::translate("MainWindow", "Disconnect"), QStringLiteral("Trennen"));

    QCoreApplication::removeTranslator(&toolkit);
    QCoreApplication::removeTranslator(&program);
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"

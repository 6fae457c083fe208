// The window as the user meets it: its controls in each connection state and the replies that
// move it on, the update with its bar and boxes, the preset passes, and ports that go or are in
// use. Replies are delivered as MidiEvents; the test (or a LinkedUnit) is the sink of what the
// window sends. The ports the window opens are real: a peer on the private JACK server (or the
// MIDI system that TARSYN_MIDI_API names).

#include "LinkedUnit.h"
#include "MainWindow.h"
#include "MidiEvent.h"
#include "PortLock.h"

#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace Tarsyn;
using TestSupport::LinkedUnit;
using TestSupport::reply;

static int commandOf(const QByteArray &m) { return std::uint8_t(m.at(CommandPos)); }

// Serial 22037 in four 7-bit groups in the header; the version word 2 | minor << 8 in two;
// the name ended by 0x7F.
static QByteArray identity(int minor)
{
    return reply(UnitIdentity, (QByteArray("\x02", 1) + char(minor << 1)) + "Tarsyn+\x7F").replace(5, 4, "\x15\x2C\x01\x00", 4);
}

static QString controls(MainWindow &w)
{
    return QStringLiteral("tryCon=%1 bar=%2 lists=%3 %4=%5 transfer=%6 id=%7 %8")
        .arg(w.TryConText->isVisibleTo(&w)).arg(w.progressBar->isVisibleTo(&w))
        .arg(w.MidiInList->isEnabled() && w.MidiOutList->isEnabled())
        .arg(w.ConnectButton->text()).arg(w.ConnectButton->isEnabled()).arg(w.TransferButton->isEnabled())
        .arg(w.SnEdit->text(), w.VersionEdit->text()).trimmed();
}

// The controls as a refresh leaves them, by connection state (connected: to the unit `version`).
static QString refreshed(int state, const QString &version = QStringLiteral("2.09"))
{
    return QStringList{"tryCon=0 bar=0 lists=1 Connect=1 transfer=0 id=",
                       "tryCon=1 bar=0 lists=0 Disconnect=1 transfer=0 id=",
                       "tryCon=0 bar=0 lists=0 Disconnect=1 transfer=1 id=000-022-037 " + version}.at(state);
}

// From a state (3: updating), a click ("click" on Connect, "update, no file") or a message
// from the unit, to a connection state; the command sent (-1: none) and whether the controls
// were refreshed.
struct Event { int from; QByteArray event; int to; int sentCommand; bool refreshes; };
Q_DECLARE_METATYPE(Event)

class MainWindowTest : public QObject, public MessageSink {
    Q_OBJECT
public:
    bool sendLongMessage(const QByteArray &message) override { sent << message; return true; }

private:
    std::unique_ptr<MainWindow> w;
    MidiPort peer;
    QString peerName = QStringLiteral("tarsyn-ui-peer-%1").arg(QCoreApplication::applicationPid());
    QList<QByteArray> sent;
    QStringList boxes; // each modal box as "title: text", closed with OK
    QTimer boxCloser;
    QTemporaryDir runtime; // the port locks' folder, away from real programs

    void deliver(const QByteArray &message)
    {
        MidiEvent event(message);
        QCoreApplication::sendEvent(w.get(), &event);
    }
    // The two lists show a port whose name contains `name` (the peer's unless given).
    bool listed(const QString &name = {}) const
    {
        return !w->MidiInList->findItems(name.isEmpty() ? peerName : name, Qt::MatchContains).isEmpty()
            && !w->MidiOutList->findItems(name.isEmpty() ? peerName : name, Qt::MatchContains).isEmpty();
    }
    void select(const QString &name)
    {
        for (QListWidget *list : {w->MidiInList, w->MidiOutList})
            list->setCurrentItem(list->findItems(name, Qt::MatchContains).value(0));
    }
    // A LinkedUnit that answers what the window sends.
    std::unique_ptr<LinkedUnit> linkUnit()
    {
        auto unit = std::make_unique<LinkedUnit>([this](const QByteArray &r) { deliver(r); });
        w->deviceLink().setSink(unit.get());
        return unit;
    }

    // States 0 to 2, or 3: connected, an update running with block 0 acknowledged; through
    // the ports named `name` (the peer's unless given).
    void reach(int state, int minor = 9, const QString &name = {})
    {
        if (state == Disconnected)
            return;
        select(name.isEmpty() ? peerName : name);
        for (int i = 0; i < 3 && w->state() == Disconnected; ++i)
            w->Connect(); // JACK now and then turns a new client away
        if (state >= Connected)
            deliver(identity(minor));
        QCOMPARE(int(w->state()), qMin(state, 2));
        if (state == 3) {
            w->Transfer();
            deliver(reply(UnitBlockOk));
        }
        sent.clear();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        QVERIFY2(peer.openVirtual(peerName), "cannot open virtual MIDI ports (ctest fixture jack)");
        connect(&boxCloser, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxes << box->windowTitle() + ": " + box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        boxCloser.start(10);
    }

    void init()
    {
        // Now and then a listing of the MIDI system misses a port: build the window again.
        for (int i = 0; i < 3 && (i == 0 || !listed()); ++i) {
            w = std::make_unique<MainWindow>();
            w->show();
            w->postShowInit();
        }
        w->deviceLink().setSink(this);
        // Replies come at once; a slow run must not look like a lost reply.
        w->identifyRepeats().setTimeout(600000);
        w->firmwareTransfer().guard().setTimeout(600000);
        w->presetExchange().guard().setTimeout(600000);
        sent.clear();
        boxes.clear();
    }
    void cleanup() { w->deviceLink().setSink(this); } // a test's LinkedUnit is gone

    // The Connect button and the unit's replies in every connection state; only the identity
    // that answers a pending connection completes it (and shows the unit).
    void events_data()
    {
        QTest::addColumn<Event>("e");
        const QByteArray click("click");
        QTest::newRow("disconnected, connect") << Event{0, click, 1, CmdIdentify, true};
        QTest::newRow("connecting, disconnect") << Event{1, click, 0, -1, true};
        QTest::newRow("connected, disconnect") << Event{2, click, 0, -1, true};
        QTest::newRow("connected, update, no file") << Event{2, "update, no file", 2, -1, true};
        // Status 0 gives the controls back; the update goes on with the next block.
        QTest::newRow("updating, status 0") << Event{3, reply(UnitStatus, QByteArray(1, '\0')), 2, -1, true};
        const struct { const char *name; QByteArray message; bool refreshes = false; } replies[] = {
            {"foreign header", QByteArray::fromHex("f000112203000000002400f7")},
            {"status 1", reply(UnitStatus, QByteArray(1, '\1'))},
            {"status 0", reply(UnitStatus, QByteArray(1, '\0')), true},
            // With no update or pass running, there is nothing to send again or read back.
            {"ack before any update", reply(UnitBlockOk)},
            {"resend before any update", reply(UnitResendLarge)},
            {"preset written", reply(UnitPresetWritten)},
        };
        for (int state : {0, 1, 2}) {
            QTest::addRow("state %d, identity 2.10", state)
                << Event{state, identity(10), state == Connecting ? 2 : state, -1, state == Connecting};
            for (const auto &r : replies)
                QTest::addRow("state %d, %s", state, r.name) << Event{state, r.message, state, -1, r.refreshes};
        }
    }

    void events()
    {
        QFETCH(Event, e);
        reach(e.from, 10);
        // Marks that only a refresh of the controls puts right.
        w->progressBar->show();
        w->TryConText->setVisible(e.from != Connecting);
        const QString before = controls(*w);
        w->setFirmwarePath(QStringLiteral("/nonexistent/tarsosV2_3.bin")); // for "update, no file"
        if (e.event == "update, no file") {
            w->TransferButton->click();
        } else if (e.event == "click") {
            w->ConnectButton->click();
        } else {
            MidiEvent midiEvent(e.event);
            QVERIFY(QCoreApplication::sendEvent(w.get(), &midiEvent)); // every MidiEvent counts as handled
        }
        QCOMPARE(int(w->state()), e.to);
        QCOMPARE(sent.size(), e.sentCommand >= 0 ? 1 : 0);
        QCOMPARE(sent.isEmpty() ? -1 : commandOf(sent.last()), e.sentCommand);
        QCOMPARE(controls(*w), e.refreshes ? refreshed(e.to, "2.10") : before);
        QCOMPARE(w->midiPort().inputOpen() && w->midiPort().outputOpen(), e.to != Disconnected);
        // A lost identify request goes out again while, and only while, a connection is pending.
        QCOMPARE(w->identifyRepeats().watching(), e.to == Connecting);
        // The window holds the unit's ports (against other programs) while connecting or connected.
        PortLock probe;
        QCOMPARE(probe.acquire(w->MidiInList->currentItem()->text(), w->MidiOutList->currentItem()->text()),
                 e.to == Disconnected ? PortLock::Result::Acquired : PortLock::Result::Busy);
    }

    // An update against a LinkedUnit, from the click to the box that ends it: while it runs,
    // neither button can start anything and the bar counts from 0; afterwards the controls come
    // back, whether the update completed or the unit gave up.
    void update_data()
    {
        QTest::addColumn<bool>("multiPart");
        QTest::addColumn<int>("resends"); // -1: the unit asks for every block again
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("box");
        const QString done = "Tarsyn+ Update: transfer successful", failed = " The update did not complete.";
        QTest::newRow("single message") << false << 0 << false << done;
        QTest::newRow("multi-part, 3 resends") << true << 3 << false << done + ", 3 retries";
        QTest::newRow("unit keeps asking") << true << -1 << false
            << "Tarsyn+ Update: The unit keeps asking for block 0x0 again: check the MIDI connection." + failed;
        QTest::newRow("unit silent") << false << 0 << true << "Tarsyn+ Update: The unit does not answer." + failed;
    }

    void update()
    {
        QFETCH(bool, multiPart);
        QFETCH(int, resends);
        QFETCH(bool, silent);
        QFETCH(QString, box);
        const QString version = multiPart ? "2.10" : "2.09";
        if (silent) { // gives up after two repeats
            w->firmwareTransfer().guard().setTimeout(20);
            w->firmwareTransfer().guard().setMaxRepeats(2);
        }
        reach(Connected, multiPart ? 10 : 9);
        auto unit = linkUnit();
        unit->multiPart = multiPart;
        unit->faults.silentAfter = silent ? 0 : -1;
        unit->alwaysResend = resends < 0;
        // The unit asks again for a small block, a large block and the last block.
        const std::uint32_t resendAt[] = {0x1000, 0x90000, LastPayloadBlock};
        unit->resendOnce.insert(resendAt, resendAt + qMax(resends, 0));
        w->TransferButton->click();
        QCOMPARE(controls(*w), "tryCon=0 bar=1 lists=0 Disconnect=0 transfer=0 id=000-022-037 " + version);
        QCOMPARE(w->progressBar->value(), 0);
        QVERIFY(TestSupport::waitUntil([&] { return !w->firmwareTransfer().running(); }));
        QCOMPARE(boxes, QStringList{box});
        QCOMPARE(controls(*w), refreshed(Connected, version));
        if (box.contains("successful")) {
            QVERIFY(std::equal(unit->flash.begin(), unit->flash.begin() + PayloadSize, w->deviceLink().imageBuffer()));
            QCOMPARE(w->progressBar->value(), 10838);
        }
    }

    // A port comes and goes: the lists follow in the port's order (Connect opens by row) and keep
    // the selection of ports that stay. A selected port that goes leaves no row selected (never
    // its neighbour); a port of the open pair that goes (the unit unplugged) ends whatever runs
    // with a box that names it. The controls come back and Connect then opens nothing.
    void portGoes_data()
    {
        QTest::addColumn<int>("state");   // 4: a preset pass running
        QTest::addColumn<QString>("box");
        const QString gone = "Tarsyn+ Update: The MIDI port \"%1\" has gone.";
        QTest::newRow("selected") << int(Disconnected) << QString();
        QTest::newRow("connecting") << int(Connecting) << gone;
        QTest::newRow("connected") << int(Connected) << gone;
        QTest::newRow("updating") << 3 << gone + " The update did not complete.";
        QTest::newRow("preset pass") << 4
            << "Tarsyn+ Preset Manager: The MIDI port \"%1\" has gone. The preset transfer did not complete.";
    }

    void portGoes()
    {
        QFETCH(int, state);
        QFETCH(QString, box);
        const QString name = QStringLiteral("tarsyn-ui-gone-%1").arg(QCoreApplication::applicationPid());
        select(peerName);
        MidiPort unit;
        QVERIFY(unit.openVirtual(name));
        QTRY_VERIFY_WITH_TIMEOUT(listed(name), 10000);
        for (QListWidget *list : {w->MidiInList, w->MidiOutList}) {
            QStringList rows;
            for (int row = 0; row < list->count(); ++row)
                rows << list->item(row)->text();
            QCOMPARE(rows, list == w->MidiInList ? w->midiPort().listedInputs() : w->midiPort().listedOutputs());
            QVERIFY(list->currentItem() && list->currentItem()->text().contains(peerName));
        }
        select(name);
        reach(state == 4 ? int(Connected) : state, 9, name);
        if (state == 4)
            w->presetExchange().startReceive();
        // The unit's ports go one after the other: the box names the first that went.
        const QString inName = w->midiPort().openInputName(), outName = w->midiPort().openOutputName();
        unit.close();
        QTRY_VERIFY_WITH_TIMEOUT(!listed(name) && boxes.size() == (box.isEmpty() ? 0 : 1), 10000);
        if (!box.isEmpty())
            QVERIFY2(boxes.first() == box.arg(inName) || boxes.first() == box.arg(outName), qPrintable(boxes.first()));
        QCOMPARE(controls(*w), refreshed(Disconnected));
        QVERIFY(!w->firmwareTransfer().running() && !w->presetExchange().passRunning());
        for (QListWidget *list : {w->MidiInList, w->MidiOutList})
            QVERIFY2(list->currentRow() == -1 && list->selectedItems().isEmpty(), qPrintable(list->objectName()));
        sent.clear();
        w->ConnectButton->click();
        QCOMPARE(w->state(), Disconnected);
        QVERIFY(sent.isEmpty() && !w->midiPort().inputOpen() && !w->midiPort().outputOpen());
    }

    // A preset pass moves the bar and ends by closing the ports and the window. The box that
    // ends a compare pass counts the extra writes and shows only when there were any; a preset
    // that does not stick is named.
    void presetPasses_data()
    {
        QTest::addColumn<bool>("receive");
        QTest::addColumn<int>("ignoredWrites"); // writes of bank 2 slot 7 that do not stick
        QTest::addColumn<int>("bar");
        QTest::addColumn<QStringList>("boxes");
        const QString title = "Tarsyn+ Preset Manager: ";
        QTest::newRow("receive") << true << 0 << PresetCount << QStringList();
        QTest::newRow("compare, writes stick") << false << 0 << PresetCount << QStringList();
        QTest::newRow("compare, two retries") << false << 2 << PresetCount
            << QStringList{title + "transfer successful, 2 retries"};
        QTest::newRow("compare, never sticks") << false << 1000 << 2 * PresetSlots + 7
            << QStringList{title + "The preset in bank 2, slot 7 could not be written."};
    }

    void presetPasses()
    {
        QFETCH(bool, receive);
        QFETCH(int, ignoredWrites);
        QFETCH(int, bar);
        QFETCH(QStringList, boxes);
        reach(Connected);
        auto unit = linkUnit();
        PresetExchange &presets = w->presetExchange();
        w->progressBar->setRange(0, PresetCount); // whoever starts a pass sets the bar up
        if (receive) {
            presets.startReceive();
        } else {
            // The store holds the unit's presets but for bank 2 slot 7.
            for (int i = 0; i < PresetCount; ++i)
                presets.storePreset(i / PresetSlots, i % PresetSlots, &unit->presets[std::size_t(i) * PresetSize]);
            presets.presetImage()[2 * 32768 + 7 * 256] ^= 0x01;
            presets.storeFilled = true;
            unit->ignoredPreset = (2 * PresetSlots + 7) * PresetSize;
            unit->ignoredWrites = ignoredWrites;
            presets.startCompare();
        }
        QVERIFY(TestSupport::waitUntil([&] { return !w->isVisible(); }));
        QCOMPARE(this->boxes, boxes);
        QCOMPARE(w->progressBar->value(), bar);
        QVERIFY(!w->progressBar->isVisibleTo(w.get()));
        QCOMPARE(w->state(), Disconnected);
        QVERIFY(!w->midiPort().inputOpen() && !w->midiPort().outputOpen());
    }

    // Another program holds the unit's port: Connect says which port and stays disconnected,
    // sending nothing.
    void portInUse()
    {
        select(peerName);
        QVERIFY(w->MidiOutList->currentItem());
        const QString out = w->MidiOutList->currentItem()->text();
        PortLock other;
        QCOMPARE(other.acquire(QStringLiteral("elsewhere"), out), PortLock::Result::Acquired);
        w->Connect();
        QCOMPARE(boxes, QStringList{"Tarsyn+ Update: The port \"" + out + "\" is in use by another Tarsyn+ program on "
                                    "this computer.\nOnly one program at a time may talk to a unit."});
        QVERIFY(sent.isEmpty());
        QCOMPARE(controls(*w), refreshed(Disconnected));
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

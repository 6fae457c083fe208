// The window as the user meets it: its controls in each connection state and the replies that
// move it on, the update with its bar and boxes, the preset passes, and ports that go, are in
// use or refuse to send. The window runs on an in-process port pair (TestPair): replies are
// delivered as MidiEvents, from the test or from the pair's unit. tst_window_e2e runs the
// program itself through JACK.

#include "MainWindow.h"
#include "PortLock.h"
#include "TestPair.h"

#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace Tarsyn;
using TestSupport::reply;
using TestSupport::TestPair;

static int commandOf(const QByteArray &m) { return std::uint8_t(m.at(CommandPos)); }

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

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> w;
    TestPair *pair = nullptr; // the window's
    QStringList boxes; // each modal box as "title: text", closed with OK
    QTimer boxCloser;
    QTemporaryDir runtime; // the port locks' folder, away from real programs

    void deliver(const QByteArray &message)
    {
        MidiEvent event(message);
        QCoreApplication::sendEvent(w.get(), &event);
    }
    void select(const QString &name)
    {
        for (QListWidget *list : {w->MidiInList, w->MidiOutList})
            list->setCurrentItem(list->findItems(name, Qt::MatchContains).value(0));
    }
    // The pair's unit answers what the window sends from now on.
    TestSupport::LinkedUnit &unit()
    {
        pair->answers = true;
        return *pair->unit;
    }

    // States 0 to 2, or 3: connected, an update running with block 0 acknowledged; through
    // the ports named `name` ("unit" unless given).
    void reach(int state, int minor = 9, const QString &name = QStringLiteral("unit"))
    {
        if (state == Disconnected)
            return;
        select(name);
        w->Connect();
        if (state >= Connected)
            deliver(TestSupport::identityReply(minor));
        QCOMPARE(int(w->state()), qMin(state, 2));
        if (state == 3) {
            w->Transfer();
            deliver(reply(UnitBlockOk));
        }
        pair->sent.clear();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
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
        auto owned = std::make_unique<TestPair>();
        pair = owned.get();
        pair->answers = false;
        w = std::make_unique<MainWindow>(std::move(owned));
        w->show();
        w->postShowInit();
        // Replies come at once; a slow run must not look like a lost reply.
        w->session().setTimeout(600000);
        boxes.clear();
    }

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
                << Event{state, TestSupport::identityReply(10), state == Connecting ? 2 : state, -1, state == Connecting};
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
        QCOMPARE(pair->sent.size(), e.sentCommand >= 0 ? 1 : 0);
        QCOMPARE(pair->sent.isEmpty() ? -1 : commandOf(pair->sent.last()), e.sentCommand);
        QCOMPARE(controls(*w), e.refreshes ? refreshed(e.to, "2.10") : before);
        QCOMPARE(pair->isOpen, e.to != Disconnected);
        // A lost identify request goes out again while, and only while, a connection is pending.
        QCOMPARE(w->session().identifyGuard().watching(), e.to == Connecting);
        // The window holds the unit's ports (against other programs) while connecting or connected.
        PortLock probe;
        QCOMPARE(probe.acquire(w->MidiInList->currentItem()->text(), w->MidiOutList->currentItem()->text()),
                 e.to == Disconnected ? PortLock::Result::Acquired : PortLock::Result::Busy);
    }

    // An update against the pair's unit, from the click to the box that ends it: while it
    // runs, neither button can start anything and the bar counts from 0; afterwards the
    // controls come back, whether the update completed or the unit gave up. Status 0 mid-way
    // gives the controls back and the update still completes; an output that refuses ends
    // the connection at once, naming the port.
    void update_data()
    {
        QTest::addColumn<bool>("multiPart");
        QTest::addColumn<int>("resends"); // -1: the unit asks for every block again
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("box");
        const QString done = "Tarsyn+ Update: transfer successful", failed = " The update did not complete.";
        QTest::newRow("single message") << false << 0 << "" << done;
        QTest::newRow("multi-part, 3 resends") << true << 3 << "" << done + ", 3 retries";
        QTest::newRow("unit keeps asking") << true << -1 << ""
            << "Tarsyn+ Update: The unit keeps asking for block 0x0 again: check the MIDI connection." + failed;
        QTest::newRow("unit silent") << false << 0 << "silent" << "Tarsyn+ Update: The unit does not answer." + failed;
        QTest::newRow("status 0 mid-way") << false << 0 << "status 0" << done;
        QTest::newRow("output refuses") << true << 0 << "refuses"
            << "Tarsyn+ Update: Cannot send to the MIDI port \"client:unit in\"." + failed;
    }

    void update()
    {
        QFETCH(bool, multiPart);
        QFETCH(int, resends);
        QFETCH(QString, fault);
        QFETCH(QString, box);
        const QString version = multiPart ? "2.10" : "2.09";
        if (fault == "silent") { // gives up after two repeats
            w->session().setTimeout(20);
            w->session().setMaxRepeats(2);
        }
        reach(Connected, multiPart ? 10 : 9);
        unit().multiPart = multiPart;
        unit().faults.silentAfter = fault == "silent" ? 0 : -1;
        unit().resendAlways = resends < 0;
        if (fault == "refuses")
            pair->refuseAfter = pair->attempts + 100;
        int statusZeroes = 0;
        pair->extra = [&](int n) {
            if (fault != "status 0" || n != 1000)
                return QList<QByteArray>{};
            ++statusZeroes;
            return QList<QByteArray>{reply(UnitStatus, QByteArray(1, '\0'))};
        };
        // The unit asks again for a small block, a large block and the last block.
        const std::uint32_t resendAt[] = {0x1000, 0x90000, LastPayloadBlock};
        unit().resendOnce.insert(resendAt, resendAt + qMax(resends, 0));
        w->TransferButton->click();
        QCOMPARE(controls(*w), "tryCon=0 bar=1 lists=0 Disconnect=0 transfer=0 id=000-022-037 " + version);
        QCOMPARE(w->progressBar->value(), 0);
        QVERIFY(TestSupport::waitUntil([&] { return !w->session().running() && !boxes.isEmpty(); }));
        QCOMPARE(boxes, QStringList{box});
        QCOMPARE(statusZeroes, fault == "status 0" ? 1 : 0);
        if (fault == "refuses") {
            QCOMPARE(controls(*w), refreshed(Disconnected));
            QCOMPARE(pair->attempts, pair->refuseAfter + 1); // nothing after the refused message
            QVERIFY(!pair->isOpen);
            return;
        }
        QCOMPARE(controls(*w), refreshed(Connected, version));
        if (box.contains("successful")) {
            QVERIFY(std::equal(unit().flash.begin(), unit().flash.begin() + PayloadSize,
                               w->session().deviceLink().imageBuffer()));
            QCOMPARE(w->progressBar->value(), 10838);
        }
    }

    // A second update on the same connection counts afresh: its bar starts at 0 and its box
    // tells its own resend requests, none left from the first.
    void secondTransfer()
    {
        reach(Connected);
        unit().resendOnce = {0x1000, 0x2000};
        w->TransferButton->click();
        QVERIFY(TestSupport::waitUntil([&] { return !boxes.isEmpty(); }));
        w->TransferButton->click();
        QVERIFY(TestSupport::waitUntil([&] { return boxes.size() == 2; }));
        QCOMPARE(boxes, (QStringList{"Tarsyn+ Update: transfer successful, 2 retries", "Tarsyn+ Update: transfer successful"}));
        QCOMPARE(w->progressBar->value(), 10838);
    }

    // Ports come and go: the lists follow and keep the selection of ports that stay. A
    // selected port that goes leaves no row selected (never its neighbour); a port of the open
    // pair that goes (the unit unplugged) ends whatever runs with a box that names it. The
    // controls come back and Connect then opens nothing.
    void portGoes_data()
    {
        QTest::addColumn<int>("state");   // 4: a preset pass running
        QTest::addColumn<QString>("box");
        const QString gone = "Tarsyn+ Update: The MIDI port \"client:gone out\" has gone.";
        QTest::newRow("selected") << int(Disconnected) << QString();
        QTest::newRow("connecting") << int(Connecting) << gone;
        QTest::newRow("connected") << int(Connected) << gone;
        QTest::newRow("updating") << 3 << gone + " The update did not complete.";
        QTest::newRow("preset pass") << 4
            << "Tarsyn+ Preset Manager: The MIDI port \"client:gone out\" has gone. The preset transfer did not complete.";
    }

    void portGoes()
    {
        QFETCH(int, state);
        QFETCH(QString, box);
        pair->inputs = QStringList{"client:gone out", "client:unit out"};
        pair->outputs = QStringList{"client:gone in", "client:unit in"};
        emit pair->portsChanged();
        select("unit");
        QCOMPARE(w->MidiInList->count(), 2);
        QCOMPARE(w->MidiInList->currentItem()->text(), "client:unit out");
        select("gone");
        reach(state == 4 ? int(Connected) : state, 9, "gone");
        if (state == 4)
            w->session().startPresetPass(true);
        pair->inputs.removeFirst();
        pair->outputs.removeFirst();
        emit pair->portsChanged();
        emit pair->openPortGone("client:gone out");
        QCOMPARE(boxes, box.isEmpty() ? QStringList() : QStringList{box});
        QCOMPARE(controls(*w), refreshed(Disconnected));
        QVERIFY(!w->session().running() && !w->session().presetExchange().passRunning());
        for (QListWidget *list : {w->MidiInList, w->MidiOutList})
            QVERIFY2(list->count() == 1 && list->currentRow() == -1 && list->selectedItems().isEmpty(),
                     qPrintable(list->objectName()));
        pair->sent.clear();
        w->ConnectButton->click();
        QCOMPARE(w->state(), Disconnected);
        QVERIFY(pair->sent.isEmpty() && !pair->isOpen);
    }

    // A preset pass moves the bar and ends by closing the ports and the window. The box that
    // ends a compare pass counts the extra writes and shows only when there were any; a preset
    // that does not stick is named, and so is a unit that stops answering.
    void presetPasses_data()
    {
        QTest::addColumn<bool>("receive");
        QTest::addColumn<int>("ignoredWrites"); // writes of bank 2 slot 7 that do not stick
        QTest::addColumn<int>("silentAfter");
        QTest::addColumn<int>("bar");
        QTest::addColumn<QStringList>("boxes");
        const QString title = "Tarsyn+ Preset Manager: ";
        QTest::newRow("receive") << true << 0 << -1 << PresetCount << QStringList();
        QTest::newRow("compare, writes stick") << false << 0 << -1 << PresetCount << QStringList();
        QTest::newRow("compare, two retries") << false << 2 << -1 << PresetCount
            << QStringList{title + "transfer successful, 2 retries"};
        QTest::newRow("compare, never sticks") << false << 1000 << -1 << 2 * PresetSlots + 7
            << QStringList{title + "The preset in bank 2, slot 7 could not be written."};
        QTest::newRow("receive, unit goes silent") << true << 0 << 100 << 100
            << QStringList{title + "The unit does not answer. The preset transfer did not complete."};
    }

    void presetPasses()
    {
        QFETCH(bool, receive);
        QFETCH(int, ignoredWrites);
        QFETCH(int, silentAfter);
        QFETCH(int, bar);
        QFETCH(QStringList, boxes);
        if (silentAfter >= 0) { // gives up after two repeats
            w->session().setTimeout(20);
            w->session().setMaxRepeats(2);
        }
        reach(Connected);
        unit().faults.silentAfter = silentAfter;
        PresetExchange &presets = w->session().presetExchange();
        w->progressBar->setRange(0, PresetCount); // whoever starts a pass sets the bar up
        if (!receive) {
            // The store holds the unit's presets but for bank 2 slot 7.
            std::vector<std::uint8_t> stored = unit().presets;
            stored[2 * 32768 + 7 * 256] ^= 0x01;
            for (int i = 0; i < PresetCount; ++i)
                presets.storePreset(i / PresetSlots, i % PresetSlots, &stored[std::size_t(i) * PresetSize]);
            presets.markStoreFilled();
            unit().ignoredPreset = (2 * PresetSlots + 7) * PresetSize;
            unit().ignoredWrites = ignoredWrites;
        }
        w->session().startPresetPass(receive);
        QVERIFY(TestSupport::waitUntil([&] { return !w->isVisible(); }));
        QCOMPARE(this->boxes, boxes);
        QCOMPARE(w->progressBar->value(), bar);
        QVERIFY(!w->progressBar->isVisibleTo(w.get()));
        QCOMPARE(w->state(), Disconnected);
        QVERIFY(!pair->isOpen);
    }

    // Disconnect and close1() end a pass the unit drove: a reply that comes later continues
    // nothing and sends nothing.
    void presetPassEnds_data()
    {
        QTest::addColumn<bool>("viaClose1");
        QTest::newRow("Disconnect") << false;
        QTest::newRow("close1()") << true;
    }

    void presetPassEnds()
    {
        QFETCH(bool, viaClose1);
        reach(Connected);
        QByteArray packed(PackedPresetSize, '\0');
        w->session().presetExchange().markStoreFilled(); // differs from the unit's: a write
        deliver(reply(UnitPresetData, packed));
        QCOMPARE(int(w->session().job()), int(UnitSession::Job::PresetPass));
        QCOMPARE(pair->sent.size(), 1);
        const int attempts = pair->attempts;
        if (viaClose1)
            w->close1();
        else
            w->ConnectButton->click();
        QVERIFY(!w->session().running() && !w->session().presetExchange().passRunning());
        deliver(reply(UnitPresetWritten));
        deliver(reply(UnitPresetData, packed));
        QCOMPARE(pair->sent.size(), 1);
        QCOMPARE(pair->attempts, attempts);
        QVERIFY(!w->session().running() && !w->session().presetExchange().passRunning());
    }

    // Another program holds the unit's port: Connect says which port and stays disconnected,
    // sending nothing.
    void portInUse()
    {
        select("unit");
        PortLock other;
        QCOMPARE(other.acquire(QStringLiteral("elsewhere"), "client:unit in"), PortLock::Result::Acquired);
        w->Connect();
        QCOMPARE(boxes, QStringList{"Tarsyn+ Update: The port \"client:unit in\" is in use by another Tarsyn+ program on "
                                    "this computer.\nOnly one program at a time may talk to a unit."});
        QVERIFY(pair->sent.isEmpty() && !pair->isOpen);
        QCOMPARE(controls(*w), refreshed(Disconnected));
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

// The window as the user meets it: its form, the connection states, every reply from the
// unit in every state, the firmware update with its counter, bar and boxes, and the preset
// passes. Replies are delivered as MidiEvents; the test itself is the sink of what the window
// sends. The ports the window opens are real: a peer on the private JACK server (or the MIDI
// system that TARSYN_MIDI_API names).

#include "LinkedUnit.h"
#include "MainWindow.h"
#include "MessageSink.h"
#include "MidiEvent.h"
#include "PortLock.h"

#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <array>

using namespace Tarsyn;

static int commandOf(const QByteArray &m) { return std::uint8_t(m.at(CommandPos)); }

static QByteArray reply(std::uint8_t command, const QByteArray &payload = {})
{
    const QByteArray start(reinterpret_cast<const char *>(FrameStart), sizeof FrameStart);
    return start + QByteArray(4, '\0') + char(command) + payload + char(SysExEnd);
}

// Serial 22037 in four 7-bit groups in the header; the version word 2 | minor << 8 in two;
// the name ended by 0x7F.
static QByteArray identity(int minor)
{
    return reply(UnitIdentity, (QByteArray("\x02", 1) + char(minor << 1)) + "Tarsyn+\x7F").replace(5, 4, "\x15\x2C\x01\x00", 4);
}

static std::array<std::uint8_t, PresetSize> wirePreset(const QByteArray &write)
{
    std::array<std::uint8_t, PresetSize> p{};
    unpackSevenBit(PackedPresetSize, reinterpret_cast<const std::uint8_t *>(write.constData()) + 12, p.data());
    return p;
}

static std::array<std::uint8_t, PresetSize> presetFor(int bank, int slot)
{
    std::array<std::uint8_t, PresetSize> p{};
    for (int i = 0; i < PresetSize; ++i)
        p[i] = std::uint8_t(i * 7 + bank * 31 + slot * 3);
    return p;
}

static QString controls(MainWindow &w)
{
    return QStringLiteral("tryCon=%1 bar=%2 lists=%3 %4=%5 transfer=%6")
        .arg(w.TryConText->isVisibleTo(&w)).arg(w.progressBar->isVisibleTo(&w))
        .arg(w.MidiInList->isEnabled() && w.MidiOutList->isEnabled())
        .arg(w.ConnectButton->text()).arg(w.ConnectButton->isEnabled()).arg(w.TransferButton->isEnabled());
}

// The controls as a refresh leaves them, by connection state.
const QString refreshed[] = {"tryCon=0 bar=0 lists=1 Connect=1 transfer=0",
                             "tryCon=1 bar=0 lists=0 Disconnect=1 transfer=0",
                             "tryCon=0 bar=0 lists=0 Disconnect=1 transfer=1"};

// From a state (3: updating), a click ("click", "click, no port", "update, no file") or a
// message from the unit, to a connection state; the command sent (-1: none) and whether the controls were refreshed.
struct Event { int from; QByteArray event; int to; int sentCommand; bool refreshes; };


Q_DECLARE_METATYPE(Event)
Q_DECLARE_METATYPE(TestSupport::LinkFaults)

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
    bool listed(QListWidget *list) const { return listed(list, peerName); }
    static bool listed(QListWidget *list, const QString &name)
    {
        return !list->findItems(name, Qt::MatchContains).isEmpty();
    }
    static QStringList rows(QListWidget *list)
    {
        QStringList texts;
        for (int row = 0; row < list->count(); ++row)
            texts << list->item(row)->text();
        return texts;
    }

    // States 0 to 2, or 3: connected, an update running with block 0 acknowledged; through
    // the ports named `name` (the peer's unless given).
    void reach(int state, int minor = 9, const QString &name = {})
    {
        if (state == Disconnected)
            return;
        for (QListWidget *list : {w->MidiInList, w->MidiOutList})
            list->setCurrentItem(list->findItems(name.isEmpty() ? peerName : name, Qt::MatchContains).value(0));
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
        for (int i = 0; i < 3 && (i == 0 || !listed(w->MidiInList) || !listed(w->MidiOutList)); ++i) {
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

    void form()
    {
        MainWindow form; // as built, before postShowInit
        QCOMPARE(form.size(), QSize(522, 322));
        QCOMPARE(form.sizePolicy(), QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed));
        QStringList widgets; // in creation order: name, class, parent, geometry, text
        for (QWidget *c : form.centralwidget->findChildren<QWidget *>())
            if (!c->objectName().isEmpty() && !c->objectName().startsWith(QLatin1String("qt_")))
                widgets << QStringLiteral("%1 %2 %3 %4,%5 %6x%7 %8").arg(c->objectName(), c->metaObject()->className(),
                    c->parentWidget()->objectName()).arg(c->x()).arg(c->y()).arg(c->width()).arg(c->height())
                    .arg(c->property("text").toString() + c->property("title").toString()).trimmed();
        QCOMPARE(widgets, QStringList({
            "groupBox QGroupBox centralwidget 10,230 171x81 Tarsyn+ information",
            "SnEdit QLineEdit groupBox 70,20 91x21",
            "label QLabel groupBox 10,20 51x21 SN:",
            "VersionEdit QLineEdit groupBox 70,50 91x21",
            "label_2 QLabel groupBox 10,50 51x21 Version:",
            "groupBox_3 QGroupBox centralwidget 10,90 251x131 MIDI IN port",
            "MidiInList QListWidget groupBox_3 10,20 231x101",
            "groupBox_4 QGroupBox centralwidget 270,90 241x131 MIDI OUT port",
            "MidiOutList QListWidget groupBox_4 10,20 221x101",
            "ConnectButton QPushButton centralwidget 200,240 75x23 Connect",
            "TryConText QLabel centralwidget 370,240 91x21 try to connect...",
            "TransferButton QPushButton centralwidget 280,240 75x23 Transfer",
            "progressBar QProgressBar centralwidget 200,280 311x23 24%",
            "IconLabel QLabel centralwidget 110,20 311x61 TextLabel"}));
        QStringList focus;
        for (QWidget *next = form.SnEdit; focus.size() < 7; next = next->nextInFocusChain())
            if (next->focusPolicy() & Qt::TabFocus)
                focus << next->objectName();
        QCOMPARE(focus, QStringList({"SnEdit", "VersionEdit", "MidiInList", "MidiOutList", "ConnectButton",
                                     "TransferButton", "SnEdit"}));
    }

    // One table of events in every connection state: the Connect button, every reply code
    // from the unit, and the identity reply that completes a connection.
    void events_data()
    {
        QTest::addColumn<Event>("e");
        const QByteArray click("click"), id = identity(9);
        QTest::newRow("disconnected, connect") << Event{0, click, 1, CmdIdentify, true};
        QTest::newRow("disconnected, connect, no port") << Event{0, click + ", no port", 0, -1, true};
        QTest::newRow("connecting, disconnect") << Event{1, click, 0, -1, true};
        QTest::newRow("connected, disconnect") << Event{2, click, 0, -1, true};
        QTest::newRow("disconnected, identity") << Event{0, id, 0, -1, false};
        QTest::newRow("connecting, identity") << Event{1, id, 2, -1, true};
        QTest::newRow("connected, identity") << Event{2, id, 2, -1, false};
        QTest::newRow("connected, update, no file") << Event{2, "update, no file", 2, -1, true};
        // Status 0 gives the controls back; the update goes on with the next block.
        QTest::newRow("updating, status 0") << Event{3, reply(UnitStatus, QByteArray(1, '\0')), 2, -1, true};
        const struct { const char *name; QByteArray message; int sentCommand; bool refreshes = false; } replies[] = {
            {"empty", QByteArray(), -1},
            {"foreign header", QByteArray::fromHex("f000112203000000002400f7"), -1},
            {"0x23 other", reply(UnitOther), -1},
            {"0x28 unknown", reply(0x28), -1},
            {"0x44 unknown", reply(0x44, QByteArray(1, '\0')), -1},
            {"status 1", reply(UnitStatus, QByteArray(1, '\1')), -1},
            {"status 0x7F", reply(UnitStatus, QByteArray(1, '\x7F')), -1},
            {"status 0", reply(UnitStatus, QByteArray(1, '\0')), -1, true},
            {"ack 0x24 before any update", reply(UnitBlockOk), -1},
            {"ack 0x25 before any update", reply(UnitBlockOk25), -1},
            // With no update or pass running, there is nothing to send again or read back.
            {"resend small", reply(UnitResendSmall), -1},
            {"resend large", reply(UnitResendLarge), -1},
            {"preset written", reply(UnitPresetWritten), -1},
        };
        for (int state : {0, 1, 2})
            for (const auto &r : replies)
                QTest::addRow("state %d, %s", state, r.name) << Event{state, r.message, state, r.sentCommand, r.refreshes};
    }

    void events()
    {
        QFETCH(Event, e);
        reach(e.from);
        // Marks that only a refresh of the controls puts right.
        w->progressBar->show();
        w->TryConText->setVisible(e.from != Connecting);
        const QString before = controls(*w);
        w->setFirmwarePath(QStringLiteral("/nonexistent/tarsosV2_3.bin")); // for "update, no file"
        if (e.event == "update, no file") {
            w->TransferButton->click();
        } else if (e.event.startsWith("click")) {
            if (e.event.endsWith("no port"))
                for (QListWidget *list : {w->MidiInList, w->MidiOutList})
                    list->setCurrentRow(-1);
            w->ConnectButton->click();
        } else {
            MidiEvent midiEvent(e.event);
            QVERIFY(QCoreApplication::sendEvent(w.get(), &midiEvent)); // every MidiEvent counts as handled
        }
        QCOMPARE(int(w->state()), e.to);
        QCOMPARE(sent.size(), e.sentCommand >= 0 ? 1 : 0);
        QCOMPARE(sent.isEmpty() ? -1 : commandOf(sent.last()), e.sentCommand);
        QCOMPARE(controls(*w), e.refreshes ? refreshed[e.to] : before);
        QCOMPARE(w->midiPort().inputOpen() && w->midiPort().outputOpen(), e.to != Disconnected);
    }

    // The identity fills the two fields (the minor version always with two digits); a
    // disconnect empties them again.
    void identityFields_data()
    {
        QTest::addColumn<int>("minor");
        QTest::addColumn<QString>("version");
        QTest::newRow("2.09") << 9 << "2.09";
        QTest::newRow("2.10") << 10 << "2.10";
        QTest::newRow("2.00") << 0 << "2.00";
        QTest::newRow("2.63") << 63 << "2.63";
    }

    void identityFields()
    {
        QFETCH(int, minor);
        QFETCH(QString, version);
        reach(Connected, minor);
        QCOMPARE(w->SnEdit->text(), "000-022-037");
        QCOMPARE(w->VersionEdit->text(), version);
        w->ConnectButton->click();
        QCOMPARE(int(w->state()), int(Disconnected));
        QCOMPARE(w->SnEdit->text(), QString());
        QCOMPARE(w->VersionEdit->text(), QString());
    }

    void fullTransfer_data()
    {
        QTest::addColumn<bool>("multiPart");
        QTest::addColumn<int>("resends");
        QTest::addColumn<TestSupport::LinkFaults>("faults");
        QTest::addColumn<QString>("box");
        const QString done = "Tarsyn+ Update: transfer successful", retried = done + ", 3 retries";
        QTest::newRow("single message, no resend") << false << 0 << TestSupport::LinkFaults{} << done;
        QTest::newRow("single message, 3 resends") << false << 3 << TestSupport::LinkFaults{} << retried;
        QTest::newRow("multi-part, 3 resends") << true << 3 << TestSupport::LinkFaults{} << retried;
        // Another program asks the unit who it is, and the link doubles replies: neither moves
        // the window out of step or changes the unit it shows.
        TestSupport::LinkFaults faults;
        faults.duplicateEvery = 20;
        faults.strayIdentityEvery = 300;
        QTest::newRow("single message, doubled replies, stray identities") << false << 0 << faults << done;
        QTest::newRow("multi-part, doubled replies, stray identities") << true << 0 << faults << done;
    }

    void fullTransfer()
    {
        QFETCH(bool, multiPart);
        QFETCH(int, resends);
        QFETCH(TestSupport::LinkFaults, faults);
        QFETCH(QString, box);
        reach(Connected, multiPart ? 10 : 9);
        const QString version = w->VersionEdit->text();
        QCOMPARE(version, multiPart ? QString("2.10") : QString("2.09"));
        TestSupport::LinkedUnit unit([this](const QByteArray &r) { deliver(r); });
        unit.multiPart = multiPart;
        unit.faults = faults;
        // The unit asks again for a small block, a large block and the last block.
        const std::uint32_t resendAt[] = {0x1000, 0x90000, LastPayloadBlock};
        unit.resendOnce.insert(resendAt, resendAt + resends);
        w->deviceLink().setSink(&unit);
        QList<int> counts{0}, expected{0};
        connect(&w->firmwareTransfer(), &FirmwareTransfer::progressed, this, [&](int, int count) { counts << count; });
        for (int c = 1; c <= FirmwareTransfer::EndCount; c += c < 2048 ? 1 : 10)
            expected << c;
        w->TransferButton->click();
        QVERIFY(TestSupport::waitUntil([&] { return !boxes.isEmpty(); }));
        QCOMPARE(boxes, QStringList{box});
        QCOMPARE(counts, expected);
        QVERIFY(std::equal(unit.flash.begin(), unit.flash.begin() + PayloadSize, w->deviceLink().imageBuffer()));
        QCOMPARE(w->VersionEdit->text(), version);
        QCOMPARE(w->deviceLink().multiPart, multiPart);
        // Acknowledgements after completion change nothing.
        const auto sentAtEnd = unit.sent.size();
        deliver(reply(UnitBlockOk));
        deliver(reply(UnitBlockOk25));
        QCOMPARE(unit.sent.size(), sentAtEnd);
        QCOMPARE(w->progressBar->value(), 10838);
        QCOMPARE(controls(*w), refreshed[Connected]);
        w->deviceLink().setSink(this);
    }

    // A lost identify request is sent again, with growing waits, until the unit answers.
    void connectRepeatsIdentify()
    {
        w->identifyRepeats().setTimeout(20);
        reach(Connecting);
        QTRY_VERIFY(sent.size() >= 2);
        QVERIFY(std::all_of(sent.cbegin(), sent.cend(), [](const QByteArray &m) { return commandOf(m) == CmdIdentify; }));
        deliver(identity(10));
        QCOMPARE(w->state(), Connected);
        const qsizetype sentWhenConnected = sent.size();
        QTest::qWait(100);
        QCOMPARE(sent.size(), sentWhenConnected);
    }

    void unitKeepsAsking()
    {
        reach(Connected, 10);
        TestSupport::LinkedUnit unit([this](const QByteArray &r) { deliver(r); });
        unit.multiPart = true;
        unit.alwaysResend = true;
        w->deviceLink().setSink(&unit);
        w->TransferButton->click();
        QVERIFY(TestSupport::waitUntil([&] { return !boxes.isEmpty(); }));
        QCOMPARE(boxes, QStringList{"Tarsyn+ Update: The unit keeps asking for block 0x0 again: check the MIDI "
                                    "connection. The update did not complete."});
        QCOMPARE(controls(*w), refreshed[Connected]);
        w->deviceLink().setSink(this);
    }

    void silentUnitEndsUpdate()
    {
        w->firmwareTransfer().guard().setTimeout(20);
        w->firmwareTransfer().guard().setMaxRepeats(2);
        reach(3);
        // Block 1 is never answered: sent again twice, then the window gives up.
        QTRY_COMPARE(boxes, QStringList{"Tarsyn+ Update: The unit does not answer. The update did not complete."});
        QCOMPARE(sent.size(), 2);
        QCOMPARE(controls(*w), refreshed[Connected]);
    }

    // The lists follow ports that come and go, with each whole name as the row's tooltip.
    // Rows of ports that stay keep their selection; a selected port that goes leaves no row
    // selected (never its neighbour), and Connect then opens nothing.
    void portListsFollow()
    {
        const QString extraName = QStringLiteral("tarsyn-ui-extra-%1").arg(QCoreApplication::applicationPid());
        const QList<QListWidget *> lists{w->MidiInList, w->MidiOutList};
        for (QListWidget *list : lists)
            list->setCurrentItem(list->findItems(peerName, Qt::MatchContains).value(0));
        auto extra = std::make_unique<MidiPort>();
        QVERIFY(extra->openVirtual(extraName));
        QTRY_VERIFY_WITH_TIMEOUT(listed(w->MidiInList, extraName) && listed(w->MidiOutList, extraName), 10000);
        QCOMPARE(rows(w->MidiInList), w->midiPort().listedInputs());
        QCOMPARE(rows(w->MidiOutList), w->midiPort().listedOutputs());
        for (QListWidget *list : lists) {
            QVERIFY(list->currentItem() && list->currentItem()->text().contains(peerName));
            for (int row = 0; row < list->count(); ++row)
                QCOMPARE(list->item(row)->toolTip(), list->item(row)->text());
            list->setCurrentItem(list->findItems(extraName, Qt::MatchContains).value(0));
        }
        extra.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!listed(w->MidiInList, extraName) && !listed(w->MidiOutList, extraName), 10000);
        for (QListWidget *list : lists)
            QVERIFY2(list->currentRow() == -1 && list->selectedItems().isEmpty(), qPrintable(list->objectName()));
        QVERIFY(listed(w->MidiInList) && listed(w->MidiOutList));
        w->ConnectButton->click();
        QCOMPARE(w->state(), Disconnected);
        QVERIFY(sent.isEmpty());
    }

    // A port of the open pair goes (the unit unplugged): whatever runs ends with a box that
    // names the port, the controls come back and the port leaves the lists.
    void portGoneEndsJob_data()
    {
        QTest::addColumn<int>("state");   // 4: a preset pass running
        QTest::addColumn<QString>("box");
        const QString gone = "Tarsyn+ Update: The MIDI port \"%1\" has gone.";
        QTest::newRow("connecting") << int(Connecting) << gone;
        QTest::newRow("connected") << int(Connected) << gone;
        QTest::newRow("updating") << 3 << gone + " The update did not complete.";
        QTest::newRow("preset pass") << 4
            << "Tarsyn+ Preset Manager: The MIDI port \"%1\" has gone. The preset transfer did not complete.";
    }
    void portGoneEndsJob()
    {
        QFETCH(int, state);
        QFETCH(QString, box);
        const QString name = QStringLiteral("tarsyn-ui-gone-%1").arg(QCoreApplication::applicationPid());
        MidiPort unit;
        QVERIFY(unit.openVirtual(name));
        QTRY_VERIFY_WITH_TIMEOUT(listed(w->MidiInList, name) && listed(w->MidiOutList, name), 10000);
        reach(state == 4 ? int(Connected) : state, 9, name);
        if (state == 4)
            w->presetExchange().startReceive();
        // The unit's ports go one after the other: the box names the first that went.
        const QString inName = w->midiPort().openInputName(), outName = w->midiPort().openOutputName();
        QVERIFY2(inName.contains(name) && outName.contains(name), qPrintable(inName + " / " + outName));
        unit.close();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.size(), 1, 10000);
        QVERIFY2(boxes.first() == box.arg(inName) || boxes.first() == box.arg(outName), qPrintable(boxes.first()));
        QCOMPARE(w->state(), Disconnected);
        QCOMPARE(controls(*w), refreshed[Disconnected]);
        QVERIFY(!w->midiPort().inputOpen() && !w->midiPort().outputOpen());
        QVERIFY(!w->firmwareTransfer().running() && !w->presetExchange().passRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!listed(w->MidiInList, name) && !listed(w->MidiOutList, name), 10000);
    }

    // A receive pass fills the store from the unit, then a compare pass writes back what
    // differs, reading each write back until it matches; the box that ends the compare pass
    // counts the extra writes and shows only when there were any.
    void presetPasses_data()
    {
        QTest::addColumn<QList<int>>("differing"); // bank * 128 + slot
        QTest::addColumn<int>("badReadBacks");     // read-backs that still differ
        QTest::addColumn<int>("writes");
        QTest::addColumn<QStringList>("boxes");
        QTest::newRow("two differ, two bad read-backs") << QList<int>{1, 5 * 128 + 9} << 2 << 4
            << QStringList{"Tarsyn+ Preset Manager: transfer successful, 2 retries"};
        QTest::newRow("two differ, no retry") << QList<int>{1, 5 * 128 + 9} << 0 << 2 << QStringList();
        QTest::newRow("none differ") << QList<int>() << 0 << 0 << QStringList();
    }

    void presetPasses()
    {
        QFETCH(QList<int>, differing);
        QFETCH(int, badReadBacks);
        QFETCH(int, writes);
        QFETCH(QStringList, boxes);
        QHash<int, std::array<std::uint8_t, PresetSize>> unit; // bank * 128 + slot, where not presetFor
        QList<QByteArray> written;
        // Answers every request; waits where the window drains the link.
        const auto runUnit = [&](const std::function<bool()> &done) {
            for (qsizetype next = 0; !done();) {
                if (next == sent.size()) {
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
                    continue;
                }
                const QByteArray m = sent.at(next++);
                const int bank = m.at(11), slot = m.at(10);
                if (commandOf(m) == CmdPresetWrite) {
                    written << m;
                    unit[bank * 128 + slot] = wirePreset(m);
                    if (badReadBacks > 0 && badReadBacks--)
                        unit[bank * 128 + slot][41] ^= 0x01; // the write did not stick
                    deliver(reply(UnitPresetWritten));
                } else if (commandOf(m) == CmdPresetRead) {
                    QByteArray wire(PackedPresetSize, '\0');
                    packSevenBit(unit.value(bank * 128 + slot, presetFor(bank, slot)).data(), PresetSize,
                                 reinterpret_cast<std::uint8_t *>(wire.data()));
                    deliver(reply(UnitPresetData, wire));
                }
            }
        };
        PresetExchange &presets = w->presetExchange();
        reach(Connected);
        w->progressBar->setRange(0, PresetCount); // whoever starts a pass sets the bar up
        presets.startReceive();
        runUnit([&] { return presets.storeFilled; });
        QCOMPARE(w->progressBar->value(), PresetCount);
        // The store keeps bank 0's byte 128 two above the unit's value, other banks as sent.
        QCOMPARE(presets.presetImage()[127 * 256 + 128], std::uint8_t(presetFor(0, 127)[128] + 2));
        QVERIFY(presets.presetEquals(15, 127, presetFor(15, 127).data()));
        QTRY_VERIFY(!w->isVisible()); // close1() closed the ports, and then the window
        QCOMPARE(w->state(), Disconnected);
        QCOMPARE(this->boxes, QStringList()); // a receive pass ends without a box

        for (int key : differing) {
            unit[key] = presetFor(key / 128, key % 128);
            unit[key][40] ^= 0x55;
        }
        w->show();
        reach(Connected);
        presets.startCompare();
        runUnit([&] { return !w->isVisible(); }); // the pass's end closes the window
        QCOMPARE(written.size(), writes);
        QCOMPARE(presets.presetRetries, writes - int(differing.size()));
        for (const QByteArray &m : written) // bank 0 goes out with byte 128 as the unit had it
            QCOMPARE(wirePreset(m), presetFor(std::uint8_t(m.at(11)), std::uint8_t(m.at(10))));
        QTRY_VERIFY(!w->isVisible());
        QCOMPARE(this->boxes, boxes);
    }

    // Another program holds the unit's port: Connect says which port and stays disconnected,
    // sending nothing. Once connected, the window itself holds both ports until Disconnect.
    void portInUse()
    {
        for (QListWidget *list : {w->MidiInList, w->MidiOutList})
            list->setCurrentItem(list->findItems(peerName, Qt::MatchContains).value(0));
        QVERIFY(w->MidiInList->currentItem() && w->MidiOutList->currentItem());
        const QString in = w->MidiInList->currentItem()->text(), out = w->MidiOutList->currentItem()->text();
        auto other = std::make_unique<PortLock>();
        QCOMPARE(other->acquire(QStringLiteral("elsewhere"), out), PortLock::Result::Acquired);
        w->Connect();
        QCOMPARE(int(w->state()), int(Disconnected));
        QCOMPARE(boxes, QStringList{"Tarsyn+ Update: The port \"" + out + "\" is in use by another Tarsyn+ program on "
                                    "this computer.\nOnly one program at a time may talk to a unit."});
        QVERIFY(sent.isEmpty());
        QCOMPARE(controls(*w), refreshed[Disconnected]);

        other.reset();
        for (int i = 0; i < 3 && w->state() == Disconnected; ++i)
            w->Connect();
        QCOMPARE(int(w->state()), int(Connecting));
        PortLock second;
        QCOMPARE(second.acquire(in, QStringLiteral("elsewhere")), PortLock::Result::Busy);
        w->Connect();   // disconnects
        QCOMPARE(second.acquire(in, out), PortLock::Result::Acquired);
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

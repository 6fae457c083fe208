// The window as the user meets it: its form, the connection states, every reply from the
// unit in every state, the firmware update with its counter, bar and messages, and the
// preset passes. Replies are delivered as MidiEvents; what the window sends is captured.
// The ports the window opens are real: a peer on the private JACK server.

#include "MainWindow.h"
#include "UiTestSupport.h"

#include <QCoreApplication>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <QSignalSpy>
#include <QTest>

#include <array>
#include <functional>
#include <memory>

using namespace Tarsyn;

namespace {

struct Controls {
    bool tryConVisible, barVisible, listsEnabled, connectEnabled, transferEnabled;
    QString connectText, sn, version;
    bool operator==(const Controls &) const = default;
};

Controls controlsOf(MainWindow &w)
{
    return {w.TryConText->isVisibleTo(&w), w.progressBar->isVisibleTo(&w),
            w.MidiInList->isEnabled() && w.MidiOutList->isEnabled(), w.ConnectButton->isEnabled(),
            w.TransferButton->isEnabled(), w.ConnectButton->text(), w.SnEdit->text(),
            w.VersionEdit->text()};
}

char *toString(const Controls &c)
{
    return QTest::toString(QStringLiteral("tryCon=%1 bar=%2 lists=%3 connect=%4/%5 transfer=%6 sn=%7 version=%8")
                               .arg(c.tryConVisible).arg(c.barVisible).arg(c.listsEnabled)
                               .arg(c.connectText).arg(c.connectEnabled).arg(c.transferEnabled)
                               .arg(c.sn, c.version));
}

// The expected finished-transfer counter sequence: 1 per 256-byte block, then 10.
QList<int> expectedCounts()
{
    QList<int> counts;
    for (int c = 1; c <= 2048; ++c)
        counts << c;
    for (int c = 2058; c <= FirmwareTransfer::EndCount; c += 10)
        counts << c;
    return counts;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formTree();
    void formProperties();
    void focusOrder();
    void afterPostShowInit();

    void connectionStates_data();
    void connectionStates();
    void close1ClosesPortsThenWindow();
    void repliesInEveryState_data();
    void repliesInEveryState();

    void fullTransfer_data();
    void fullTransfer();
    void statusZeroDuringTransfer();
    void missingFirmwareGivesControlsBack();
    void silentUnitEndsTransfer();
    void disconnectStopsWaiting();

    void receivePass();
    void receiveBank0Adjustment();
    void comparePass_data();
    void comparePass();
    void compareGivesUpOnStubbornPreset();

private:
    void selectPeer();
    void reach(ConnectionState state, int major = 2, int minor = 9);
    // Answers every message the window sends with `answer` until `done` or nothing is left.
    void runUnit(const std::function<QByteArray(const QByteArray &)> &answer,
                 const std::function<bool()> &done);

    MidiPort peer;
    QString peerName;
    std::unique_ptr<MainWindow> w;
    CaptureSink sink;
};

void MainWindowTest::initTestCase()
{
    peerName = QStringLiteral("tarsyn-ui-peer-%1").arg(QCoreApplication::applicationPid());
    if (!peer.openVirtual(peerName))
        QFAIL("cannot open virtual MIDI ports: is the test JACK server running (ctest fixture jack)?");
}

void MainWindowTest::init()
{
    // The port lists are a snapshot of the MIDI system; now and then a listing misses a
    // port, so a window whose lists lack the peer is built again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        w = std::make_unique<MainWindow>();
        w->show();
        w->setFixedSize(522, 322);
        w->postShowInit();
        if (!w->MidiInList->findItems(peerName, Qt::MatchContains).isEmpty()
            && !w->MidiOutList->findItems(peerName, Qt::MatchContains).isEmpty())
            break;
        qWarning("the MIDI port listing missed %s; listing again", qPrintable(peerName));
    }
    sink.sent.clear();
    w->deviceLink().setSink(&sink);
    // Replies are delivered by the test at once; a slow run must not look like a lost one.
    w->firmwareTransfer().guard().setTimeout(600000);
    w->presetExchange().guard().setTimeout(600000);
}

void MainWindowTest::cleanup()
{
    w.reset();
}

void MainWindowTest::selectPeer()
{
    for (QListWidget *list : {w->MidiInList, w->MidiOutList}) {
        const auto items = list->findItems(peerName, Qt::MatchContains);
        QVERIFY2(!items.isEmpty(), qPrintable(peerName + " is not listed"));
        list->setCurrentItem(items.first());
    }
}

void MainWindowTest::reach(ConnectionState state, int major, int minor)
{
    if (state == Disconnected)
        return;
    selectPeer();
    w->Connect();
    QCOMPARE(w->state(), Connecting);
    if (state == Connected) {
        deliver(*w, Unit::identity(22037, major, minor, "Tarsyn+"));
        QCOMPARE(w->state(), Connected);
    }
    sink.sent.clear();
}

void MainWindowTest::runUnit(const std::function<QByteArray(const QByteArray &)> &answer,
                             const std::function<bool()> &done)
{
    qsizetype next = 0;
    while (!done() && next < sink.sent.size()) {
        const QByteArray reply = answer(sink.sent.at(next++));
        if (!reply.isEmpty())
            deliver(*w, reply);
    }
}

void MainWindowTest::formTree()
{
    struct Node { const char *name, *cls, *parent; QRect geometry; };
    const Node nodes[] = {
        {"groupBox", "QGroupBox", "centralwidget", {10, 230, 171, 81}},
        {"SnEdit", "QLineEdit", "groupBox", {70, 20, 91, 21}},
        {"label", "QLabel", "groupBox", {10, 20, 51, 21}},
        {"VersionEdit", "QLineEdit", "groupBox", {70, 50, 91, 21}},
        {"label_2", "QLabel", "groupBox", {10, 50, 51, 21}},
        {"groupBox_3", "QGroupBox", "centralwidget", {10, 90, 251, 131}},
        {"MidiInList", "QListWidget", "groupBox_3", {10, 20, 231, 101}},
        {"groupBox_4", "QGroupBox", "centralwidget", {270, 90, 241, 131}},
        {"MidiOutList", "QListWidget", "groupBox_4", {10, 20, 221, 101}},
        {"ConnectButton", "QPushButton", "centralwidget", {200, 240, 75, 23}},
        {"TryConText", "QLabel", "centralwidget", {370, 240, 91, 21}},
        {"TransferButton", "QPushButton", "centralwidget", {280, 240, 75, 23}},
        {"progressBar", "QProgressBar", "centralwidget", {200, 280, 311, 23}},
        {"IconLabel", "QLabel", "centralwidget", {110, 20, 311, 61}},
    };
    QCOMPARE(w->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w->centralWidget(), w->centralwidget);
    QCOMPARE(w->centralwidget->objectName(), QStringLiteral("centralwidget"));
    QVERIFY(!w->findChild<QMenuBar *>());
    QVERIFY(!w->findChild<QStatusBar *>());

    // Creation order: the named widgets under the central widget, depth first.
    QStringList created;
    const auto all = w->centralwidget->findChildren<QWidget *>();
    for (QWidget *child : all)
        if (!child->objectName().isEmpty() && !child->objectName().startsWith(QLatin1String("qt_")))
            created << child->objectName();
    QStringList expected;
    for (const Node &n : nodes)
        expected << QString::fromLatin1(n.name);
    QCOMPARE(created, expected);

    for (const Node &n : nodes) {
        auto *widget = w->findChild<QWidget *>(QString::fromLatin1(n.name));
        QVERIFY2(widget, n.name);
        QCOMPARE(widget->metaObject()->className(), n.cls);
        QCOMPARE(widget->parentWidget()->objectName(), QString::fromLatin1(n.parent));
        QCOMPARE(widget->geometry(), n.geometry);
        // Everything lies inside the window.
        const QRect inWindow(widget->mapTo(w.get(), QPoint(0, 0)), widget->size());
        QVERIFY2(QRect(0, 0, 522, 322).contains(inWindow), n.name);
    }
}

void MainWindowTest::formProperties()
{
    // A fresh form, before postShowInit changes it.
    MainWindow form;
    QCOMPARE(form.size(), QSize(522, 322));
    QCOMPARE(form.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(form.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(form.windowTitle(), QStringLiteral("Tarsyn+ Update"));
    QCOMPARE(form.groupBox->title(), QStringLiteral("Tarsyn+ information"));
    QCOMPARE(form.label->text(), QStringLiteral("SN:"));
    QCOMPARE(form.label_2->text(), QStringLiteral("Version:"));
    QCOMPARE(form.groupBox_3->title(), QStringLiteral("MIDI IN port"));
    QCOMPARE(form.groupBox_4->title(), QStringLiteral("MIDI OUT port"));
    QCOMPARE(form.ConnectButton->text(), QStringLiteral("Connect"));
    QCOMPARE(form.TryConText->text(), QStringLiteral("try to connect..."));
    QCOMPARE(form.TransferButton->text(), QStringLiteral("Transfer"));
    QCOMPARE(form.IconLabel->text(), QStringLiteral("TextLabel"));

    for (QLineEdit *edit : {form.SnEdit, form.VersionEdit}) {
        QVERIFY(edit->isEnabled());
        QVERIFY(edit->isReadOnly());
        QVERIFY(edit->text().isEmpty());
        QCOMPARE(edit->font().pointSize(), 8);
    }
    QCOMPARE(form.SnEdit->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(form.SnEdit->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    for (QLabel *label : {form.label, form.label_2}) {
        QCOMPARE(int(label->alignment()), 0x82);
        QVERIFY(label->wordWrap());
    }
    QCOMPARE(form.progressBar->value(), 24);
    QCOMPARE(form.progressBar->minimum(), 0);
    QCOMPARE(form.progressBar->maximum(), 100);
    QCOMPARE(form.MidiInList->count(), 0);
    QCOMPARE(form.MidiOutList->count(), 0);

}

void MainWindowTest::focusOrder()
{
    w->TransferButton->setEnabled(true);
    QStringList order;
    QWidget *start = w->SnEdit;
    QWidget *next = start;
    do {
        if ((next->focusPolicy() & Qt::TabFocus) && next->isEnabled())
            order << next->objectName();
        next = next->nextInFocusChain();
    } while (next != start && order.size() < 20);
    QCOMPARE(order, QStringList({"SnEdit", "VersionEdit", "MidiInList", "MidiOutList",
                                 "ConnectButton", "TransferButton"}));
}

void MainWindowTest::afterPostShowInit()
{
    QCOMPARE(w->size(), QSize(522, 322));
    QCOMPARE(w->minimumSize(), QSize(522, 322));
    QCOMPARE(w->maximumSize(), QSize(522, 322));
    w->resize(800, 600);
    QCOMPARE(w->size(), QSize(522, 322));

    QVERIFY(!w->progressBar->isVisibleTo(w.get()));
    QVERIFY(!w->TryConText->isVisibleTo(w.get()));
    QVERIFY(!w->TransferButton->isEnabled());
    QCOMPARE(w->TransferButton->text(), QStringLiteral("Update"));
    QCOMPARE(w->ConnectButton->text(), QStringLiteral("Connect"));
    QVERIFY(w->ConnectButton->isEnabled());
    // The peer's ports are among the devices, and the first rows are current.
    QVERIFY(!w->MidiInList->findItems(peerName, Qt::MatchContains).isEmpty());
    QVERIFY(!w->MidiOutList->findItems(peerName, Qt::MatchContains).isEmpty());
    QVERIFY(w->MidiInList->count() <= 100);
    QCOMPARE(w->MidiInList->currentRow(), 0);
    QCOMPARE(w->MidiOutList->currentRow(), 0);
    // The picture, unscaled in the label, which keeps its size.
    const QPixmap picture = w->IconLabel->pixmap();
    QCOMPARE(picture.deviceIndependentSize().toSize(), QSize(320, 87));
    QCOMPARE(w->IconLabel->size(), QSize(311, 61));
    QCOMPARE(w->firmwareTransfer().progressCount(), FirmwareTransfer::EndCount);
}

void MainWindowTest::connectionStates_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("to");
    QTest::addColumn<int>("sentCommand"); // -1: nothing sent
    QTest::addColumn<bool>("refreshed");

    QTest::newRow("disconnected, connect") << int(Disconnected) << "connect" << int(Connecting) << int(CmdIdentify) << true;
    QTest::newRow("disconnected, connect, no device") << int(Disconnected) << "connect-none" << int(Disconnected) << -1 << true;
    QTest::newRow("connecting, identity") << int(Connecting) << "identity" << int(Connected) << -1 << true;
    QTest::newRow("connecting, disconnect") << int(Connecting) << "connect" << int(Disconnected) << -1 << true;
    QTest::newRow("connected, disconnect") << int(Connected) << "connect" << int(Disconnected) << -1 << true;
    QTest::newRow("connected, identity") << int(Connected) << "identity" << int(Connected) << -1 << false;
    QTest::newRow("disconnected, identity") << int(Disconnected) << "identity" << int(Disconnected) << -1 << false;
}

void MainWindowTest::connectionStates()
{
    QFETCH(int, from);
    QFETCH(QString, action);
    QFETCH(int, to);
    QFETCH(int, sentCommand);
    QFETCH(bool, refreshed);

    reach(ConnectionState(from));
    // A marker that only a refresh removes.
    w->TryConText->setVisible(from != Connecting);

    if (action == QLatin1String("connect")) {
        w->ConnectButton->click();
    } else if (action == QLatin1String("connect-none")) {
        w->MidiInList->setCurrentRow(-1);
        w->MidiOutList->setCurrentRow(-1);
        w->ConnectButton->click();
    } else {
        deliver(*w, Unit::identity(0x0ABCDEF, 2, 3, "Tarsyn+"));
        // The version word 0x0302 shows as 2.03; the serial in its display form.
        QCOMPARE(w->VersionEdit->text(), QStringLiteral("2.03"));
        QCOMPARE(w->SnEdit->text(), DeviceLink::serialDisplayText(0x0ABCDEF));
    }
    QCOMPARE(int(w->state()), to);
    QCOMPARE(sink.lastCommand(), sentCommand);
    if (sentCommand >= 0)
        QCOMPARE(sink.sent.size(), 1);

    const Controls now = controlsOf(*w);
    if (!refreshed) {
        QCOMPARE(now.tryConVisible, from != Connecting);
        return;
    }
    QCOMPARE(now.tryConVisible, to == Connecting);
    QVERIFY(!now.barVisible);
    QCOMPARE(now.listsEnabled, to == Disconnected);
    QCOMPARE(now.connectText, to == Disconnected ? QStringLiteral("Connect") : QStringLiteral("Disconnect"));
    QVERIFY(now.connectEnabled);
    QCOMPARE(now.transferEnabled, to == Connected);
    if (to == Disconnected) {
        QVERIFY(now.sn.isEmpty());
        QVERIFY(now.version.isEmpty());
        QVERIFY(!w->midiPort().inputOpen());
        QVERIFY(!w->midiPort().outputOpen());
    } else {
        QVERIFY(w->midiPort().inputOpen());
        QVERIFY(w->midiPort().outputOpen());
    }
}

void MainWindowTest::close1ClosesPortsThenWindow()
{
    reach(Connected);
    const Controls before = controlsOf(*w);
    w->close1();
    QCOMPARE(w->state(), Disconnected);
    QVERIFY(!w->midiPort().inputOpen());
    QVERIFY(!w->midiPort().outputOpen());
    QCOMPARE(controlsOf(*w), before); // not refreshed
    QVERIFY(w->isVisible());
    QTRY_VERIFY(!w->isVisible());
}

void MainWindowTest::repliesInEveryState_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("sentCommand"); // -1: nothing sent
    QTest::addColumn<bool>("statusZero");

    const struct { const char *name; QByteArray message; int sentCommand; bool statusZero; } replies[] = {
        {"empty", QByteArray(), -1, false},
        {"foreign header", QByteArray::fromHex("f000112203000000002400f7"), -1, false},
        {"0x23 other", Unit::reply(UnitOther), -1, false},
        {"0x28 unknown", Unit::reply(0x28), -1, false},
        {"0x44 unknown", Unit::reply(0x44, QByteArray(1, '\0')), -1, false},
        {"status 1", Unit::reply(UnitStatus, QByteArray(1, '\1')), -1, false},
        {"status 0", Unit::reply(UnitStatus, QByteArray(1, '\0')), -1, true},
        {"ack 0x24 idle", Unit::reply(UnitBlockOk), -1, false},
        {"ack 0x25 idle", Unit::reply(UnitBlockOk25), -1, false},
        {"resend small", Unit::reply(UnitResendSmall), CmdSmallBlock, false},
        {"resend large", Unit::reply(UnitResendLarge), CmdLargeBlock, false},
        {"preset written", Unit::reply(UnitPresetWritten), CmdPresetRead, false},
    };
    for (int state : {int(Disconnected), int(Connecting), int(Connected)})
        for (const auto &r : replies)
            QTest::addRow("state %d, %s", state, r.name) << state << r.message << r.sentCommand << r.statusZero;
}

void MainWindowTest::repliesInEveryState()
{
    QFETCH(int, state);
    QFETCH(QByteArray, message);
    QFETCH(int, sentCommand);
    QFETCH(bool, statusZero);

    reach(ConnectionState(state));
    w->progressBar->show(); // only a refresh or a status zero hides it
    Controls expected = controlsOf(*w);
    if (statusZero) {
        expected.tryConVisible = state == Connecting;
        expected.transferEnabled = state == Connected;
        expected.barVisible = false;
    }

    Tarsyn::MidiEvent event(message);
    QVERIFY(QCoreApplication::sendEvent(w.get(), &event)); // every MidiEvent counts as handled
    QCOMPARE(int(w->state()), state);
    QCOMPARE(controlsOf(*w), expected);
    QCOMPARE(sink.sent.size(), sentCommand >= 0 ? 1 : 0);
    QCOMPARE(sink.lastCommand(), sentCommand);
    QCOMPARE(w->firmwareTransfer().progressCount(), FirmwareTransfer::EndCount);
}

void MainWindowTest::fullTransfer_data()
{
    QTest::addColumn<bool>("multiPart");
    QTest::addColumn<int>("resends");
    QTest::addColumn<QString>("message");
    QTest::newRow("single message, no resend") << false << 0 << "transfer successful";
    QTest::newRow("single message, 3 resends") << false << 3 << "transfer successful, 3 retries";
    QTest::newRow("multi-part, no resend") << true << 0 << "transfer successful";
    QTest::newRow("multi-part, 3 resends") << true << 3 << "transfer successful, 3 retries";
}

void MainWindowTest::fullTransfer()
{
    QFETCH(bool, multiPart);
    QFETCH(int, resends);
    QFETCH(QString, message);

    reach(Connected, 2, multiPart ? 10 : 9);
    QCOMPARE(w->deviceLink().multiPart, multiPart);
    BoxCloser boxes;
    w->TransferButton->click();
    QVERIFY(w->progressBar->isVisibleTo(w.get()));
    QCOMPARE(w->progressBar->maximum(), FirmwareTransfer::EndCount);
    QVERIFY(!w->TransferButton->isEnabled());
    QVERIFY(!w->ConnectButton->isEnabled());
    QCOMPARE(w->firmwareTransfer().progressCount(), 0);

    // The unit: acknowledges every message, except that it asks for a block again after
    // the whole-block message (or part 0) of a small block, a large block and the last one.
    QList<int> counts{0}, barValues{0};
    int resendsLeft = resends;
    const auto answer = [&](const QByteArray &sent) -> QByteArray {
        const int command = std::uint8_t(sent.at(CommandPos));
        const bool wholeOrPart0 = command == CmdSmallBlock || command == CmdLargeBlock;
        const quint32 cursor = w->deviceLink().cursor;
        const bool resendHere = resendsLeft > 0 && wholeOrPart0
            && ((resendsLeft == 3 && cursor == 0x1000) || (resendsLeft == 2 && cursor == 0x90000)
                || (resendsLeft == 1 && cursor >= 0xEE000));
        if (resendHere) {
            --resendsLeft;
            return Unit::reply(command == CmdSmallBlock ? UnitResendSmall : UnitResendLarge);
        }
        return Unit::reply(UnitBlockOk);
    };
    qsizetype next = 0;
    while (boxes.count() == 0 && next < sink.sent.size()) {
        deliver(*w, answer(sink.sent.at(next++)));
        const int count = w->firmwareTransfer().progressCount();
        if (counts.isEmpty() || counts.last() != count)
            counts << count;
        if (barValues.isEmpty() || barValues.last() != w->progressBar->value())
            barValues << w->progressBar->value();
    }
    QCOMPARE(counts, QList<int>{0} + expectedCounts());
    QCOMPARE(resendsLeft, 0);
    QCOMPARE(barValues.first(), 0);
    QCOMPARE(barValues.last(), 10838);
    QCOMPARE(barValues.size(), expectedCounts().size());

    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.titles.first(), QStringLiteral("Tarsyn+ Update"));
    QCOMPARE(boxes.texts.first(), message);
    QCOMPARE(boxes.buttonCount.first(), 1);
    QVERIFY(w->TransferButton->isEnabled());
    QVERIFY(w->ConnectButton->isEnabled());
    QVERIFY(!w->progressBar->isVisibleTo(w.get()));
    QCOMPARE(w->state(), Connected);

    // What the unit received: every payload block, in the multi-part form with its part 0
    // last, and the box came only after the last payload block was acknowledged.
    const int blocksSent = std::count_if(sink.sent.begin(), sink.sent.end(), [](const QByteArray &m) {
        return std::uint8_t(m.at(CommandPos)) == CmdSmallBlock || std::uint8_t(m.at(CommandPos)) == CmdLargeBlock;
    });
    QCOMPARE(blocksSent, 2928 + resends + (multiPart ? 0 : 1));
    // Every message was answered, except in the single-message form the block behind the
    // payload, whose reply is not awaited.
    QCOMPARE(next, sink.sent.size() - (multiPart ? 0 : 1));

    // Acknowledgements after completion change nothing.
    const qsizetype sentBefore = sink.sent.size();
    deliver(*w, Unit::reply(UnitBlockOk));
    deliver(*w, Unit::reply(UnitBlockOk25));
    QCOMPARE(sink.sent.size(), sentBefore);
    QCOMPARE(w->progressBar->value(), 10838);
    QTest::qWait(50);
    QCOMPARE(boxes.count(), 1);
}

void MainWindowTest::statusZeroDuringTransfer()
{
    reach(Connected);
    w->Transfer();
    for (int i = 0; i < 5; ++i)
        deliver(*w, Unit::reply(UnitBlockOk));
    QCOMPARE(w->progressBar->value(), 4);
    deliver(*w, Unit::reply(UnitStatus, QByteArray(1, '\0')));
    QVERIFY(w->TransferButton->isEnabled());
    QVERIFY(w->ConnectButton->isEnabled());
    QVERIFY(!w->progressBar->isVisibleTo(w.get()));
    QCOMPARE(w->state(), Connected);
    // The engine goes on: a later acknowledgement sends the next block, the hidden bar follows.
    const qsizetype sent = sink.sent.size();
    deliver(*w, Unit::reply(UnitBlockOk));
    QCOMPARE(sink.sent.size(), sent + 1);
    QCOMPARE(w->progressBar->value(), 5);
    QCOMPARE(w->firmwareTransfer().progressCount(), 6);
}

void MainWindowTest::missingFirmwareGivesControlsBack()
{
    reach(Connected);
    const Controls connected = controlsOf(*w);
    w->setFirmwarePath(QStringLiteral("/nonexistent/tarsosV2_3.bin"));
    w->TransferButton->click();
    QCOMPARE(controlsOf(*w), connected);
    QVERIFY(sink.sent.isEmpty());
    QCOMPARE(w->firmwareTransfer().progressCount(), FirmwareTransfer::EndCount);
}

void MainWindowTest::silentUnitEndsTransfer()
{
    reach(Connected);
    StallGuard &guard = w->firmwareTransfer().guard();
    guard.setTimeout(20);
    guard.setMaxRepeats(2);
    BoxCloser boxes;
    w->Transfer();
    deliver(*w, Unit::reply(UnitBlockOk));
    // Block 1 is lost and never answered: repeated twice, then the window gives up.
    QTRY_COMPARE(boxes.count(), 1);
    QCOMPARE(boxes.titles.first(), QStringLiteral("Tarsyn+ Update"));
    QCOMPARE(boxes.texts.first(), QStringLiteral("The unit does not answer. The update did not complete."));
    QCOMPARE(sink.sent.size(), 4); // block 0, block 1 and its two repeats
    QCOMPARE(sink.sent.at(2), sink.sent.at(1));
    QCOMPARE(sink.sent.at(3), sink.sent.at(1));
    QVERIFY(w->TransferButton->isEnabled());
    QVERIFY(w->ConnectButton->isEnabled());
    QVERIFY(!w->progressBar->isVisibleTo(w.get()));
    QCOMPARE(w->state(), Connected);
    // A late acknowledgement sends nothing more.
    deliver(*w, Unit::reply(UnitBlockOk));
    QCOMPARE(sink.sent.size(), 4);

    // The same for a preset pass that the unit stops answering.
    StallGuard &presetGuard = w->presetExchange().guard();
    presetGuard.setTimeout(20);
    presetGuard.setMaxRepeats(1);
    w->presetExchange().startReceive();
    w->progressBar->show();
    QTRY_COMPARE(boxes.count(), 2);
    QCOMPARE(boxes.texts.last(), QStringLiteral("The unit does not answer. The update did not complete."));
    QVERIFY(!w->progressBar->isVisibleTo(w.get()));
    QVERIFY(!presetGuard.watching());
}

void MainWindowTest::disconnectStopsWaiting()
{
    reach(Connected);
    w->Transfer();
    deliver(*w, Unit::reply(UnitBlockOk));
    QVERIFY(w->firmwareTransfer().guard().watching());
    deliver(*w, Unit::reply(UnitStatus, QByteArray(1, '\0'))); // gives the buttons back
    w->ConnectButton->click();
    QCOMPARE(w->state(), Disconnected);
    QVERIFY(!w->firmwareTransfer().guard().watching());
    QVERIFY(!w->firmwareTransfer().running());
    const qsizetype sent = sink.sent.size();
    deliver(*w, Unit::reply(UnitBlockOk));
    QCOMPARE(sink.sent.size(), sent);
}

namespace {
// A recognisable preset for (bank, slot).
std::array<std::uint8_t, PresetSize> presetFor(int bank, int slot, int salt = 0)
{
    std::array<std::uint8_t, PresetSize> p{};
    for (int i = 0; i < PresetSize; ++i)
        p[i] = std::uint8_t(i * 7 + bank * 31 + slot * 3 + salt);
    return p;
}
int bankOf(const QByteArray &m) { return std::uint8_t(m.at(11)); }
int slotOf(const QByteArray &m) { return std::uint8_t(m.at(10)); }
} // namespace

void MainWindowTest::receivePass()
{
    reach(Connected);
    PresetExchange &presets = w->presetExchange();
    BoxCloser boxes;
    w->progressBar->setRange(0, PresetCount); // whoever starts a pass sets the bar up
    presets.startReceive();
    // A reply without a complete payload changes nothing and sends nothing.
    deliver(*w, Unit::reply(UnitPresetData, QByteArray(100, '\0')));
    QCOMPARE(sink.sent.size(), 1);
    QCOMPARE(presets.presetSlot, 0);

    int requests = 0;
    runUnit([&](const QByteArray &sent) {
        if (std::uint8_t(sent.at(CommandPos)) != CmdPresetRead)
            return QByteArray();
        ++requests;
        const auto p = presetFor(bankOf(sent), slotOf(sent));
        return Unit::presetData(p.data());
    }, [] { return false; });
    QCOMPARE(requests, PresetCount);
    QCOMPARE(w->progressBar->value(), 2048);
    QVERIFY(!w->progressBar->isVisibleTo(w.get()));
    QCOMPARE(presets.presetBank, 0);
    QCOMPARE(presets.presetSlot, 0);
    for (int bank : {1, 7, 15})
        for (int slot : {0, 64, 127})
            QVERIFY(presets.presetEquals(bank, slot, presetFor(bank, slot).data()));
    QCOMPARE(boxes.count(), 0);
    // close1() follows 500 ms later, and the window closes 500 ms after that.
    QVERIFY(w->midiPort().inputOpen());
    QTRY_VERIFY(!w->midiPort().inputOpen());
    QCOMPARE(w->state(), Disconnected);
    QTRY_VERIFY(!w->isVisible());
}

void MainWindowTest::receiveBank0Adjustment()
{
    PresetExchange &presets = w->presetExchange();
    auto p = presetFor(0, 0);
    p[128] = 0xFF;
    presets.startReceive();
    deliver(*w, Unit::presetData(p.data()));
    QCOMPARE(presets.presetImage()[128], std::uint8_t(0x01));
    QCOMPARE(w->deviceLink().presetData[128], std::uint8_t(0xFF));

    // Bank 3 is stored unchanged.
    presets.presetBank = 3;
    presets.presetSlot = 5;
    deliver(*w, Unit::presetData(p.data()));
    QVERIFY(presets.presetEquals(3, 5, p.data()));
}

void MainWindowTest::comparePass_data()
{
    QTest::addColumn<int>("differing");     // presets that differ at their first read
    QTest::addColumn<int>("badReadBacks");  // of the first of them: read-backs still wrong
    QTest::addColumn<QString>("message");   // empty: no box
    QTest::newRow("all equal") << 0 << 0 << QString();
    QTest::newRow("two differ, written once each") << 2 << 0 << QString();
    QTest::newRow("one needs three writes") << 1 << 2 << "transfer successful, 2 retries";
}

void MainWindowTest::comparePass()
{
    QFETCH(int, differing);
    QFETCH(int, badReadBacks);
    QFETCH(QString, message);

    reach(Connected);
    PresetExchange &presets = w->presetExchange();
    // The store holds what the unit should have; the unit's copy is what it reports.
    static std::uint8_t unit[PresetBanks][PresetSlots][PresetSize];
    for (int b = 0; b < PresetBanks; ++b)
        for (int s = 0; s < PresetSlots; ++s) {
            const auto p = presetFor(b, s);
            presets.storePreset(b, s, p.data());
            std::copy(p.begin(), p.end(), unit[b][s]);
        }
    // Differing presets: bank 0 slot 1 (byte 128 adjusted) and bank 5 slot 9.
    const std::pair<int, int> targets[] = {{0, 1}, {5, 9}};
    for (int i = 0; i < differing; ++i)
        unit[targets[i].first][targets[i].second][40] ^= 0x55;

    BoxCloser boxes;
    // Replies while the result is on screen (the last preset done) change nothing.
    qsizetype sentWhileOpen = -1;
    boxes.whileOpen = [&] {
        const qsizetype before = sink.sent.size();
        deliver(*w, Unit::presetData(unit[0][0]));
        deliver(*w, Unit::reply(UnitPresetWritten));
        sentWhileOpen = sink.sent.size() - before;
        QCOMPARE(presets.presetBank, PresetBanks);
    };
    QList<QByteArray> writes;
    int badLeft = badReadBacks;
    presets.presetRetries = 0;
    presets.startCompare();
    runUnit([&](const QByteArray &sent) {
        const int bank = bankOf(sent), slot = slotOf(sent);
        if (std::uint8_t(sent.at(CommandPos)) == CmdPresetWrite) {
            writes << sent;
            std::uint8_t data[PresetSize];
            unpackSevenBit(PackedPresetSize, reinterpret_cast<const std::uint8_t *>(sent.constData()) + 12, data);
            std::copy(data, data + PresetSize, unit[bank][slot]);
            if (badLeft > 0) {
                --badLeft;
                unit[bank][slot][41] ^= 0x01; // the write did not stick
            }
            return Unit::reply(UnitPresetWritten);
        }
        return Unit::presetData(unit[bank][slot]);
    }, [] { return false; });

    QCOMPARE(writes.size(), differing + badReadBacks);
    QCOMPARE(presets.presetRetries, badReadBacks);
    for (const QByteArray &write : writes) {
        const int bank = bankOf(write), slot = slotOf(write);
        std::uint8_t data[PresetSize];
        unpackSevenBit(PackedPresetSize, reinterpret_cast<const std::uint8_t *>(write.constData()) + 12, data);
        auto stored = presetFor(bank, slot);
        // Bank 0 goes out with byte 128 two below the store's; other banks unchanged.
        QVERIFY(std::equal(stored.begin(), stored.end(), data));
        QCOMPARE(int(presets.presetImage()[bank * 32768 + slot * 256 + 128]),
                 bank == 0 ? (stored[128] + 2) & 0xFF : stored[128]);
    }
    QCOMPARE(boxes.count(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty()) {
        QCOMPARE(boxes.titles.first(), QStringLiteral("Tarsyn+ Preset Manager"));
        QCOMPARE(boxes.texts.first(), message);
        QCOMPARE(sentWhileOpen, 0);
    }
    QVERIFY(!w->progressBar->isVisibleTo(w.get()));
    QCOMPARE(presets.presetBank, 0);
    QTRY_COMPARE(w->state(), Disconnected); // close1()
}

void MainWindowTest::compareGivesUpOnStubbornPreset()
{
    reach(Connected);
    PresetExchange &presets = w->presetExchange();
    // The unit's bank 2, slot 3 never takes a write.
    std::uint8_t unitCopy[PresetSize] = {};
    unitCopy[0] = 1;
    presets.presetBank = 0;
    BoxCloser boxes;
    presets.startCompare();
    presets.presetBank = 2;
    presets.presetSlot = 3;
    int writes = 0;
    runUnit([&](const QByteArray &sent) {
        if (std::uint8_t(sent.at(CommandPos)) == CmdPresetWrite) {
            ++writes;
            return Unit::reply(UnitPresetWritten);
        }
        return Unit::presetData(unitCopy);
    }, [&] { return boxes.count() > 0; });
    QCOMPARE(writes, PresetExchange::MaxWrites);
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.titles.first(), QStringLiteral("Tarsyn+ Preset Manager"));
    QCOMPARE(boxes.texts.first(), QStringLiteral("The preset in bank 2, slot 3 could not be written."));
    QVERIFY(!w->progressBar->isVisibleTo(w.get()));
    QCOMPARE(presets.presetBank, 0);
    QTRY_COMPARE(w->state(), Disconnected);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

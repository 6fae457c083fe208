#include "MainWindow.h"

#include "FirmwareFile.h"
#include "MidiEvent.h"
#include "MidiPortPair.h"

#include <QCloseEvent>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>

namespace {
constexpr int MaxDevices = 100;
constexpr int CloseDelayMs = 500;
const char UpdateTitle[] = "Tarsyn+ Update";
const char PresetTitle[] = "Tarsyn+ Preset Manager";

QListWidgetItem *portItem(const QString &name)
{
    auto *item = new QListWidgetItem(name);
    item->setToolTip(name);   // the list is narrower than many port names
    return item;
}

// Makes `list` show `names` (at most MaxDevices) with as few changes as possible: rows of
// ports that stay are kept, so that the selection and the scroll position stay where the
// user left them. A selected port that goes leaves no row selected, never its neighbour.
void syncPortList(QListWidget *list, QStringList names)
{
    names = names.mid(0, MaxDevices);
    for (int row = list->count() - 1; row >= 0; --row) {
        if (names.contains(list->item(row)->text()))
            continue;
        if (list->currentRow() == row)
            list->selectionModel()->clear();
        delete list->takeItem(row);
    }
    for (int row = 0; row < names.size(); ++row) {
        if (row >= list->count() || list->item(row)->text() != names.at(row))
            list->insertItem(row, portItem(names.at(row)));
    }
    bool same = list->count() == names.size();
    for (int row = 0; same && row < names.size(); ++row)
        same = list->item(row)->text() == names.at(row);
    if (same)
        return;
    // The systems listed the remaining ports in another order: build the list again.
    const QListWidgetItem *current = list->currentItem();
    const QString selected = current ? current->text() : QString();
    list->clear();
    for (const QString &name : std::as_const(names))
        list->addItem(portItem(name));
    if (!selected.isNull())
        list->setCurrentRow(int(names.indexOf(selected)));
}
} // namespace

MainWindow::MainWindow(QWidget *parent) : MainWindow(std::make_unique<Tarsyn::MidiPortPair>(), parent)
{
}

MainWindow::MainWindow(std::unique_ptr<Tarsyn::PortPair> pair, QWidget *parent)
    : QMainWindow(parent)
    , pair(std::move(pair))
    , session_(*this->pair)
    , firmwarePath(QString::fromLatin1(Tarsyn::BuiltInFirmwarePath))
{
    setupUi(this);
    // The unit may drive a preset pass of its own whenever no job runs.
    session_.setUnitDrivenPasses(true);
    connect(&session_, &Tarsyn::UnitSession::identified, this, &MainWindow::unitIdentified);
    connect(&session_, &Tarsyn::UnitSession::progressed, this,
            [this](int value, int, int) { progressBar->setValue(value); });
    connect(&session_, &Tarsyn::UnitSession::statusZero, this, [this] {
        refreshControls();
        progressBar->hide();
    });
    connect(&session_, &Tarsyn::UnitSession::finished, this, &MainWindow::jobEnded);
}

MainWindow::~MainWindow()
{
    // No input callback may post to this window once its members start to go.
    session_.close();
}

void MainWindow::postShowInit()
{
    connect(ConnectButton, &QPushButton::clicked, this, &MainWindow::Connect);
    connect(TransferButton, &QPushButton::clicked, this, &MainWindow::Transfer);
    connectionState = Disconnected;
    inputRow = 0;
    outputRow = 0;
    pair->setReceiver(this);
    progressBar->hide();
    TryConText->hide();
    TransferButton->setEnabled(false);

    connect(pair.get(), &Tarsyn::PortPair::portsChanged, this, &MainWindow::updatePortLists);
    pair->watchPorts();
    updatePortLists();
    MidiInList->setCurrentRow(inputRow);
    MidiOutList->setCurrentRow(outputRow);

    TransferButton->setText(tr("Update"));
    const QIcon icon(QStringLiteral(":/data/update_screen_V2_3.png"));
    IconLabel->setPixmap(icon.pixmap(QSize(320, 87), QIcon::Normal, QIcon::Off));

    // warn()'s box, made once the window is up (see box_).
    QTimer::singleShot(0, this, [this] {
        box_ = new QMessageBox(QMessageBox::Warning, QString(), QString(), QMessageBox::Ok, this);
        box_->ensurePolished();
        box_->winId();   // its native window too
    });
}

void MainWindow::refreshControls()
{
    switch (connectionState) {
    case Disconnected:
        TryConText->setVisible(false);
        progressBar->setVisible(false);
        MidiInList->setEnabled(true);
        MidiOutList->setEnabled(true);
        ConnectButton->setText(tr("Connect"));
        ConnectButton->setEnabled(true);
        TransferButton->setEnabled(false);
        SnEdit->setText(QString());
        VersionEdit->setText(QString());
        break;
    case Connecting:
    case Connected:
        TryConText->setVisible(connectionState == Connecting);
        progressBar->setVisible(false);
        MidiInList->setEnabled(false);
        MidiOutList->setEnabled(false);
        ConnectButton->setText(tr("Disconnect"));
        ConnectButton->setEnabled(true);
        TransferButton->setEnabled(connectionState == Connected);
        break;
    }
}

void MainWindow::Connect()
{
    if (connectionState == Disconnected) {
        inputRow = MidiInList->currentRow();
        outputRow = MidiOutList->currentRow();
        switch (session_.open(inputRow, outputRow)) {
        case Tarsyn::UnitSession::OpenResult::Busy:
            warn(UpdateTitle, tr("The port \"%1\" is in use by another Tarsyn+ program on this computer.\n"
                                 "Only one program at a time may talk to a unit.").arg(session_.busyPort()));
            return;
        case Tarsyn::UnitSession::OpenResult::Opened:
            connectionState = Connecting;
            // Connecting waits as long as the user does: the request is repeated on the reply
            // timeout (doubling up to its ceiling) until the unit answers or Disconnect.
            session_.identify(Tarsyn::UnitSession::UntilStopped);
            break;
        case Tarsyn::UnitSession::OpenResult::Failed:
            break;
        }
    } else {
        // Nothing more will answer: whatever runs ends here.
        session_.close();
        connectionState = Disconnected;
    }
    refreshControls();
}

void MainWindow::Transfer()
{
    progressBar->setMinimum(0);
    progressBar->setMaximum(Tarsyn::FirmwareTransfer::EndCount);
    progressBar->setValue(0);
    progressBar->show();
    TransferButton->setEnabled(false);
    ConnectButton->setEnabled(false);
    if (!session_.loadFirmware(firmwarePath)) {
        // Nothing was sent: give the controls back rather than leave both buttons dead.
        refreshControls();
        return;
    }
    session_.update();
}

void MainWindow::close1()
{
    session_.close();
    connectionState = Disconnected;
    QTimer::singleShot(CloseDelayMs, this, &QWidget::close);
}

void MainWindow::closeEvent(QCloseEvent *e)
{
    e->accept();
}

bool MainWindow::event(QEvent *e)
{
    if (e->type() != Tarsyn::MidiEvent::EventType)
        return QMainWindow::event(e);
    const auto *midi = static_cast<Tarsyn::MidiEvent *>(e);
    session_.messageReceived(midi->message(), midi->arrivedNs());
    return true;
}

void MainWindow::unitIdentified()
{
    if (connectionState != Connecting)
        return;
    connectionState = Connected;
    refreshControls();
    showIdentity();
}

void MainWindow::showIdentity()
{
    serialNumber = session_.serialNumber();
    serialText = session_.serialText();
    deviceName = session_.deviceName();
    firmwareVersion = std::int32_t(session_.firmwareVersion());
    SnEdit->setText(serialText);
    VersionEdit->setText(Tarsyn::UnitSession::versionText(std::uint32_t(firmwareVersion)));
}

void MainWindow::warn(const char *title, const QString &text)
{
    if (!box_ || box_->isVisible()) {   // not made yet, or open (a box over a box)
        QMessageBox::warning(this, QString::fromLatin1(title), text, QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    box_->setWindowTitle(QString::fromLatin1(title));
    box_->setText(text);
    box_->exec();
}

void MainWindow::jobEnded(const Tarsyn::UnitSession::Outcome &outcome)
{
    using End = Tarsyn::UnitSession::End;
    using Job = Tarsyn::UnitSession::Job;
    if (outcome.end == End::PortGone || outcome.end == End::SendFailed)
        connectionLost(outcome);
    else if (outcome.job == Job::Update)
        updateEnded(outcome);
    else if (outcome.job == Job::PresetPass)
        presetPassEnded(outcome);
}

void MainWindow::updateEnded(const Tarsyn::UnitSession::Outcome &outcome)
{
    using End = Tarsyn::UnitSession::End;
    switch (outcome.end) {
    case End::Success:
        warn(UpdateTitle, outcome.resendRequests != 0
                              ? tr("transfer successful, %1 retries").arg(outcome.resendRequests)
                              : tr("transfer successful"));
        break;
    case End::Silent:
        warn(UpdateTitle, tr("The unit does not answer. The update did not complete."));
        break;
    case End::KeepsAsking:
        warn(UpdateTitle, tr("The unit keeps asking for block 0x%1 again: check the MIDI connection. "
                             "The update did not complete.")
                              .arg(QString::number(outcome.block, 16).toUpper()));
        break;
    default:
        return;   // stopped by Disconnect or close1(), which set the controls themselves
    }
    refreshControls();
    progressBar->hide();
}

void MainWindow::presetPassEnded(const Tarsyn::UnitSession::Outcome &outcome)
{
    using End = Tarsyn::UnitSession::End;
    switch (outcome.end) {
    case End::Success:
        if (!outcome.receive && outcome.presetRetries > 0)
            warn(PresetTitle, tr("transfer successful, %1 retries").arg(outcome.presetRetries));
        break;
    case End::PresetFailed:
        warn(PresetTitle, tr("The preset in bank %1, slot %2 could not be written.").arg(outcome.bank).arg(outcome.slot));
        break;
    case End::Silent:
        warn(PresetTitle, tr("The unit does not answer. The preset transfer did not complete."));
        break;
    default:
        return;   // stopped by Disconnect or close1()
    }
    endPresetPass();
}

void MainWindow::endPresetPass()
{
    progressBar->hide();
    QTimer::singleShot(CloseDelayMs, this, &MainWindow::close1);
}

void MainWindow::connectionLost(const Tarsyn::UnitSession::Outcome &outcome)
{
    if (connectionState == Disconnected)
        return;
    using Job = Tarsyn::UnitSession::Job;
    const bool presetPass = outcome.job == Job::PresetPass;
    session_.close();
    connectionState = Disconnected;
    refreshControls();
    updatePortLists();
    QString text = outcome.end == Tarsyn::UnitSession::End::PortGone
                       ? tr("The MIDI port \"%1\" has gone.").arg(outcome.port)
                       : tr("Cannot send to the MIDI port \"%1\".").arg(outcome.port);
    if (outcome.job == Job::Update)
        text += QLatin1Char(' ') + tr("The update did not complete.");
    else if (presetPass)
        text += QLatin1Char(' ') + tr("The preset transfer did not complete.");
    warn(presetPass ? PresetTitle : UpdateTitle, text);
}

void MainWindow::updatePortLists()
{
    // The rows are the port's snapshot, in its order: Connect opens them by row.
    syncPortList(MidiInList, pair->listedInputs());
    syncPortList(MidiOutList, pair->listedOutputs());
    // Lists with no port of a unit tell why, in their tooltips.
    const auto onlySystem = [](const QStringList &names) {
        return std::all_of(names.begin(), names.end(), Tarsyn::MidiPort::isSystemPort);
    };
    const QString why = onlySystem(pair->listedInputs()) && onlySystem(pair->listedOutputs()) ? noPortsText() : QString();
    MidiInList->setToolTip(why);
    MidiOutList->setToolTip(why);
}

QString MainWindow::noPortsText()
{
    using Look = Tarsyn::MidiPort::SystemLook;
    QStringList lines{tr("No MIDI port of a unit was found.")};
    for (const Look &look : Tarsyn::MidiPort::lookAtSystems()) {
        switch (look.found) {
        case Look::NoDevice:
            lines << tr("%1: no sequencer device (/dev/snd/seq).").arg(look.system);
            break;
        case Look::DeviceRefused:
            lines << tr("%1: the sequencer device cannot be opened: %2.").arg(look.system, look.reason);
            break;
        case Look::NotRunning:
            lines << tr("%1: no server \"%2\" running.").arg(look.system, look.server);
            break;
        case Look::OnlySystemPorts:
            lines << tr("%1: no ports but the system's.").arg(look.system);
            break;
        case Look::Ports:
            break;
        }
    }
    return lines.join(QLatin1Char('\n'));
}

#include "MainWindow.h"

#include "FirmwareFile.h"
#include "MidiEvent.h"

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

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), firmwarePath(QString::fromLatin1(Tarsyn::BuiltInFirmwarePath))
{
    link.setSink(&port);
    setupUi(this);
    // Connecting waits as long as the user does: the request is repeated on the reply
    // timeout (doubling up to its ceiling) until the unit answers or Disconnect.
    identifyGuard.setSilenceSpan(0);
    connect(&transfer, &Tarsyn::FirmwareTransfer::progressed, this,
            [this](int barValue, int) { progressBar->setValue(barValue); });
    connect(&transfer, &Tarsyn::FirmwareTransfer::finished, this, &MainWindow::transferFinished);
    connect(&transfer, &Tarsyn::FirmwareTransfer::unitSilent, this, &MainWindow::unitSilent);
    connect(&transfer, &Tarsyn::FirmwareTransfer::unitKeepsAsking, this, &MainWindow::unitKeepsAsking);
    connect(&presets, &Tarsyn::PresetExchange::outcome, this, &MainWindow::presetOutcome);
    connect(&presets, &Tarsyn::PresetExchange::unitSilent, this, &MainWindow::unitSilent);
}

MainWindow::~MainWindow()
{
    // No input callback may post to this window once its members start to go.
    port.close();
}

void MainWindow::postShowInit()
{
    connect(ConnectButton, &QPushButton::clicked, this, &MainWindow::Connect);
    connect(TransferButton, &QPushButton::clicked, this, &MainWindow::Transfer);
    connectionState = Disconnected;
    inputRow = 0;
    outputRow = 0;
    port.setReceiver(this);
    progressBar->hide();
    TryConText->hide();
    TransferButton->setEnabled(false);
    presets.presetBank = 0;
    presets.presetSlot = 0;

    connect(&port, &Tarsyn::MidiPort::portsChanged, this, &MainWindow::updatePortLists);
    connect(&port, &Tarsyn::MidiPort::openPortGone, this, &MainWindow::portGone);
    port.watchPorts();
    updatePortLists();
    MidiInList->setCurrentRow(inputRow);
    MidiOutList->setCurrentRow(outputRow);

    TransferButton->setText(tr("Update"));
    const QIcon icon(QStringLiteral(":/data/update_screen_V2_3.png"));
    IconLabel->setPixmap(icon.pixmap(QSize(320, 87), QIcon::Normal, QIcon::Off));
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
        const QListWidgetItem *in = MidiInList->currentItem();
        const QListWidgetItem *out = MidiOutList->currentItem();
        if (in && out && portLock.acquire(in->text(), out->text()) == Tarsyn::PortLock::Result::Busy) {
            QMessageBox::warning(this, QString::fromLatin1(UpdateTitle),
                                 tr("The port \"%1\" is in use by another Tarsyn+ program on this computer.\n"
                                    "Only one program at a time may talk to a unit.").arg(portLock.busyPort()));
            return;
        }
        if (port.open(inputRow, outputRow)) {
            connectionState = Connecting;
            link.sendIdentifyRequest();
            identifyGuard.watch();
        } else {
            portLock.release();
        }
    } else {
        port.close();
        portLock.release();
        // Nothing more will answer: stop waiting for the unit.
        identifyGuard.stop();
        transfer.abandon();
        presets.guard().stop();
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
    presets.presetRetries = 0;
    if (!Tarsyn::loadFirmwareImage(firmwarePath, link.imageBuffer())) {
        // Nothing was sent: give the controls back rather than leave both buttons dead.
        refreshControls();
        return;
    }
    transfer.start();
}

void MainWindow::close1()
{
    port.close();
    identifyGuard.stop();
    portLock.release();
    transfer.abandon();
    presets.guard().stop();
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
    const Tarsyn::ReplyCode code = link.decodeReply(midi->message());
    switch (code) {
    case Tarsyn::ReplyIdentity:
        // Only the answer to our own request while connecting: another program on the same
        // port may ask the unit who it is at any time, also in the middle of an update.
        if (connectionState == Connecting) {
            identifyGuard.stop();
            link.acceptIdentity();
            connectionState = Connected;
            refreshControls();
            showIdentity();
        }
        break;
    case Tarsyn::ReplyStatusZero:
        refreshControls();
        progressBar->hide();
        break;
    case Tarsyn::ReplyBlockOk24:
    case Tarsyn::ReplyBlockOk25:
    case Tarsyn::ReplyResendLarge:
    case Tarsyn::ReplyResendSmall:
        transfer.replyReceived(code);
        break;
    case Tarsyn::ReplyPresetData:
        presets.presetDataReceived();
        break;
    case Tarsyn::ReplyPresetWritten:
        presets.presetWritten();
        break;
    default:
        break;
    }
    return true;
}

void MainWindow::showIdentity()
{
    serialNumber = link.serialNumber;
    serialText = link.serialText;
    deviceName = link.deviceName;
    firmwareVersion = std::int32_t(link.firmwareVersion);
    SnEdit->setText(serialText);
    VersionEdit->setText(QString::asprintf("%ld.%02ld", long(firmwareVersion & 0xFF),
                                           long((firmwareVersion >> 8) & 0xFF)));
}

void MainWindow::transferFinished()
{
    const QString text = link.retryCount != 0
        ? tr("transfer successful, %1 retries").arg(link.retryCount)
        : tr("transfer successful");
    QMessageBox::warning(this, QString::fromLatin1(UpdateTitle), text, QMessageBox::Ok,
                         QMessageBox::NoButton);
    refreshControls();
    progressBar->hide();
}

void MainWindow::presetOutcome(const Tarsyn::PresetExchange::Outcome &outcome)
{
    if (outcome.barValue >= 0)
        progressBar->setValue(outcome.barValue);
    if (outcome.failed) {
        QMessageBox::warning(this, QString::fromLatin1(PresetTitle),
                             tr("The preset in bank %1, slot %2 could not be written.")
                                 .arg(outcome.failedBank)
                                 .arg(outcome.failedSlot),
                             QMessageBox::Ok, QMessageBox::NoButton);
        endPresetPass();
    } else if (outcome.passComplete) {
        if (!presets.presetReceive && presets.presetRetries > 0) {
            QMessageBox::warning(this, QString::fromLatin1(PresetTitle),
                                 tr("transfer successful, %1 retries").arg(presets.presetRetries),
                                 QMessageBox::Ok, QMessageBox::NoButton);
        }
        endPresetPass();
    }
}

void MainWindow::endPresetPass()
{
    progressBar->hide();
    presets.endPass();
    QTimer::singleShot(CloseDelayMs, this, &MainWindow::close1);
}

void MainWindow::unitSilent()
{
    QMessageBox::warning(this, QString::fromLatin1(UpdateTitle),
                         tr("The unit does not answer. The update did not complete."),
                         QMessageBox::Ok, QMessageBox::NoButton);
    refreshControls();
    progressBar->hide();
}

void MainWindow::unitKeepsAsking(std::uint32_t offset)
{
    QMessageBox::warning(this, QString::fromLatin1(UpdateTitle),
                         tr("The unit keeps asking for block 0x%1 again: check the MIDI connection. "
                            "The update did not complete.")
                             .arg(QString::number(offset, 16).toUpper()),
                         QMessageBox::Ok, QMessageBox::NoButton);
    refreshControls();
    progressBar->hide();
}

void MainWindow::updatePortLists()
{
    // The rows are the port's snapshot, in its order: Connect opens them by row.
    syncPortList(MidiInList, port.listedInputs());
    syncPortList(MidiOutList, port.listedOutputs());
    // Lists with no port of a unit tell why, in their tooltips.
    const auto onlySystem = [](const QStringList &names) {
        return std::all_of(names.begin(), names.end(), Tarsyn::MidiPort::isSystemPort);
    };
    const QString why = onlySystem(port.listedInputs()) && onlySystem(port.listedOutputs()) ? noPortsText() : QString();
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

void MainWindow::portGone(const QString &name)
{
    if (connectionState == Disconnected)
        return;
    const bool updating = transfer.running();
    const bool presetPass = presets.passRunning();
    // As Disconnect does: nothing more will answer.
    port.close();
    portLock.release();
    identifyGuard.stop();
    transfer.abandon();
    presets.guard().stop();
    if (presetPass)
        presets.endPass();
    connectionState = Disconnected;
    refreshControls();
    updatePortLists();
    QString text = tr("The MIDI port \"%1\" has gone.").arg(name);
    if (updating)
        text += QLatin1Char(' ') + tr("The update did not complete.");
    else if (presetPass)
        text += QLatin1Char(' ') + tr("The preset transfer did not complete.");
    QMessageBox::warning(this, QString::fromLatin1(presetPass ? PresetTitle : UpdateTitle), text, QMessageBox::Ok,
                         QMessageBox::NoButton);
}

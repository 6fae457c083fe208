#pragma once
// MainWindow: the updater's only window and its controller. It owns the MIDI port pair and
// the protocol engine, keeps the connection state, reacts to the two buttons and handles
// every message from the unit (posted as a MidiEvent by the MIDI input callback): the
// identity, the firmware transfer with its progress bar and completion message, and the
// preset pass.
//
// Everything here runs on the GUI thread.

#include "ui_MainWindow.h"

#include "DeviceLink.h"
#include "FirmwareTransfer.h"
#include "MidiPort.h"
#include "PortLock.h"
#include "PresetExchange.h"

#include <QMainWindow>
#include <QString>

#include <cstdint>

enum ConnectionState : std::int32_t {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
};

class MainWindow : public QMainWindow, public Ui_MainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Wiring, port lists, initial control states and the picture; run once, after the
    // window has been shown and its size fixed.
    void postShowInit();

    ConnectionState state() const { return connectionState; }
    Tarsyn::MidiPort &midiPort() { return port; }
    Tarsyn::DeviceLink &deviceLink() { return link; }
    Tarsyn::FirmwareTransfer &firmwareTransfer() { return transfer; }
    Tarsyn::PresetExchange &presetExchange() { return presets; }
    Tarsyn::StallGuard &identifyRepeats() { return identifyGuard; }
    // The firmware file that Update loads; the built-in resource unless changed.
    void setFirmwarePath(const QString &path) { firmwarePath = path; }
    // Replies come through a real MIDI link: a reply that arrives too soon to answer the
    // message just sent is not taken as its answer (timing checks of the StallGuard).
    void setRealLink(bool on)
    {
        identifyGuard.setEchoFilter(on);
        transfer.guard().setEchoFilter(on);
        presets.guard().setEchoFilter(on);
    }

public slots:
    void Connect();    // connects, or disconnects (also aborts a pending connection)
    void Transfer();   // loads the firmware and starts the update
    void close1();     // closes the ports now and the window 500 ms later

protected:
    bool event(QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void refreshControls();
    void showIdentity();
    void transferFinished();
    void unitKeepsAsking(std::uint32_t offset);
    void presetOutcome(const Tarsyn::PresetExchange::Outcome &outcome);
    void endPresetPass();
    void unitSilent();
    // The port lists follow the MIDI systems; a port of the open pair that goes ends the
    // connection and whatever job runs on it.
    void updatePortLists();
    // Why no port of a unit is listed: what each MIDI system looked at showed.
    static QString noPortsText();
    void portGone(const QString &name);

    // The port is declared before the link that sends through it, so it outlives the link.
    Tarsyn::MidiPort port;
    Tarsyn::PortLock portLock;   // one host per unit: held while connected
    Tarsyn::DeviceLink link;
    Tarsyn::FirmwareTransfer transfer{link};
    Tarsyn::PresetExchange presets{link};
    Tarsyn::StallGuard identifyGuard{link};
    ConnectionState connectionState = Disconnected;
    std::int32_t inputRow = 0;
    std::int32_t outputRow = 0;
    std::uint32_t serialNumber = 0;
    std::int32_t firmwareVersion = 0;
    QString serialText;
    QString deviceName;
    QString firmwarePath;
};

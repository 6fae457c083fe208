#pragma once
// MainWindow: the updater's only window and its controller. It keeps the connection state,
// reacts to the two buttons, lists the ports, and presents what its UnitSession reports:
// the identity, the update's bar and boxes, the preset pass's bar and boxes. The session
// runs the jobs (the window's identify waits until Disconnect; preset passes are driven
// by the unit); every message from the unit comes here as a MidiEvent posted by the MIDI
// input callback and goes on to the session.
//
// Everything here runs on the GUI thread.

#include "ui_MainWindow.h"

#include "PortPair.h"
#include "UnitSession.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QString>

#include <cstdint>
#include <memory>

enum ConnectionState : std::int32_t {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
};

class MainWindow : public QMainWindow, public Ui_MainWindow {
    Q_OBJECT
public:
    // On the MIDI systems' ports.
    explicit MainWindow(QWidget *parent = nullptr);
    // On `pair` (tests: an in-process unit).
    explicit MainWindow(std::unique_ptr<Tarsyn::PortPair> pair, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Wiring, port lists, initial control states and the picture; run once, after the
    // window has been shown and its size fixed.
    void postShowInit();

    ConnectionState state() const { return connectionState; }
    Tarsyn::PortPair &portPair() { return *pair; }
    Tarsyn::UnitSession &session() { return session_; }
    // The firmware file that Update loads; the built-in resource unless changed.
    void setFirmwarePath(const QString &path) { firmwarePath = path; }
    // Replies come through a real MIDI link: a reply that arrives too soon to answer the
    // message just sent is not taken as its answer.
    void setRealLink(bool on) { session_.setRealLink(on); }

public slots:
    void Connect();    // connects, or disconnects (also ends a pending connection or a pass)
    void Transfer();   // loads the firmware and starts the update
    void close1();     // closes the ports now and the window 500 ms later

protected:
    bool event(QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void refreshControls();
    void unitIdentified();
    void showIdentity();
    void jobEnded(const Tarsyn::UnitSession::Outcome &outcome);
    void updateEnded(const Tarsyn::UnitSession::Outcome &outcome);
    void presetPassEnded(const Tarsyn::UnitSession::Outcome &outcome);
    void endPresetPass();
    // The connection ended under the window (a port gone, a refused send): tell why.
    void connectionLost(const Tarsyn::UnitSession::Outcome &outcome);
    // A warning box with an OK button; the box made while idle when it is free.
    void warn(const char *title, const QString &text);
    // The port lists follow the MIDI systems.
    void updatePortLists();
    // Why no port of a unit is listed: what each MIDI system looked at showed.
    static QString noPortsText();

    // The pair is declared before the session that sends through it, so it outlives it.
    std::unique_ptr<Tarsyn::PortPair> pair;
    Tarsyn::UnitSession session_;
    ConnectionState connectionState = Disconnected;
    std::int32_t inputRow = 0;
    std::int32_t outputRow = 0;
    std::uint32_t serialNumber = 0;
    std::int32_t firmwareVersion = 0;
    QString serialText;
    QString deviceName;
    QString firmwarePath;
    // Made once the window is up, so that a box comes at once when it must (a port gone
    // mid-job): the first box's icon lookup, widgets and native window take a second and more
    // on an emulated machine. A child of the window.
    QMessageBox *box_ = nullptr;
};

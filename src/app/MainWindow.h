#pragma once

#include "app/session/EmulatorSession.h"
#include "params/UserParams.h"
#include "profile/CameraPicture.h"

#include <QMainWindow>

#include <memory>

class QComboBox;
class TcpTransport;
class UdpHello;
class UdpTransport;

namespace Ui {
class MainWindow;
}

// The emulator's window: the settings panel that edits the parameter record,
// the drawing area that holds the profile, and Start/Stop of the workers.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The one parameter record, which the workers share.
    UserParamsStore& params() { return userParams; }
    bool isRunning() const { return session.isRunning(); }

public slots:
    void onBadTcpAddress();
    void on_startBtn_clicked();
    void on_stopBtn_clicked();
    void onUdpAddressChanged(const QString& address);
    void onUdpPortChanged(int port);
    void onTcpAddressChanged(const QString& address);
    void onTcpPortChanged(int port);
    void onSyncChanged(int sync_type);
    void onModeChanged(int mode);
    // Brings the panel in line with the record after it was loaded or
    // replaced by a client.
    void onUserParamsUpdated();
    void on_clearBtn_clicked();
    void bufferSizeComboChanged(int index);
    void aboutActionTriggered();
    void on_paintModeCombo_currentIndexChanged(int index);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void fillScannerAddresses();
    void connectPanel();
    // Writes the panel's addresses and port into the record, so that the
    // workers start with what the panel shows.
    void storePanelAddresses();
    void showUdpAddress(const QString& recordText);
    void showScannerAddress(const QString& recordText);
    void selectRecordedEntry(QComboBox* list, int recorded, void (MainWindow::*store)(int));
    // Each connects the panel to one worker and primes it with the panel's values.
    void wireHello(UdpHello* hello);
    void wireStream(UdpTransport* stream);
    void wireServer(TcpTransport* server);
    void setRunning(bool running);
    void stopEmulation();

    std::unique_ptr<Ui::MainWindow> ui;
    UserParamsStore userParams;  // the one parameter record
    CameraPicture cameraPicture{};
    EmulatorSession session;
};

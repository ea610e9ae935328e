#pragma once

#include "params/DataPlaces.h"
#include "profile/CsvProfile.h"
#include "scanner/Scanner.h"

#include <QFileDialog>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <memory>

class ElidedLabel;
class QComboBox;

namespace Ui {
class MainWindow;
}

// The emulator's window: the settings panel that edits the parameter record,
// the drawing area that holds the profile, and Start/Stop of the workers.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    enum class FileQuestion { OpenCsv, SaveCsv, OpenCapture, OpenCsvFolder, OpenScene };

    // `dataDirectory` holds user_params.ini and kelvora.jpg; empty means the
    // program's places (beside it, the installed data, the user's folder).
    explicit MainWindow(QWidget* parent = nullptr, const QString& dataDirectory = QString());
    ~MainWindow() override;

    // The one scanner the window emulates.
    Scanner& scanner() { return scanner_; }
    UserParamsStore& params() { return scanner_.params(); }
    bool isRunning() const { return scanner_.isRunning(); }
    // Why the window cannot run (its camera picture is missing or unusable);
    // empty when it can. The program then ends with a failure status.
    QString startupError() const { return startupError_; }

public slots:
    // The warning box, with the socket's `reason`; stops the scanner.
    void onBadTcpAddress(const QString& reason);
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
    // The parameter file: the record's named fields and three panel values.
    void serializeUserParams();
    void deserializeUserParams();
    // CSV profile import and export through the file dialogs; a cancelled or
    // failed import keeps the profile.
    void loadCsvDots();
    void saveCsvDotsReverseX();
    // A capture file, a folder of CSV files or a scene, played in place of the
    // profile until a CSV profile is loaded or the replay is stopped.
    void loadRecording(FileQuestion question);
    void stopReplay();

private slots:
    // Binarises the camera picture; a start-up error when it cannot.
    void initPicture(const QString& name);

protected:
    void closeEvent(QCloseEvent* event) override;
    // The file dialogs of the CSV buttons and the recording menu; an empty
    // name means cancelled.
    virtual QString askFileName(FileQuestion question);

private:
    void fillScannerAddresses();
    void connectPanel();
    // Hands the scanner every panel value; later changes follow through connectPanel().
    void primeScanner();
    // Writes the panel's addresses and port into the record, so that the
    // workers start with what the panel shows.
    void storePanelAddresses();
    void showUdpAddress(const QString& recordText);
    void showScannerAddress(const QString& recordText);
    void selectRecordedEntry(QComboBox* list, int recorded, void (MainWindow::*store)(int));
    // The status bar follows the scanner: where it listens, whether a client
    // is connected (which pauses the stream), and why listening failed.
    void showEmulatorState();
    // While faults are set and running: those injected since they were set
    // or the run started.
    void showInjectedFaults();
    void addNetworkMenu();
    void addDestinationChoices(QMenu* network);
    void askForFaults();
    QString streamStateText(const USER_PARAMS& params) const;
    void reportListenFailure(const QString& reason);
    void setRunning(bool running);
    void stopEmulation();
    CsvScale csvScale() const;
    // Writes the record where the next start reads it. On any thread.
    MaybeFailure writeUserParams() const;
    // Where the record was written, or why not.
    QString userParamsReport(const MaybeFailure& failure) const;
    // File outcomes go to the log and the status bar.
    void reportFileResult(const QString& text);
    void showReplayedFrame();
    // "scene F: measurement m" or "replay F: frame k of N"; empty while the
    // drawn profile plays.
    QString playingText() const;
    // The view and the menu once the drawn profile plays again.
    void showDrawnProfileView();

    std::unique_ptr<Ui::MainWindow> ui;
    const DataPlaces places;  // where the picture and the parameter file are
    Scanner scanner_;
    ElidedLabel* stateLbl = nullptr;   // the status bar's lasting part
    ElidedLabel* faultsLbl = nullptr;  // beside it, the injected faults
    ElidedLabel* playingLbl = nullptr; // the recording or scene being played
    FaultCounts faultsSince;           // the counters when the faults were set or the run started
    QTimer stateRefresh;         // the record and the server change while running
    QTimer replayRefresh;        // the view follows the frame the stream is at
    std::atomic<bool> clientConnected{false};  // set on the server's thread
    QString startupError_;
};

#include "app/MainWindow.h"

#include "ui_MainWindow.h"

#include "app/ElidedLabel.h"
#include "app/FaultsDialog.h"
#include "log/LogCategories.h"
#include "params/UserParamsIni.h"
#include "tcp/ListenAdvice.h"
#include "udp/UdpTransport.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QIcon>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QRegularExpressionValidator>
#include <QStatusBar>

#include <algorithm>

namespace {
// List indices of the panel.
constexpr int kSyncBase = 0;
constexpr int kSyncInternal = 1;
constexpr int kDhsOn = 1;
constexpr int kStartPointCountIndex = 3;  // "640"
constexpr int kTransientMessageMs = 5000;
constexpr int kStateRefreshMs = 250;
// A modest rate for the view; the stream itself runs at up to 491 Hz.
constexpr int kReplayRefreshMs = 100;

const auto spinChanged = qOverload<int>(&QSpinBox::valueChanged);
}  // namespace

MainWindow::MainWindow(QWidget* parent, const QString& dataDirectory)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      places(dataDirectory.isEmpty() ? DataPlaces::ofThisProgram() : DataPlaces::inOneFolder(dataDirectory)) {
    ui->setupUi(this);
    // The form fills the fixed 890 x 530; the status bar for file messages
    // goes below it.
    setFixedSize(width(), height() + statusBar()->sizeHint().height());
    // Both give way, cut short, when the fixed width cannot hold them.
    stateLbl = new ElidedLabel(this);
    stateLbl->setObjectName(QStringLiteral("stateLbl"));
    statusBar()->addPermanentWidget(stateLbl);
    faultsLbl = new ElidedLabel(this);
    faultsLbl->setObjectName(QStringLiteral("faultsLbl"));
    statusBar()->addPermanentWidget(faultsLbl);
    playingLbl = new ElidedLabel(this);
    playingLbl->setObjectName(QStringLiteral("playingLbl"));
    playingLbl->hide();
    statusBar()->addPermanentWidget(playingLbl);
    stateRefresh.setInterval(kStateRefreshMs);
    connect(&stateRefresh, &QTimer::timeout, this, &MainWindow::showEmulatorState);
    showEmulatorState();

    // The form names its icon relative to the working folder; wherever the
    // program was started from, take it from the program's places.
    const QString logo = dataFilePath(places, QStringLiteral("310.jpg"));
    if (QFile::exists(logo)) {
        qCDebug(lcParams) << "window icon:" << logo;
        setWindowIcon(QIcon(logo));
    } else {
        qCDebug(lcParams) << "no" << logo << "- keeping the default icon";
    }

    ui->paint->setUserParams(&scanner_.params(), &scanner_.profile());
    // The drawing area rebuilds its profile before the window stores the index.
    connect(ui->bufferSizeCombo, qOverload<int>(&QComboBox::currentIndexChanged), ui->paint,
            &PaintWidget::onBufferSizeChanged);
    connect(ui->action_About, &QAction::triggered, this, &MainWindow::aboutActionTriggered);
    connect(ui->action_LoadRecording, &QAction::triggered, this, [this] { loadRecording(FileQuestion::OpenCapture); });
    connect(ui->action_LoadRecordingFolder, &QAction::triggered, this,
            [this] { loadRecording(FileQuestion::OpenCsvFolder); });
    connect(ui->action_LoadScene, &QAction::triggered, this, [this] { loadRecording(FileQuestion::OpenScene); });
    connect(ui->action_StopReplay, &QAction::triggered, this, &MainWindow::stopReplay);
    replayRefresh.setInterval(kReplayRefreshMs);
    connect(&replayRefresh, &QTimer::timeout, this, &MainWindow::showReplayedFrame);
    addNetworkMenu();
    fillScannerAddresses();
    connectPanel();
    primeScanner();
    ui->paint->onXemrUpdated(ui->xemrSpin->value());
    ui->paint->onZdiapUpdated(ui->zdiapSpin->value());
    // Changes the panel, so it runs on the GUI thread.
    connect(&scanner_, &Scanner::listenFailed, this, &MainWindow::reportListenFailure);
    // Noted where they happen; the status refresh shows them.
    connect(
        &scanner_, &Scanner::clientConnected, this, [this] { clientConnected = true; }, Qt::DirectConnection);
    connect(
        &scanner_, &Scanner::clientDisconnected, this, [this] { clientConnected = false; }, Qt::DirectConnection);
    connect(&scanner_, &Scanner::userParamsUpdated, this, &MainWindow::onUserParamsUpdated, Qt::QueuedConnection);
    // A client's flush is written on the engine's writing thread; the status bar hears of it here.
    scanner_.setFlushSaver([this] {
        const MaybeFailure failure = writeUserParams();
        const QString report = userParamsReport(failure);
        QMetaObject::invokeMethod(this, [this, report] { reportFileResult(report); }, Qt::QueuedConnection);
        return failure;
    });

    connect(ui->flushBtn, &QPushButton::clicked, this, &MainWindow::serializeUserParams);
    deserializeUserParams();
    // What the headless program streams, until the user draws or clears.
    ui->paint->showBuiltInProfile(ui->bufferSizeCombo->currentIndex());
    initPicture(dataFilePath(places, QStringLiteral("kelvora.jpg")));
    connect(ui->loadDotsBtn, &QPushButton::clicked, this, &MainWindow::loadCsvDots);
    connect(ui->saveDotsBtn, &QPushButton::clicked, this, &MainWindow::saveCsvDotsReverseX);
}

MainWindow::~MainWindow() = default;

void MainWindow::fillScannerAddresses() {
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            ui->scannerAddressCombo->addItem(address.toString());
}

void MainWindow::connectPanel() {
    // Dotted decimal as a person writes it: each part 0..255, partial
    // addresses allowed while typing (their missing parts store 0).
    static const QRegularExpression kIpv4(
        QStringLiteral("((25[0-5]|2[0-4]\\d|1?\\d?\\d)\\.){3}(25[0-5]|2[0-4]\\d|1?\\d?\\d)"));
    ui->udpAddressEdit->setValidator(new QRegularExpressionValidator(kIpv4, ui->udpAddressEdit));
    connect(ui->udpAddressEdit, &QLineEdit::textChanged, this, &MainWindow::onUdpAddressChanged);
    connect(ui->udpPortSpin, qOverload<int>(&QSpinBox::valueChanged), this, &MainWindow::onUdpPortChanged);
    QComboBox* scannerAddresses = ui->scannerAddressCombo;
    connect(scannerAddresses, qOverload<int>(&QComboBox::currentIndexChanged), this,
            [this, scannerAddresses](int index) { onTcpAddressChanged(scannerAddresses->itemText(index)); });
    connect(ui->tcpPortSpin, qOverload<int>(&QSpinBox::valueChanged), this, &MainWindow::onTcpPortChanged);
    connect(ui->syncCombo, qOverload<int>(&QComboBox::currentIndexChanged), this, &MainWindow::onSyncChanged);
    connect(ui->modeCombo, qOverload<int>(&QComboBox::currentIndexChanged), this, &MainWindow::onModeChanged);
    connect(ui->xemrSpin, qOverload<int>(&QSpinBox::valueChanged), ui->paint, &PaintWidget::onXemrUpdated);
    connect(ui->zdiapSpin, qOverload<int>(&QSpinBox::valueChanged), ui->paint, &PaintWidget::onZdiapUpdated);
    connect(ui->bufferSizeCombo, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &MainWindow::bufferSizeComboChanged);
    // The scanner's own settings follow the panel, idle or running.
    Scanner* scanner = &scanner_;
    connect(ui->xemrSpin, spinChanged, scanner, &Scanner::setXemr);
    connect(ui->zdiapSpin, spinChanged, scanner, &Scanner::setZdiap);
    connect(ui->serialNumSpin, spinChanged, scanner, &Scanner::setSerial);
    connect(ui->xsmrSpin, spinChanged, scanner, &Scanner::setXsmr);
    connect(ui->zbaseSpin, spinChanged, scanner, &Scanner::setZbase);
    connect(ui->noizeSlider, &QSlider::valueChanged, scanner, &Scanner::setNoise);
    connect(ui->freqSpin, spinChanged, scanner, &Scanner::setFrequency);
    connect(ui->stepdirDirectionChk, &QCheckBox::toggled, scanner, &Scanner::setStepdirForward);
}

void MainWindow::primeScanner() {
    onTcpAddressChanged(ui->scannerAddressCombo->currentText());
    scanner_.setXemr(ui->xemrSpin->value());
    scanner_.setZdiap(ui->zdiapSpin->value());
    scanner_.setSerial(ui->serialNumSpin->value());
    scanner_.setXsmr(ui->xsmrSpin->value());
    scanner_.setZbase(ui->zbaseSpin->value());
    scanner_.setNoise(ui->noizeSlider->value());
    scanner_.setFrequency(ui->freqSpin->value());
    scanner_.setStepdirForward(ui->stepdirDirectionChk->isChecked());
    scanner_.setPointCountIndex(ui->bufferSizeCombo->currentIndex());
}

// Panel -> record

void MainWindow::onUdpAddressChanged(const QString& address) {
    params().update([&](USER_PARAMS& p) { ipv4TextToField(address, p.udp_ip_address_u8); });
    qCDebug(lcParams) << "address" << address;
}

void MainWindow::onUdpPortChanged(int port) {
    params().update([&](USER_PARAMS& p) { p.udp_port_u16 = static_cast<uint16_t>(port); });
}

void MainWindow::onTcpAddressChanged(const QString& address) {
    scanner_.setLocalAddress(address);  // an empty list (no IPv4 address) changes nothing
    qCDebug(lcParams) << "tcp address" << address;
}

void MainWindow::onTcpPortChanged(int port) {
    params().update([&](USER_PARAMS& p) { p.tcp_port_u16 = static_cast<uint16_t>(port); });
}

void MainWindow::onSyncChanged(int sync_type) {
    if (sync_type == kSyncBase) {
        // The rate follows the DHS mode.
        ui->freqSpin->setValue((ui->modeCombo->currentIndex() + 1) * 250);
        ui->freqSpin->setEnabled(false);
    } else {
        ui->freqSpin->setEnabled(true);
    }
}

void MainWindow::onModeChanged(int mode) {
    const bool dhsOn = mode == kDhsOn;
    const int maxFrequency = dhsOn ? 491 : 249;
    scanner_.setDhsMode(dhsOn ? 1 : 0);
    // setRange also pulls a larger value down to the new maximum.
    ui->freqSpin->setRange(1, maxFrequency);
    const bool internalSync = ui->syncCombo->currentIndex() == kSyncInternal;
    if (!internalSync)
        ui->freqSpin->setValue(maxFrequency);
    ui->freqSpin->setEnabled(internalSync);
}

void MainWindow::bufferSizeComboChanged(int index) {
    scanner_.setPointCountIndex(index);
    qCDebug(lcParams) << "interpolation_u8 =" << index;
}

void MainWindow::on_paintModeCombo_currentIndexChanged(int index) { ui->paint->setCurrentPaintMode(index); }

void MainWindow::on_clearBtn_clicked() { ui->paint->clearDots(); }

// Record -> panel. Each step reads the record afresh: the handlers fired by
// an earlier step may have written it.

void MainWindow::onUserParamsUpdated() {
    qCDebug(lcParams) << "params updated";
    showUdpAddress(ipv4FieldToText(params().snapshot().udp_ip_address_u8));

    const int udpPort = params().snapshot().udp_port_u16;
    if (udpPort != ui->udpPortSpin->value()) {
        ui->udpPortSpin->setValue(udpPort);
        qCDebug(lcParams) << "my udp port =" << ui->udpPortSpin->value() << "new udp port =" << udpPort;
    }

    const int frequency = params().snapshot().udp_frequency_u16;
    if (frequency != ui->freqSpin->value()) {
        qCDebug(lcParams) << "my freq =" << ui->freqSpin->value() << " new freq =" << frequency;
        ui->freqSpin->setValue(frequency);
    }

    showScannerAddress(ipv4FieldToText(params().snapshot().tcp_ip_address_u8));

    const int tcpPort = params().snapshot().tcp_port_u16;
    if (tcpPort != ui->tcpPortSpin->value())
        ui->tcpPortSpin->setValue(tcpPort);

    selectRecordedEntry(ui->modeCombo, params().snapshot().dhs_enable_u8, &MainWindow::onModeChanged);
    selectRecordedEntry(ui->bufferSizeCombo, params().snapshot().interpolation_u8,
                        &MainWindow::bufferSizeComboChanged);
}

void MainWindow::showUdpAddress(const QString& recordText) {
    if (recordText == ui->udpAddressEdit->text())
        return;
    qCDebug(lcParams) << "udpAddress =" << ui->udpAddressEdit->text() << " recievedUdpAddress =" << recordText;
    ui->udpAddressEdit->setText(recordText);
}

void MainWindow::showScannerAddress(const QString& recordText) {
    QComboBox* list = ui->scannerAddressCombo;
    if (recordText == list->currentText())
        return;
    qCDebug(lcParams) << "my tcp_addr =" << list->currentText() << "new tcp_addr =" << recordText;
    const int found = list->findText(recordText, Qt::MatchExactly | Qt::MatchCaseSensitive);
    qCDebug(lcParams) << "found:" << found;
    // An address the host lacks gives way to the first one, in the record too,
    // even when that entry is already selected and no change signal fires.
    const int index = std::max(found, 0);
    if (list->currentIndex() == index)
        onTcpAddressChanged(list->currentText());
    else
        list->setCurrentIndex(index);
}

void MainWindow::selectRecordedEntry(QComboBox* list, int recorded, void (MainWindow::*store)(int)) {
    if (recorded < list->count()) {
        list->setCurrentIndex(recorded);  // fires the list's handlers only on a change
        return;
    }
    // A value the list does not offer would leave it with no selection; keep
    // the shown entry and put it back into the record instead.
    (this->*store)(list->currentIndex());
}

// Start and Stop

void MainWindow::storePanelAddresses() {
    onTcpPortChanged(ui->tcpPortSpin->value());
    onTcpAddressChanged(ui->scannerAddressCombo->currentText());
    onUdpAddressChanged(ui->udpAddressEdit->text());
}

void MainWindow::on_startBtn_clicked() {
    if (scanner_.isRunning())
        return;
    storePanelAddresses();
    statusBar()->clearMessage();  // an error of the last run is no longer true
    clientConnected = false;
    faultsSince = scanner_.faultCounters();
    scanner_.start();
    stateRefresh.start();
    setRunning(true);
    ui->bufferSizeCombo->setCurrentIndex(kStartPointCountIndex);
}

void MainWindow::on_stopBtn_clicked() {
    if (scanner_.isRunning())
        stopEmulation();
}

void MainWindow::stopEmulation() {
    scanner_.stop();
    setRunning(false);
}

void MainWindow::setRunning(bool running) {
    ui->startBtn->setEnabled(!running);
    ui->stopBtn->setEnabled(running);
    showEmulatorState();
}

// Status bar

void MainWindow::showEmulatorState() {
    showInjectedFaults();
    if (!isRunning()) {
        stateRefresh.stop();
        stateLbl->setFullText(tr("Idle"));
        return;
    }
    const USER_PARAMS params = scanner_.params().snapshot();
    const quint16 port = scanner_.listeningPort();
    const QString server = port != 0
                               ? tr("TCP listening on %1:%2").arg(ipv4FieldToText(params.tcp_ip_address_u8)).arg(port)
                               : tr("TCP not listening");
    const QString client = clientConnected ? tr("client connected") : tr("no client");
    stateLbl->setFullText(QStringLiteral("%1, %2 | %3").arg(server, client, streamStateText(params)));
}

void MainWindow::showInjectedFaults() {
    const QString faults = isRunning() && !scanner_.faults().isNone()
                               ? injectedFaultsSummary(scanner_.faultCounters(), faultsSince)
                               : QString();
    faultsLbl->setFullText(tr("faults: %1").arg(faults));
    faultsLbl->setVisible(!faults.isEmpty());
}

void MainWindow::addNetworkMenu() {
    QMenu* menu = new QMenu(tr("&Network"), this);
    QAction* faults = menu->addAction(tr("Network &faults…"));
    faults->setObjectName(QStringLiteral("actionNetworkFaults"));
    connect(faults, &QAction::triggered, this, &MainWindow::askForFaults);
    addDestinationChoices(menu);
    menuBar()->insertMenu(ui->menu_About->menuAction(), menu);
}

// Two exclusive choices each; they take effect at once, running or not.
void MainWindow::addDestinationChoices(QMenu* network) {
    const auto choice = [this](QActionGroup* group, const QString& text, const char* name, auto apply) {
        QAction* action = static_cast<QMenu*>(group->parent())->addAction(text);
        action->setObjectName(QLatin1String(name));
        action->setCheckable(true);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, apply] {
            apply();
            showEmulatorState();
        });
        return action;
    };
    auto* stream = new QActionGroup(network->addMenu(tr("&Stream to")));
    choice(stream, tr("127.0.0.1 (loopback)"), "actionStreamToLoopback", [this] {
        scanner_.setStreamTarget(StreamTarget{}, scanner_.settings().streamAllow);
    })->setChecked(true);
    choice(stream, tr("The record's UDP address"), "actionStreamToRecord", [this] {
        scanner_.setStreamTarget({StreamTarget::Kind::Record, {}}, scanner_.settings().streamAllow);
    });
    auto* hello = new QActionGroup(network->addMenu(tr("&Hello to")));
    choice(hello, tr("127.0.0.1 (loopback)"), "actionHelloToLoopback", [this] {
        scanner_.setHelloTarget(HelloTarget{});
    })->setChecked(true);
    choice(hello, tr("Broadcast on the scanner's network"), "actionHelloToBroadcast", [this] {
        scanner_.setHelloTarget({HelloTarget::Kind::Broadcast, 0});
    });
}

// Takes effect at once, running or not.
void MainWindow::askForFaults() {
    FaultsDialog dialog(scanner_.faults(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    scanner_.setFaults(dialog.spec());
    faultsSince = scanner_.faultCounters();
    showInjectedFaults();
}

QString MainWindow::streamStateText(const USER_PARAMS& params) const {
    if (!params.wUDP)
        return tr("UDP stream off (wUDP is 0)");
    QString target = scanner_.streamDestination();
    if (target.startsWith(QLatin1String("held")))
        return tr("UDP stream %1").arg(target);
    if (scanner_.streamRoute().target().kind == StreamTarget::Kind::Record)
        target += tr(" (the record's address)");
    if (params.localSAPEnabled) {
        const uint32_t broadcast = broadcastAddress(ipv4FieldToNumber(params.tcp_ip_address_u8),
                                                    ipv4FieldToNumber(params.tcp_subnet_mask_u8));
        target += tr(" and %1:%2").arg(QHostAddress(broadcast).toString()).arg(UdpTransport::kDefaultBroadcastPort);
    }
    if (clientConnected)
        return tr("UDP to %1 paused while the client is connected").arg(target);
    return tr("UDP to %1 at %2 Hz").arg(target).arg(params.udp_frequency_u16);
}

// The reason goes to the status bar before the warning box stops the scanner.
void MainWindow::reportListenFailure(const QString& reason) {
    const QString text = withListenAdvice(reason, params().snapshot().tcp_port_u16);
    qCWarning(lcTcp).noquote() << text;
    statusBar()->showMessage(text);  // stays until the next Start
    onBadTcpAddress(text);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (scanner_.isRunning())
        stopEmulation();
    event->accept();
}

void MainWindow::onBadTcpAddress(const QString& reason) {
    QMessageBox::warning(this, QStringLiteral("Oooooops"),
                         tr("There are some troubles with this address\n"
                            "Some system ip addresses aren't usable\n"
                            "such as VirtualBox's address etc.\n"
                            "Please, try another one.\n\n%1")
                             .arg(reason),
                         QMessageBox::Ok, QMessageBox::NoButton);
    if (scanner_.isRunning())
        stopEmulation();
}

void MainWindow::aboutActionTriggered() {
    QMessageBox::about(this, tr("About PX310 Emulator"),
                       tr("<b>PX310 Emulator</b> 1.0<br><br>"
                          "Emulates the PX310 2D laser profile scanner on this computer: "
                          "the hello announcement, the profile stream and the TCP command "
                          "protocol, with a profile you draw.<br><br>"
                          "Kelvora Sensors<br>support@kelvora.example<br>https://kelvora.example"));
}

// Parameter file, camera picture and CSV profiles

void MainWindow::serializeUserParams() { reportFileResult(userParamsReport(writeUserParams())); }

MaybeFailure MainWindow::writeUserParams() const {
    qCDebug(lcParams) << "serialize userparams";
    return scanner_.saveParams(userParamsSavePath(places));
}

QString MainWindow::userParamsReport(const MaybeFailure& failure) const {
    return failure ? failure->message : tr("user parameters saved to %1").arg(userParamsSavePath(places));
}

void MainWindow::deserializeUserParams() {
    qCDebug(lcParams) << "deserialize userparams";
    // One step under the lock: the reserved bytes stay, and no client write
    // can come in between.
    UserParamsIniLoad loaded;
    int pointCountIndex = 0;
    params().update([&](USER_PARAMS& params) {
        loaded = loadUserParamsIni(userParamsLoadPath(places), params);
        pointCountIndex = params.interpolation_u8;
    });
    for (const QString& warning : loaded.warnings)
        qCDebug(lcParams).noquote() << warning;

    ui->serialNumSpin->setValue(loaded.extras.serial);
    ui->bufferSizeCombo->setCurrentIndex(pointCountIndex);
    ui->xsmrSpin->setValue(loaded.extras.xsmr);
    ui->zbaseSpin->setValue(loaded.extras.zbase);
    onUserParamsUpdated();
    // The form's rate range and value fit no mode; apply the mode's rule even
    // when the loaded mode is the one the list already shows.
    onModeChanged(ui->modeCombo->currentIndex());
}

void MainWindow::initPicture(const QString& name) {
    const MaybeFailure failure = loadCameraPicture(name, scanner_.picture());
    if (!failure)
        return;
    startupError_ = failure->message;
    QMessageBox::warning(nullptr, tr("Error"), tr("Use 640x480 image!"), QMessageBox::Ok);
}

CsvScale MainWindow::csvScale() const { return CsvScale{ui->xemrSpin->value(), ui->zdiapSpin->value()}; }

void MainWindow::reportFileResult(const QString& text) {
    qCDebug(lcParams).noquote() << text;
    statusBar()->showMessage(text, kTransientMessageMs);
}

QString MainWindow::askFileName(FileQuestion question) {
    const QString csv = tr("CSV Files (*.csv)");
    switch (question) {
    case FileQuestion::OpenCsv:
        return QFileDialog::getOpenFileName(this, tr("Open CSV profile"), QString(), csv);
    case FileQuestion::SaveCsv:
        return QFileDialog::getSaveFileName(this, tr("Save CSV profile"), QString(), csv);
    case FileQuestion::OpenCapture:
        return QFileDialog::getOpenFileName(this, tr("Load recording"), QString(),
                                            tr("Captures (*.pcap *.pcapng *.cap);;All files (*)"));
    case FileQuestion::OpenCsvFolder:
        return QFileDialog::getExistingDirectory(this, tr("Load recording: a folder of CSV profiles"));
    case FileQuestion::OpenScene:
        return QFileDialog::getOpenFileName(this, tr("Load scene"), QString(), tr("Scenes (*.json);;All files (*)"));
    }
    return QString();
}

void MainWindow::loadCsvDots() {
    const QString name = askFileName(FileQuestion::OpenCsv);
    if (name.isEmpty())
        return;  // cancelled: the profile stays as it is
    const CsvImport import = scanner_.loadCsvProfile(name);  // ends a replay itself
    if (import.ok())
        showDrawnProfileView();
    reportFileResult(csvImportSummary(import, name));
}

void MainWindow::loadRecording(FileQuestion question) {
    const QString path = askFileName(question);
    if (path.isEmpty())
        return;
    const bool scene = question == FileQuestion::OpenScene;
    if (const MaybeFailure failure = scene ? scanner_.loadScene(path) : scanner_.replay(path, Playback::Loop)) {
        reportFileResult(failure->message);
        return;
    }
    ui->xemrSpin->setValue(scanner_.settings().xemr);  // a scene brings its ranges
    ui->zdiapSpin->setValue(scanner_.settings().zdiap);
    ui->action_StopReplay->setEnabled(true);
    replayRefresh.start();
    playingLbl->show();
    showReplayedFrame();
    reportFileResult(tr("playing %1").arg(path));
}

void MainWindow::stopReplay() {
    scanner_.showDrawnProfile();
    showDrawnProfileView();
}

void MainWindow::showDrawnProfileView() {
    replayRefresh.stop();
    playingLbl->hide();
    ui->action_StopReplay->setEnabled(false);
    ui->paint->showFrame(std::nullopt);
}

// While a client is connected the stream pauses and results read the
// recording at their own measurements; asking it for the stream's as well would
// send a large capture back and forth through its file.
void MainWindow::showReplayedFrame() {
    playingLbl->setFullText(playingText());
    if (clientConnected)
        return;
    ProfileSnapshot frame;
    scanner_.copyStreamedFrame(frame);
    ui->paint->showFrame(std::move(frame));
}

QString MainWindow::playingText() const {
    const QString path = scanner_.replayedPath();
    if (path.isEmpty())
        return QString();
    const QString file = QFileInfo(path).fileName();
    // Stopped, the view shows the frame of measurement 1.
    const uint32_t measurement = std::max<uint32_t>(scanner_.streamedMeasurement(), 1);
    if (scanner_.scene())
        return tr("scene %1: measurement %2").arg(file).arg(measurement);
    const RecordingFrame at = scanner_.recordingFrame();
    if (at.frame == 0)
        return tr("replay %1").arg(file);
    if (at.frames < 0)
        return tr("replay %1: frame %2").arg(file).arg(at.frame);
    return tr("replay %1: frame %2 of %3").arg(file).arg(at.frame).arg(at.frames);
}

void MainWindow::saveCsvDotsReverseX() {
    const QString name = askFileName(FileQuestion::SaveCsv);
    if (name.isEmpty())
        return;
    qCDebug(lcProfile) << "save to " << name;
    const std::vector<ProfilePoint> points = ui->paint->profile().points();
    const MaybeFailure failure = writeCsvProfile(name, points, csvScale());
    reportFileResult(failure ? failure->message : tr("saved %1 points to %2").arg(points.size()).arg(name));
}

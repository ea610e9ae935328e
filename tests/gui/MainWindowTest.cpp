// The window: panel and record, Start and Stop, the status bar, menus and file buttons.
#include "app/MainWindow.h"
#include "profile/ProfileModel.h"
#include "profile/widget/PaintWidget.h"
#include "profile/widget/ProfileView.h"
#include "tcp/ListenAdvice.h"
#include "tcp/RequestHeader.h"
#include "tcp/TcpTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <tuple>
#include <vector>

namespace {

template <typename W>
W* child(const QObject& parent, const char* name) {
    W* widget = parent.findChild<W*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

// Hands every modal dialog that comes up to `answer`, which closes it.
std::unique_ptr<QTimer> answerModals(std::function<void(QWidget*)> answer) {
    auto poll = std::make_unique<QTimer>();
    QObject::connect(poll.get(), &QTimer::timeout, [answer] {
        if (QWidget* modal = QApplication::activeModalWidget())
            answer(modal);
    });
    poll->start(10);
    return poll;
}

// A window whose file dialogs give prepared answers ("" cancels).
class ScriptedWindow : public MainWindow {
public:
    using MainWindow::MainWindow;
    QStringList answers;
    std::vector<FileQuestion> asked;

protected:
    QString askFileName(FileQuestion question) override {
        asked.push_back(question);
        return answers.takeFirst();
    }
};

class MainWindowTest : public ::testing::Test {
protected:
    // A folder of its own with the camera picture and the form's start values.
    void SetUp() override {
        ASSERT_TRUE(QFile::copy(PX310_ASSETS_DIR "/kelvora.jpg", dir.filePath("kelvora.jpg")));
        ASSERT_TRUE(QFile::copy(PX310_FORM_VALUES, dir.filePath("user_params.ini")));
        open();
    }
    void open() { window = std::make_unique<ScriptedWindow>(nullptr, dir.path()); }
    // The command server on loopback and a port that was free a moment ago, the stream to `receiver`.
    void serveLocally() {
        ASSERT_TRUE(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
        combo("scannerAddressCombo")->setCurrentIndex(combo("scannerAddressCombo")->findText("127.0.0.1"));
        tcpPort = freeTcpPort();
        spin("tcpPortSpin")->setValue(tcpPort);
        spin("udpPortSpin")->setValue(receiver.localPort());
        window->params().update([](USER_PARAMS& p) { p.wUDP = 1; });
    }
    // The server starts listening on its own thread shortly after Start.
    std::unique_ptr<QTcpSocket> connectClient() {
        std::unique_ptr<QTcpSocket> client;
        waitUntil([&] { return (client = connectTo(tcpPort))->state() == QAbstractSocket::ConnectedState; });
        return client;
    }
    QComboBox* combo(const char* name) { return child<QComboBox>(*window, name); }
    QSpinBox* spin(const char* name) { return child<QSpinBox>(*window, name); }
    QPushButton* button(const char* name) { return child<QPushButton>(*window, name); }
    void trigger(const char* name) {  // as a user does: only an enabled action
        QAction* action = child<QAction>(*window, name);
        action->isEnabled() ? action->trigger() : ADD_FAILURE() << name << " is disabled";
    }
    USER_PARAMS record() { return window->params().snapshot(); }
    ProfileStore& profile() { return child<PaintWidget>(*window, "paint")->profile(); }
    QString status() { return window->statusBar()->currentMessage(); }
    QString savedSerial() {
        return QSettings(dir.filePath("user_params.ini"), QSettings::IniFormat).value("UserParams/serial").toString();
    }

    // Replaces the record as a client would, then lets the panel follow it.
    template <typename Change>
    void clientWrites(Change change) {
        USER_PARAMS params = record();
        change(params);
        window->params().replace(params);
        window->onUserParamsUpdated();
    }
    void expectState(const QString& a, const QString& b) {
        const QLabel* state = child<QLabel>(*window, "stateLbl");
        EXPECT_TRUE(waitUntil([&] {
            return state->text().contains(a) && state->text().contains(b) && state->toolTip() == state->text();
        })) << state->text().toStdString();
    }
    bool shows(ProfilePoint point) {
        const QImage view = child<PaintWidget>(*window, "paint")->grab().toImage();
        return view.pixelColor(unitsToPixel(point)) == QColor(PaintWidget::kStoredProfileColour);
    }

    QTemporaryDir dir;
    std::unique_ptr<ScriptedWindow> window;
    QUdpSocket receiver;
    quint16 tcpPort = 0;
};

}  // namespace

TEST_F(MainWindowTest, TheUdpAddressReachesTheRecordAsTypedAndRefusesPartsAbove255) {
    auto* edit = child<QLineEdit>(*window, "udpAddressEdit");
    edit->clear();
    const auto type = [edit](const QString& text) {
        for (QChar c : text) {
            QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QCoreApplication::sendEvent(edit, &key);
        }
    };
    type("192.168.");
    EXPECT_EQ(ipv4FieldToText(record().udp_ip_address_u8), "192.168.0.0");  // partial while typing
    type("1.999");
    EXPECT_EQ(edit->text(), "192.168.1.99");  // a part above 255 is refused
}

TEST_F(MainWindowTest, DhsModeSetsTheRateLimitAndBaseSyncPinsTheRateInPanelAndRecord) {
    QSpinBox* freq = spin("freqSpin");
    const auto rate = [&] {
        EXPECT_EQ(int(record().udp_frequency_u16), freq->value());
        return freq->value();
    };
    EXPECT_EQ(rate(), 249);  // loading the record applied Base sync and DHS off
    combo("modeCombo")->setCurrentIndex(1);
    EXPECT_EQ(std::pair(rate(), int(record().dhs_enable_u8)), std::pair(491, 1));

    combo("syncCombo")->setCurrentIndex(1);  // Internal: the user picks the rate within the mode's limit
    freq->setValue(400);
    EXPECT_TRUE(rate() == 400 && freq->isEnabled());
    combo("modeCombo")->setCurrentIndex(0);
    EXPECT_EQ(rate(), 249);
    freq->setValue(100);
    combo("syncCombo")->setCurrentIndex(0);
    EXPECT_TRUE(rate() == 249 && !freq->isEnabled()) << freq->value();
}

TEST_F(MainWindowTest, RecordFromAClientIsShownInThePanel) {
    clientWrites([&](USER_PARAMS& p) {
        ipv4TextToField("10.1.2.3", p.udp_ip_address_u8);
        p.udp_port_u16 = 5000;
        p.tcp_port_u16 = 1234;
        p.dhs_enable_u8 = 1;
        p.interpolation_u8 = 1;
    });
    // Base sync follows DHS on: 491 Hz.
    EXPECT_EQ(std::make_tuple(child<QLineEdit>(*window, "udpAddressEdit")->text(), spin("udpPortSpin")->value(),
                              spin("tcpPortSpin")->value(), spin("freqSpin")->value(),
                              combo("bufferSizeCombo")->currentIndex()),
              std::make_tuple(QString("10.1.2.3"), 5000, 1234, 491, 1));
}

TEST_F(MainWindowTest, RecordedValuesThePanelLacksGiveWayToAShownEntry) {
    // List values just past the list keep the shown entry ("640", DHS off), in the record too.
    clientWrites([](USER_PARAMS& p) {
        p.interpolation_u8 = 5;
        p.dhs_enable_u8 = 2;
    });
    EXPECT_EQ(std::pair(int(record().interpolation_u8), int(record().dhs_enable_u8)), std::pair(3, 0));

    // A scanner address the host lacks gives way to the first entry, even one selected already.
    QComboBox* addresses = combo("scannerAddressCombo");
    addresses->setCurrentIndex(addresses->count() - 1);
    for (const char* absent : {"203.0.113.77", "203.0.113.78"}) {
        clientWrites([absent](USER_PARAMS& p) { ipv4TextToField(absent, p.tcp_ip_address_u8); });
        EXPECT_EQ(addresses->currentIndex(), 0);
        EXPECT_EQ(ipv4FieldToText(record().tcp_ip_address_u8), addresses->itemText(0));
    }
}

TEST_F(MainWindowTest, StartStoresThePanelAndSelects640PointsStopAndCloseEndTheRun) {
    serveLocally();
    combo("bufferSizeCombo")->setCurrentIndex(0);
    button("startBtn")->click();
    EXPECT_FALSE(button("startBtn")->isEnabled());
    EXPECT_EQ(std::pair(combo("bufferSizeCombo")->currentIndex(), int(record().interpolation_u8)), std::pair(3, 3));
    EXPECT_EQ(ipv4FieldToText(record().tcp_ip_address_u8), "127.0.0.1");
    button("stopBtn")->click();
    EXPECT_TRUE(!window->isRunning() && button("startBtn")->isEnabled());
    button("startBtn")->click();
    EXPECT_TRUE(window->isRunning());
    window->close();
    EXPECT_FALSE(window->isRunning());
}

TEST_F(MainWindowTest, ToolListAndClearButtonDriveTheDrawingArea) {
    auto* paint = child<PaintWidget>(*window, "paint");
    combo("paintModeCombo")->setCurrentIndex(2);
    paint->profile().append(ProfilePoint{1, 1});
    button("clearBtn")->click();
    EXPECT_TRUE(paint->paintMode() == PaintMode::Arcs && paint->profile().count() == 0);
}

// The window primes its scanner as px310-headless does without a parameter file; each change of the panel follows.
TEST_F(MainWindowTest, ThePanelPrimesTheScannerWithTheDefaultSettingsAndItsChanges) {
    serveLocally();
    const auto comparable = [](const ScannerSettings& s) {
        return std::make_tuple(s.localAddress, s.helloPort, s.macOffset, s.xemr, s.zdiap, s.serial, s.xsmr, s.zbase,
                               s.noise, s.pointCountIndex, s.stepdirForward);
    };
    ScannerSettings e;
    EXPECT_EQ(comparable(window->scanner().settings()), comparable(e));
    for (const char* name : {"xemrSpin", "zdiapSpin", "serialNumSpin", "xsmrSpin", "zbaseSpin"})
        spin(name)->setValue(spin(name)->value() + 1);
    child<QWidget>(*window, "noizeSlider")->setProperty("value", 1);
    child<QWidget>(*window, "stepdirDirectionChk")->setProperty("checked", false);
    e.xemr++, e.zdiap++, e.serial++, e.xsmr++, e.zbase++, e.noise = 1, e.stepdirForward = false;
    EXPECT_EQ(comparable(window->scanner().settings()), comparable(e));
}

// Below the form's 890 x 530; each state is whole in its tooltip, and drawn across the label however the bar cuts it.
TEST_F(MainWindowTest, TheStatusBarFollowsStartAClientAndStopAndTheClientsWriteReachesThePanel) {
    window->show();
    EXPECT_EQ(window->size(), QSize(890, 530 + window->statusBar()->height()));
    serveLocally();
    window->on_startBtn_clicked();
    const QString stream = QString("UDP to 127.0.0.1:%1 at %2 Hz").arg(receiver.localPort());
    expectState(QString("TCP listening on 127.0.0.1:%1, no client").arg(tcpPort), stream.arg(249));

    auto client = connectClient();
    expectState("client connected", "paused");
    USER_PARAMS changed = window->params().snapshot();
    changed.udp_frequency_u16 = 100;
    const QByteArray payload(reinterpret_cast<const char*>(&changed), kUserParamsSize);
    EXPECT_EQ(exchange(*client, encodeRequest(5, payload), 2), QByteArray("OK"));
    EXPECT_TRUE(waitUntil([&] { return spin("freqSpin")->value() == 100; }));

    client.reset();
    expectState("no client", stream.arg(100));
    const QImage painted = child<QLabel>(*window, "stateLbl")->grab().toImage();
    const QImage rightHalf = painted.copy(painted.width() / 2, 0, painted.width() / 2, painted.height());
    QImage blank = rightHalf;
    blank.fill(painted.pixel(0, 0));
    EXPECT_NE(rightHalf, blank);
}

TEST_F(MainWindowTest, TheNetworkMenuAimsTheStreamByTheRecordAndTheStatusBarSaysWhere) {
    serveLocally();
    auto* address = child<QLineEdit>(*window, "udpAddressEdit");
    address->setText("127.0.0.1");
    trigger("actionStreamToRecord");
    window->on_startBtn_clicked();
    expectState("no client", QString("UDP to 127.0.0.1:%1 (the record's address) at").arg(receiver.localPort()));
    address->setText("255.255.255.255");
    expectState("no client", "UDP stream held: 255.255.255.255 is a broadcast address");
}

TEST_F(MainWindowTest, TheNetworkMenuSendsTheHelloToTheBroadcastAddress) {
    trigger("actionHelloToBroadcast");
    EXPECT_EQ(window->scanner().settings().helloTo.kind, HelloTarget::Kind::Broadcast);
}

TEST_F(MainWindowTest, ListenFailureWarnsAndGivesTheSocketsReasonUntilTheNextStart) {
    serveLocally();
    constexpr quint16 kPrivilegedPort = 620;
    QTcpServer holder;  // root may open the port: hold it so that the emulator cannot
    const bool privileged = holder.listen(QHostAddress::LocalHost, kPrivilegedPort);
    QTcpServer probe;
    ASSERT_FALSE(probe.listen(QHostAddress::LocalHost, kPrivilegedPort));
    spin("tcpPortSpin")->setValue(kPrivilegedPort);
    QString warning;
    const auto warningCloser = answerModals([&](QWidget* box) {
        warning = qobject_cast<QMessageBox*>(box)->text();
        qobject_cast<QMessageBox*>(box)->accept();
    });
    window->on_startBtn_clicked();
    ASSERT_TRUE(waitUntil([&] { return !window->isRunning(); }));
    const QString reason = window->statusBar()->currentMessage();
    EXPECT_TRUE(reason.endsWith("127.0.0.1 port 620: " + withListenAdvice(probe.errorString(), kPrivilegedPort)))
        << reason.toStdString();
    EXPECT_TRUE(warning.startsWith("There are some troubles") && warning.endsWith(reason)) << warning.toStdString();
    EXPECT_EQ(std::pair(listenAdvice(kPrivilegedPort, 1024), listenAdvice(1024, 1024)),
              std::pair(QString("ports below 1024 need root; try port 6200"), QString()));
    EXPECT_EQ(listenAdvice(kPrivilegedPort).isEmpty(), privileged) << "advice only to who lacks the privilege";

    spin("tcpPortSpin")->setValue(tcpPort);
    window->on_startBtn_clicked();
    EXPECT_EQ(window->statusBar()->currentMessage(), "");
}

TEST_F(MainWindowTest, ARecordingFolderReplacesTheViewAndTheStreamUntilStopped) {
    const ProfilePoint drawn = pixelToUnits(100, 100);
    window->scanner().profile().replace(&drawn, 1);
    QTemporaryDir folder;
    ASSERT_TRUE(writeFile(folder.filePath("a.csv"), "0;50\n") && writeFile(folder.filePath("b.csv"), "10;60\n"));
    window->answers << folder.filePath("missing") << folder.path();
    trigger("action_LoadRecordingFolder");
    EXPECT_TRUE(window->scanner().replayedPath().isEmpty() && status().contains("missing")) << status().toStdString();
    trigger("action_LoadRecordingFolder");
    EXPECT_EQ(std::pair(window->asked.back(), window->scanner().replayedPath()),
              std::pair(MainWindow::FileQuestion::OpenCsvFolder, folder.path()));
    ProfileSnapshot sent;
    window->scanner().copyStreamedFrame(sent);
    ASSERT_EQ(sent.count(), 1);
    const ProfilePoint replayed{sent.x[0], sent.z[0]};
    EXPECT_TRUE(shows(replayed) && !shows(drawn));
    serveLocally();
    window->on_startBtn_clicked();
    EXPECT_TRUE(waitUntil([&] { return !shows(replayed); })) << "the view follows the stream to the next file";
    trigger("action_StopReplay");
    window->scanner().copyStreamedFrame(sent);
    EXPECT_TRUE(sent.x == std::vector<int16_t>{drawn.x} && shows(drawn) && !shows(replayed) &&
                window->scanner().replayedPath().isEmpty());
}

TEST_F(MainWindowTest, ASceneBringsItsRangesToThePanelAndPlays) {
    QTemporaryDir dir;
    ASSERT_TRUE(writeFile(dir.filePath("s.json"), R"({"belt": {"z": 9}, "scanner": {"xemr": 90, "zdiap": 120}, "objects": []})"));
    window->answers << dir.filePath("s.json");
    trigger("action_LoadScene");
    EXPECT_TRUE(window->asked.back() == MainWindow::FileQuestion::OpenScene && spin("xemrSpin")->value() == 90 &&
                spin("zdiapSpin")->value() == 120);
    ASSERT_TRUE(window->scanner().scene());
    ProfileSnapshot sent;
    window->scanner().copyStreamedFrame(sent);
    ASSERT_EQ(sent.count(), 640) << "the panel's point count";
    EXPECT_TRUE(shows(ProfilePoint{sent.x[320], sent.z[320]}));
}

TEST_F(MainWindowTest, StartsWithTheBuiltInProfileDrawnAndStreamed) {
    const std::vector<ProfilePoint> builtIn = builtInProfile(combo("bufferSizeCombo")->currentIndex());
    ASSERT_EQ(profile().points(), builtIn);
    EXPECT_TRUE(shows(builtIn[builtIn.size() / 2]));
}

TEST_F(MainWindowTest, TheStatusBarNamesTheSceneAndTheMeasurementShown) {
    ASSERT_TRUE(writeFile(dir.filePath("s.json"), R"({"belt": {"z": 9}, "objects": []})"));
    window->answers << dir.filePath("s.json");
    trigger("action_LoadScene");
    EXPECT_EQ(child<QLabel>(*window, "playingLbl")->toolTip(), "scene s.json: measurement 1");
}

TEST_F(MainWindowTest, TheStatusBarNamesTheReplayAndItsFrameOfAll) {
    QTemporaryDir folder;
    ASSERT_TRUE(writeFile(folder.filePath("a.csv"), "0;50\n") && writeFile(folder.filePath("b.csv"), "10;60\n"));
    window->answers << folder.path();
    trigger("action_LoadRecordingFolder");
    const QString name = QFileInfo(folder.path()).fileName();
    EXPECT_EQ(child<QLabel>(*window, "playingLbl")->toolTip(), "replay " + name + ": frame 1 of 2");
}

// The dialog shows the scanner's faults and a table of the keys, each on one
// line; it stays open on a bad list with the parser's message, nothing cut.
TEST_F(MainWindowTest, TheFaultsMenuRefusesABadListAndSetsAGoodOne) {
    window->scanner().setFaults(parseFaultSpec("loss=5%").spec);
    QStringList seen;
    int tableHeight = 0;
    const auto answer = answerModals([&](QWidget* dialog) {
        auto* edit = child<QLineEdit>(*dialog, "faultsEdit");
        auto* problem = child<QLabel>(*dialog, "faultsProblem");
        auto* keys = child<QTableWidget>(*dialog, "faultsKeys");
        seen << edit->text() + "|" + problem->text();
        for (const QLabel* text : {child<QLabel>(*dialog, "faultsHelp"), problem})
            EXPECT_GE(text->height(), text->heightForWidth(text->width())) << "not cut";
        EXPECT_GE(keys->height(), std::exchange(tableHeight, keys->height())) << "the dialog grows for a message";
        EXPECT_EQ(keys->width(), keys->minimumWidth()) << "the help wraps to the table's width";
        EXPECT_EQ(keys->findItems("reply-delay=D", Qt::MatchExactly).size(), 1);
        EXPECT_EQ(keys->model()->headerData(1, Qt::Horizontal).toString(), "Fault");
        for (int row = 0; row < keys->rowCount(); ++row)
            for (const int column : {0, 1})
                EXPECT_GE(keys->columnWidth(column), keys->fontMetrics().horizontalAdvance(keys->item(row, column)->text()));
        edit->setText(seen.size() == 1 ? "loss=5%,burst=x" : seen.size() == 2 ? " reply-delay=50ms " : "loss=1%");
        const auto button = seen.size() >= 3 ? QDialogButtonBox::Cancel : QDialogButtonBox::Ok;
        dialog->findChild<QDialogButtonBox*>()->button(button)->click();
    });
    trigger("actionNetworkFaults");
    tableHeight = 0;
    trigger("actionNetworkFaults");  // changed, then cancelled
    EXPECT_EQ(seen, QStringList({"loss=5%|", "loss=5%,burst=x|" + parseFaultSpec("loss=5%,burst=x").failure.message,
                                 "reply-delay=50ms|"}));
    EXPECT_EQ(formatFaultSpec(window->scanner().faults()), "reply-delay=50ms");
}

// Counts show beside the state only while faults are set, from when they were set.
TEST_F(MainWindowTest, TheStatusBarCountsInjectedFaultsOnlyWhileSetAndSinceSet) {
    serveLocally();
    QStringList lists = {"dup=100%", "none", "dup=100%", "none"};
    const auto answer = answerModals([&](QWidget* dialog) {
        child<QLineEdit>(*dialog, "faultsEdit")->setText(lists.takeFirst());
        qobject_cast<QDialog*>(dialog)->accept();
    });
    const QLabel* faults = child<QLabel>(*window, "faultsLbl");
    trigger("actionNetworkFaults");
    window->on_startBtn_clicked();
    EXPECT_TRUE(waitUntil([&] { return !faults->isHidden() && faults->text().contains(" duplicated"); }));
    trigger("actionNetworkFaults");
    EXPECT_TRUE(faults->isHidden()) << "faults cleared";
    trigger("actionNetworkFaults");
    ASSERT_TRUE(waitUntil([&] { return !faults->isHidden(); }));
    const uint64_t shown = faults->text().section(' ', 1, 1).toULongLong();  // "faults: N duplicated"
    EXPECT_LT(shown, window->scanner().faultCounters().duplicated) << "counted from when set again";
    window->on_stopBtn_clicked();
    EXPECT_TRUE(faults->isHidden()) << "stopped";
    trigger("actionNetworkFaults");
    window->on_startBtn_clicked();
    EXPECT_TRUE(faults->isHidden()) << "a later start without faults";
}

TEST_F(MainWindowTest, StartsFromTheParameterFileAndTheButtonOrAClientFlushesItBack) {
    ASSERT_TRUE(writeFile(dir.filePath("user_params.ini"),
                          "[UserParams]\nudp_port_u16=7007\nserial=4242\nxsmr=17\nzbase=5\n"));
    open();
    EXPECT_EQ(std::make_tuple(spin("udpPortSpin")->value(), spin("serialNumSpin")->value(), spin("xsmrSpin")->value(),
                              spin("zbaseSpin")->value()),
              std::make_tuple(7007, 4242, 17, 5));
    spin("serialNumSpin")->setValue(777);
    button("flushBtn")->click();
    EXPECT_TRUE(savedSerial() == "777" && status().contains("saved")) << status().toStdString();

    serveLocally();
    spin("serialNumSpin")->setValue(31337);
    window->on_startBtn_clicked();
    constexpr uint32_t kFlushParams = 6;
    auto client = connectClient();
    client->write(encodeRequest(kFlushParams));
    EXPECT_TRUE(waitUntil([&] { return savedSerial() == "31337"; }));
}

TEST_F(MainWindowTest, CsvImportReplacesTheProfileAndShowsIt) {
    ASSERT_TRUE(writeFile(dir.filePath("profile.csv"), "-17.5;85\n17.5;0\n"));
    window->answers << dir.filePath("profile.csv");
    spin("xemrSpin")->setValue(70);
    EXPECT_TRUE(repaints(child<PaintWidget>(*window, "paint"), [&] { button("loadDotsBtn")->click(); }));
    EXPECT_EQ(window->asked.back(), MainWindow::FileQuestion::OpenCsv);
    EXPECT_EQ(profile().points(), (std::vector<ProfilePoint>{{-4096, 8192}, {4096, 0}}));
    EXPECT_TRUE(status().contains("loaded 2 points")) << status().toStdString();
}

TEST_F(MainWindowTest, CsvExportWritesTheProfileMirroredOrSaysWhyNot) {
    profile().replace(std::vector<ProfilePoint>{{4096, 8192}});
    const QString csv = dir.filePath("out.csv");
    window->answers = QStringList{"", csv, dir.filePath("no/such/dir/out.csv")};
    button("saveDotsBtn")->click();  // cancelled
    EXPECT_FALSE(QFile::exists(csv));
    button("saveDotsBtn")->click();
    EXPECT_EQ(std::pair(readFile(csv), window->asked.back()), std::pair(QByteArray("-17.5;85\n"), MainWindow::FileQuestion::SaveCsv));
    button("saveDotsBtn")->click();
    EXPECT_TRUE(status().startsWith("cannot write")) << status().toStdString();
    EXPECT_TRUE(waitUntil([&] { return status().isEmpty(); }, 10000));  // file messages time out
}

TEST(MainWindowStart, AMissingPictureIsAStartupErrorThatNamesTheFile) {
    QTemporaryDir empty;
    const auto closer = answerModals([](QWidget* box) { qobject_cast<QDialog*>(box)->accept(); });
    const MainWindow window(nullptr, empty.path());
    EXPECT_TRUE(window.startupError().contains(empty.filePath("kelvora.jpg"))) << window.startupError().toStdString();
}

#include "HeadlessEmulator.h"

#include "WindowTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstring>
#include <tuple>

namespace {

auto comparable(const ScannerSettings& s) {
    return std::make_tuple(s.localAddress, s.helloPort, s.macOffset, s.xemr, s.zdiap, s.serial, s.xsmr, s.zbase,
                           s.noise, s.pointCountIndex, s.stepdirForward);
}

}  // namespace

// The window with the shipped parameter file and px310-headless without one
// run their scanner with the same record and settings (the command ports
// aside, which must differ for both to listen at once).
TEST(FrontEnds, WindowAndHeadlessPrimeTheirScannerIdentically) {
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::copy(PX310_ASSETS_DIR "/kelvora.jpg", dir.filePath("kelvora.jpg")));
    ASSERT_TRUE(QFile::copy(PX310_ASSETS_DIR "/user_params.ini", dir.filePath("user_params.ini")));
    MainWindow window(nullptr, dir.path());
    serveOnLoopback(window);
    window.on_startBtn_clicked();

    HeadlessOptions options;
    options.paramsPath = dir.filePath("absent.ini");
    options.picturePath = dir.filePath("kelvora.jpg");
    options.tcpPort = freeTcpPort();
    HeadlessEmulator headless(options);
    QString error;
    ASSERT_TRUE(headless.start(&error)) << error.toStdString();

    Scanner& fromWindow = window.scanner();
    Scanner& fromHeadless = headless.scanner(0);
    EXPECT_EQ(comparable(fromWindow.settings()), comparable(fromHeadless.settings()));
    USER_PARAMS windowRecord = fromWindow.params().snapshot();
    const USER_PARAMS headlessRecord = fromHeadless.params().snapshot();
    windowRecord.tcp_port_u16 = headlessRecord.tcp_port_u16;
    EXPECT_EQ(std::memcmp(&windowRecord, &headlessRecord, sizeof windowRecord), 0);
    window.on_stopBtn_clicked();
}

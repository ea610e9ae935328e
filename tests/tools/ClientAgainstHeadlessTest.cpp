#include "HeadlessEmulator.h"
#include "ProfilePlot.h"
#include "ToolProcess.h"

#include "profile/CameraPicture.h"
#include "profile/CsvProfile.h"
#include "udp/ProfilePacketDecoder.h"

#include <QImage>
#include <QRegularExpression>
#include <QSettings>
#include <cmath>

#include <gtest/gtest.h>

// The client's commands against a running px310-headless, as a script in CI
// would use them.

namespace {

class ClientAgainstHeadless : public ::testing::Test {
protected:
    void startEmulator(const QStringList& arguments = {}) {
        ASSERT_TRUE(emulator.start(arguments)) << emulator.errors().toStdString();
    }

    // The client's command with the emulator's port; must succeed.
    QString ok(QStringList arguments) {
        arguments << emulator.serverArguments();
        const ToolRun run = runClient(arguments);
        EXPECT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0) << arguments.join(' ').toStdString() << "\n" << run.err.toStdString();
        return run.out;
    }

    void TearDown() override {
        if (emulator.running()) {
            EXPECT_EQ(emulator.stop(), 0) << "SIGTERM stops the emulator cleanly";
        }
    }

    HeadlessProcess emulator;
};

QStringList lines(const QString& text) { return text.split('\n', Qt::SkipEmptyParts); }

}  // namespace

TEST_F(ClientAgainstHeadless, ARigsScannersAreDiscoveredOnceEachWithTheirOptionsAndServeTheirOwnRecords) {
    constexpr int kScanners = 4;
    startEmulator({"--scanners", QString::number(kScanners), "--serial", "4242", "--xemr", "80", "--zdiap", "160"});
    const ToolRun run = runClient({"discover", "--port", QString::number(emulator.helloPort), "--seconds", "3"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    QStringList devices = lines(run.out);
    devices.sort();
    ASSERT_EQ(devices.size(), kScanners) << run.out.toStdString();
    for (int k = 0; k < kScanners; ++k) {
        const QString address = QStringLiteral("127.0.0.%1").arg(k + 1);
        const QRegularExpression line(QStringLiteral("^PX310 at %1 .* serial %2  XEMR 80  ZDIAP 160 .* TCP port %3  UDP port %4$")
                                          .arg(QRegularExpression::escape(address)).arg(4242 + k).arg(emulator.tcpPort)
                                          .arg(emulator.udpPort));
        EXPECT_TRUE(line.match(devices[k]).hasMatch()) << devices[k].toStdString();
        ok({"params", "set", QStringLiteral("laser_level_u8=%1").arg(k + 1), "--host", address});
    }
    for (int k = 0; k < kScanners; ++k)
        EXPECT_TRUE(ok({"params", "get", "laser_level_u8", "--host", QStringLiteral("127.0.0.%1").arg(k + 1)})
                        .contains(QStringLiteral("= %1").arg(k + 1)))
            << "each scanner serves its own record";
}

TEST_F(ClientAgainstHeadless, ParamsGetPrintsEveryFieldSetWritesTheRecordAndFlushOutlivesAStop) {
    startEmulator();
    const QStringList before = lines(ok({"params", "get"}));
    EXPECT_EQ(before.size(), 41);
    EXPECT_TRUE(before.contains(QStringLiteral("udp_port_u16               = %1").arg(emulator.udpPort)));

    const QString changed = ok({"params", "set", "laser_level_u8=200", "udp_ip_address_u8=10.0.0.5", "SDMode=0x10"});
    EXPECT_TRUE(changed.contains("laser_level_u8: 0 -> 200")) << changed.toStdString();
    EXPECT_TRUE(changed.contains("udp_ip_address_u8: 255.255.255.255 -> 10.0.0.5"));
    // The connection options may come before the command, too.
    const ToolRun read = runClient(emulator.serverArguments() +
                                   QStringList{"params", "get", "laser_level_u8", "udp_ip_address_u8", "SDMode"});
    EXPECT_EQ(lines(read.out), (QStringList{"laser_level_u8             = 200", "udp_ip_address_u8          = 10.0.0.5",
                                            "SDMode                     = 16"}));

    // An answered flush is written even when a stop follows at once, and the next start loads it.
    EXPECT_TRUE(ok({"params", "flush"}).contains("flushed"));
    EXPECT_EQ(emulator.stop(), 0);
    EXPECT_EQ(QSettings(emulator.paramsPath(), QSettings::IniFormat).value("UserParams/laser_level_u8").toInt(), 200);
    startEmulator();
    EXPECT_TRUE(ok({"params", "get", "laser_level_u8"}).contains("= 200"));
}

TEST_F(ClientAgainstHeadless, ResultsArePacedCheckedSavedAndPlotted) {
    startEmulator({"--frequency", "100"});
    const QString csv = emulator.path("result.csv");
    const QString plot = emulator.path("result.png");
    const QString out = ok({"result", "-n", "3", "--csv", csv, "--plot", plot});
    const QStringList summaries = lines(out).filter(QRegularExpression("^result \\d"));
    ASSERT_EQ(summaries.size(), 3) << out.toStdString();
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(summaries[i].startsWith(QStringLiteral("result %1: ").arg(i)) &&
                    summaries[i].contains(QStringLiteral("packet %1, 640 points").arg(i)) &&
                    summaries[i].contains("checksum ok"))
            << "counters restart per connection: " << summaries[i].toStdString();
    EXPECT_TRUE(out.contains("     0     -35.0000")) << "the first point lies at the left edge, XEMR 70";

    // The saved points are those sent, up to six significant digits.
    const CsvImport saved = readCsvProfile(csv, CsvScale{70, 170});
    ASSERT_TRUE(saved.ok());
    const std::vector<ProfilePoint> sent = builtInProfile();
    ASSERT_EQ(saved.points.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_NEAR(saved.points[i].x, sent[i].x, 1) << i;
        ASSERT_NEAR(saved.points[i].z, sent[i].z, 1) << i;
    }

    // The plot shows every point where the scale puts it, and nothing else in its colour.
    const QImage image(plot);
    ASSERT_EQ(image.size(), QSize(ProfilePlot::kWidth, ProfilePlot::kHeight));
    const ProfilePlot scale(70, 170);
    const auto colourAt = [&](QPointF mm) {
        const QPointF at = scale.toPixel(mm);  // the pixel holding the dot's centre
        return image.pixel(int(std::floor(at.x())), int(std::floor(at.y()))) & 0xffffff;
    };
    for (const ProfilePoint& p : sent)
        ASSERT_EQ(colourAt({unitsToMillimetres(p.x, 70), unitsToMillimetres(p.z, 170)}),
                  ProfilePlot::kProfileColour & 0xffffff);
    EXPECT_NE(colourAt({0, 150}), ProfilePlot::kProfileColour & 0xffffff) << "above the raised block";
    const QRectF range(scale.toPixel({-35, 170}), scale.toPixel({35, 0}));
    EXPECT_TRUE(range.isValid()) << "X grows rightwards, Z upwards";
    EXPECT_TRUE(QRectF(image.rect()).contains(range)) << "the measuring range fits the image";
    EXPECT_GT(range.width() * range.height(), 0.5 * image.width() * image.height()) << "and fills most of it";
}

TEST_F(ClientAgainstHeadless, StreamReportsTheRateWithoutLossesAndProgressOnlyOnATerminal) {
    startEmulator({"--frequency", "200"});
    const QStringList stream{"stream", "--port", QString::number(emulator.udpPort), "--seconds", "1"};
    const ToolRun run = runClient(stream);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QRegularExpressionMatch received = QRegularExpression("received (\\d+) packets").match(run.out);
    ASSERT_TRUE(received.hasMatch()) << run.out.toStdString();
    EXPECT_GT(received.captured(1).toInt(), 20) << "a busy machine still delivers most of 200";
    for (const char* part : {"640 points per packet", "checksum failures 0, malformed 0", "reordered 0"})
        EXPECT_TRUE(run.out.contains(part)) << part;
    EXPECT_TRUE(run.err.isEmpty()) << "no progress in a script: " << run.err.toStdString();

    const ToolRun watched = runClientOnTerminal(stream);
    EXPECT_TRUE(watched.out.contains(QRegularExpression(R"(\r\x1b\[K\d+ packets, [\d.]+ packets/s, \d+ bytes)")))
        << "live progress on a terminal: " << watched.out.toStdString();
}

TEST_F(ClientAgainstHeadless, ImageSavesTheEmulatorsCameraPicture) {
    const QString picture = QStringLiteral(PX310_ASSETS_DIR "/kelvora.jpg");
    startEmulator({"--picture", picture});
    const QString png = emulator.path("picture.png");
    ok({"image", png, "--chunk", "1000"});
    const QImage saved(png);
    ASSERT_EQ(saved.size(), QSize(kPictureWidth, kPictureHeight));
    ASSERT_EQ(saved.format(), QImage::Format_Grayscale8);
    CameraPicture expected{};
    ASSERT_TRUE(loadCameraPicture(picture, expected));
    int wrong = 0;
    for (int y = 0; y < kPictureHeight; ++y)
        for (int x = 0; x < kPictureWidth; ++x)
            wrong += saved.constScanLine(y)[x] != 255 - expected[x * kPictureHeight + y];
    EXPECT_EQ(wrong, 0) << "308 chunks, their counters wrapping past 255, make the whole picture, dark as black";

    const ToolRun watched = runClientOnTerminal(QStringList{"image", png} + emulator.serverArguments());
    EXPECT_TRUE(watched.out.contains("\r\x1b[K0 of 307200 bytes")) << watched.out.toStdString();
}

TEST_F(ClientAgainstHeadless, ExtentsFactoryAndRawCommandsAnswer) {
    startEmulator({"--serial", "999999", "--zbase", "7"});
    const QStringList extents = lines(ok({"extents"}));
    ASSERT_EQ(extents.size(), 15);
    EXPECT_EQ(extents[2], "extent[2] = 13500");

    const QString factory = ok({"factory", "get"});
    EXPECT_TRUE(factory.contains("serial 999999\n") && factory.contains("ZBASE 7\n")) << factory.toStdString();

    const QString raw = ok({"raw", "0x20", "--expect", "30"});
    EXPECT_TRUE(raw.contains("sent get extends (32)"));
    EXPECT_TRUE(raw.contains("0000  00 00 80 0c bc 34 b0 04 c4 09 c0 5d bc 34 e2 04"));
    const QString silent = ok({"raw", "20", "--payload", "01 02 03", "--wait", "300"});
    EXPECT_TRUE(silent.contains("sent reboot (20) with 3 payload bytes") && silent.contains("reply: 0 bytes"));
}

#include "HeadlessEmulator.h"
#include "HeadlessOptions.h"
#include "ToolProcess.h"

#include "profile/CsvProfile.h"
#include "profile/ProfileModel.h"
#include "support/TestUtil.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

HeadlessCommandLine parsed(const QStringList& arguments) {
    return parseHeadlessCommandLine(arguments, DataPlaces::inOneFolder("/opt/px"));
}

}  // namespace

TEST(HeadlessOptions, FilesDefaultToThoseBesideTheProgram) {
    const HeadlessCommandLine line = parsed({});
    ASSERT_EQ(line.outcome, HeadlessCommandLine::Run) << line.text.toStdString();
    const HeadlessOptions& o = line.options;
    EXPECT_EQ(QStringList({o.paramsPath, o.picturePath, o.profilePath, o.listenAddress}),
              QStringList({"/opt/px/user_params.ini", "/opt/px/kelvora.jpg", "", "127.0.0.1"}));
    EXPECT_FALSE(o.pictureGiven);
    EXPECT_EQ(o.helloPort, 6001);
    EXPECT_FALSE(o.tcpPort.has_value()) << "the parameter file decides";
}

TEST(HeadlessOptions, TakesEveryValueWithinThePanelsRanges) {
    const HeadlessCommandLine line =
        parsed({"--tcp-port", "7000", "--udp-port", "7001", "--frequency", "491", "--hello-port", "7002", "--xemr",
                "80", "--zdiap", "1000", "--noise", "20", "--serial", "999999", "--listen", "0.0.0.0", "--backward",
                "--picture", "p.jpg", "--profile", "p.csv"});
    ASSERT_EQ(line.outcome, HeadlessCommandLine::Run) << line.text.toStdString();
    const HeadlessOptions& o = line.options;
    EXPECT_EQ(std::vector<int>({o.tcpPort.value_or(-1), o.udpPort.value_or(-1), o.frequency.value_or(-1), o.helloPort,
                                o.xemr, o.zdiap, o.noise, o.serial.value_or(-1)}),
              std::vector<int>({7000, 7001, 491, 7002, 80, 1000, 20, 999999}));
    EXPECT_EQ(QStringList({o.listenAddress, o.profilePath}), QStringList({"0.0.0.0", "p.csv"}));
    EXPECT_FALSE(o.stepdirForward);
    EXPECT_TRUE(o.pictureGiven);
}

TEST(HeadlessOptions, RefusesValuesTheEmulatorCannotUse) {
    const QList<QStringList> bad = {
        {"--tcp-port", "0"},       {"--tcp-port", "65536"}, {"--frequency", "0"},   {"--frequency", "492"},
        {"--xemr", "0"},           {"--noise", "21"},       {"--serial", "1000000"}, {"--udp-port", "x"},
        {"--listen", "localhost"}, {"--listen", "::1"},     {"--no-such-option"},   {"stray"},
        {"--scanners", "0"},       {"--scanners", "2", "--listen", "127.0.0.1"}, {"--scanners", "2", "--rig", "r.ini"},
    };
    for (const QStringList& arguments : bad) {
        const HeadlessCommandLine line = parsed(arguments);
        EXPECT_EQ(line.outcome, HeadlessCommandLine::Error) << arguments.join(' ').toStdString();
        EXPECT_FALSE(line.text.isEmpty());
    }
    EXPECT_EQ(parsed({"--help"}).outcome, HeadlessCommandLine::Help);
}

TEST(HeadlessBuiltInProfile, IsARaisedBlockOnAFloorAcrossTheWholeWidth) {
    const std::vector<ProfilePoint> points = builtInProfile();
    ASSERT_EQ(points.size(), 640u);
    const ProfilePoint floor = pixelToUnits(0, 400);
    const ProfilePoint top = pixelToUnits(300, 250);
    EXPECT_EQ(points.front(), floor);
    EXPECT_EQ(points.back().z, floor.z);
    EXPECT_EQ(points[300].z, top.z);
    for (size_t i = 1; i < points.size(); ++i)
        ASSERT_GT(points[i].x, points[i - 1].x) << "one point per column, left to right";
}

namespace {

struct BadRig {
    const char* content;
    const char* error;  // what the message must name
};

class BadRigFile : public ::testing::TestWithParam<BadRig> {};

}  // namespace

TEST_P(BadRigFile, StopsTheStartNamingTheScannerAndTheKey) {
    QTemporaryDir dir;
    QFile file(dir.filePath("rig.ini"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    // Every port is one nobody listens on now.
    file.write(QString::fromLatin1(GetParam().content).replace("PORT", QString::number(freeTcpPort())).toLatin1());
    file.close();
    HeadlessOptions options;
    options.rigPath = file.fileName();
    options.paramsPath = dir.filePath("p.ini");
    HeadlessEmulator rig(options);
    QString error;
    EXPECT_FALSE(rig.start(&error));
    EXPECT_TRUE(error.contains(GetParam().error)) << error.toStdString();
    EXPECT_EQ(rig.scannerCount(), 0) << "nothing starts half-way";
}

INSTANTIATE_TEST_SUITE_P(
    Headless, BadRigFile,
    ::testing::Values(BadRig{"", "names no scanner"},
                      BadRig{"[a]\naddress=127.0.0.2\ntcp_port=PORT\n[b]\naddress=127.0.0.300\n", "[b] key address"},
                      BadRig{"[a]\naddress=127.0.0.2\ntcp_port=0\n", "[a] key tcp_port"},
                      BadRig{"[a]\naddress=127.0.0.2\ntcp_port=PORT\nfrequency=492\n", "[a] key frequency"},
                      BadRig{"[a]\naddress=127.0.0.2\ntcp_port=PORT\n[b]\naddress=127.0.0.2\ntcp_port=PORT\n",
                             "scanner [b] (tcp_port)"},
                      BadRig{"[a]\naddress=192.0.2.1\ntcp_port=PORT\n", "scanner [a] (address)"}));

TEST(HeadlessEmulatorTest, ServesTheProfileFileItIsGiven) {
    QTemporaryDir dir;
    QFile csv(dir.filePath("p.csv"));
    ASSERT_TRUE(csv.open(QIODevice::WriteOnly));
    csv.write("-1.5;20\n2.5;30\n");
    csv.close();
    HeadlessOptions options;
    options.paramsPath = dir.filePath("p.ini");
    options.profilePath = csv.fileName();
    options.tcpPort = freeTcpPort();
    options.udpPort = freeUdpPort();
    options.helloPort = freeUdpPort();
    HeadlessEmulator emulator(options);
    QString error;
    ASSERT_TRUE(emulator.start(&error)) << error.toStdString();
    const CsvImport expected = readCsvProfile(csv.fileName(), CsvScale{70, 170});
    ASSERT_EQ(expected.points.size(), 2u);
    EXPECT_EQ(emulator.scanner(0).profile().points(), expected.points);
    emulator.stop();
}

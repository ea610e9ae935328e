#include "ClientMain.h"
#include "HeadlessEmulator.h"
#include "HeadlessOptions.h"
#include "PacketCounterTracker.h"
#include "RigPlan.h"
#include "ToolProcess.h"

#include "capture/PcapRecorder.h"
#include "udp/ProfilePacket.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <gtest/gtest.h>

TEST(ClientFailures, WhatCannotWorkIsRefusedWithItsCodeBeforeAnythingIsSent) {
    QTemporaryDir dir;
    QLocalServer silent;  // accepts and never answers
    ASSERT_TRUE(silent.listen(dir.filePath("silent")) && QFile::link(dir.filePath("silent"), dir.filePath("link")));
    const QString nobody = QString::number(freeUdpPort());
    const QString closed = QString::number(freeTcpPort());  // a change that connected would fail with 2
    const struct { QStringList arguments; int exitCode; const char* message; } refusals[] = {
        {{}, 1, "Usage: px310-client [--host ADDR]"}, {{"--version"}, 0, "px310-client " PX310_VERSION "\n"},
        {{"help", "stream"}, 0, "Usage: px310-client stream ["},
        {{"--port", "6200", "--frobnicate", "result"}, 1, "px310-client: unknown option --frobnicate\n"},
        {{"result", "--frobnicate"}, 1, "px310-client result: unknown option --frobnicate"},
        {{"--port", "6200", "stream"}, 1, "its own options follow its name"},
        {{"result", "-n", "0"}, 1, "-n takes a number from 1"},
        {{"result", "-n"}, 1, "result: missing value after '-n' (usage: "},
        {{"--port", "65536", "result"}, 1, "--port takes a number from 1 to 65535"},
        {{"raw", "5", "--payload", "0g"}, 1, "pairs of hex digits"},
        {{"raw", "5", "--payload", "012"}, 1, "pairs of hex digits"},
        {{"image"}, 1, "expected 1 argument"}, {{"scan"}, 1, "unknown command \"scan\""},
        {{"params", "set", "laser_level_u8=5", "udp_port_u16=70000", "--port", closed}, 1, "udp_port_u16 takes a whole"},
        {{"params", "set", "tcp_ip_address_u8=1.2.3.256", "--port", closed}, 1, "takes an IPv4 address"},
        {{"params", "get", "laser_level_u8", "no_such_field", "--port", closed}, 1, "no parameter named"},
        {{"params", "set", "laser_level_u8", "--port", closed}, 1, "is not FIELD=VALUE"},
        {{"params", "set", "--port", closed}, 1, "at least one"},
        {{"factory", "get", "--port", closed}, 2, "no emulator at 127.0.0.1:"},
        {{"discover", "--seconds", "1", "--port", nobody}, 2, "no hello packet"},
        {{"stream", "--seconds", "1", "--port", nobody}, 2, "no profile packet"},
        {{"stream", "--record", dir.filePath("link"), "--port", nobody}, 4, "link: it exists and is not a regular file"},
        {{"control", dir.filePath("control"), "faults", "loss=5"}, 1, "\"loss=5\""},
        {{"control", "--timeout", "0", dir.filePath("silent"), "stats"}, 1, "--timeout takes milliseconds from 1 to"},
        {{"control", dir.filePath("none"), "stats"}, 2, "none (no such file)"},
        {{"control", dir.path(), "stats"}, 2, "(not a socket)"},
        {{"control", "--timeout", "300", dir.filePath("silent"), "profile", "p q.csv"}, 3, "no answer within 300 ms"},
    };
    for (const auto& refusal : refusals) {
        QString printed;
        QTextStream out(&printed);
        EXPECT_EQ(runClient(refusal.arguments, out, out), refusal.exitCode) << refusal.message;
        out.flush();
        EXPECT_TRUE(printed.contains(QLatin1String(refusal.message))) << printed.toStdString();
        // The usage where it is the answer, else "program: what: why", not the usage or a report of nothing received.
        const bool usage = QLatin1String(refusal.message).startsWith(QLatin1String("Usage: "));
        EXPECT_TRUE(usage ? printed.startsWith(QLatin1String(refusal.message))
                          : printed.startsWith("px310-client") && printed.count('\n') == 1)
            << printed.toStdString();
    }
    // The emulator has a working folder of its own: the client names files by absolute paths.
    QLocalSocket* sent = silent.waitForNewConnection(1000) ? silent.nextPendingConnection() : nullptr;
    ASSERT_TRUE(sent && (sent->canReadLine() || sent->waitForReadyRead(1000)));
    EXPECT_EQ(sent->readLine(), "profile " + QDir::current().absoluteFilePath("p q.csv").toUtf8() + '\n');
}

TEST(PacketCounterTracker, CountsGapsLatePacketsCopiesAndRestartsAcrossTheWrap) {
    // The counters that arrive, and the lost, reordered, duplicate and restart counts they make.
    const std::pair<std::vector<int>, std::vector<long long>> cases[] = {
        {{0, 1, 2, 3}, {0, 0, 0, 0}}, {{0, 1, 4, 5}, {2, 0, 0, 0}},
        {{0, 1, 3, 2, 4}, {0, 1, 0, 0}},           // 2 arrives late: no longer lost
        {{0, 1, 1, 4, 4, 2, 2, 3}, {0, 2, 3, 0}},  // a copy is neither late nor a loss made good
        {{65534, 65535, 0, 1}, {0, 0, 0, 0}}, {{65535, 2}, {2, 0, 0, 0}},
        {{5000, 5001, 0, 1, 2}, {0, 0, 0, 1}},  // a new schedule starts again at 0
        {{0, 258, 3, 3}, {256, 1, 1, 0}}, {{0, 32769}, {0, 0, 0, 1}},  // the edges of the window and of "ahead"
    };
    for (const auto& [counters, expected] : cases) {
        PacketCounterTracker t;
        for (int counter : counters)
            t.note(uint16_t(counter));
        EXPECT_EQ(std::vector<long long>({t.lost(), t.reordered(), t.duplicates(), t.restarts()}), expected)
            << ::testing::PrintToString(counters);
    }
}

namespace {

HeadlessCommandLine parsed(const QStringList& arguments) {
    return parseHeadlessCommandLine(arguments, DataPlaces::inOneFolder("/opt/px"));
}

}  // namespace

TEST(HeadlessOptions, TakeValuesWithinThePanelsRanges) {
    const HeadlessCommandLine line = parsed({"--noise", "20", "--backward", "--hello-port", "7002", "--udp-port", "7001"});
    const HeadlessOptions& o = line.options;
    EXPECT_EQ(std::vector<int>({line.outcome, o.noise, o.stepdirForward, o.helloPort, o.udpPort.value_or(-1)}),
              std::vector<int>({HeadlessCommandLine::Run, 20, false, 7002, 7001}));
    const QList<QStringList> bad = {
        {"--tcp-port", "-1"}, {"--tcp-port", "65536"}, {"--hello-port", "65536"}, {"--frequency", "0"},
        {"--frequency", "492"}, {"--xemr", "0"}, {"--xemr", "1001"}, {"--noise", "21"}, {"--serial", "1000000"},
        {"--udp-port", "x"}, {"--listen", "localhost"}, {"--listen", "::1"}, {"--no-such-option"}, {"stray"},
        {"--scanners", "0"}, {"--scanners", "2", "--listen", "127.0.0.1"}, {"--scanners", "2", "--rig", "r.ini"},
        {"--control", ""}, {"--replay", "r", "--scene", "s.json"}, {"--stream-to", "nowhere"},
        {"--stream-to", "198.51.100.2:0"}, {"--stream-to", "0.0.0.0"}, {"--hello-to", "everyone"}, {"--hello-to", "198.51.100"},
        {"--stream-allow", "198.51.100.0/33"}, {"--stream-allow", "198.51.100.0/24,x"},
    };
    for (const QStringList& arguments : bad)
        EXPECT_EQ(parsed(arguments).outcome, HeadlessCommandLine::Error) << arguments.join(' ').toStdString();
    EXPECT_EQ(parsed({"--no-such-option"}).text, "unknown option --no-such-option");
    EXPECT_EQ(parsed({"--version"}).text, "px310-headless " PX310_VERSION "\n");
}

TEST(HeadlessRigFile, AnUnusableValueStopsTheStartNamingTheScannerAndTheKey) {
    const QString port = QString::number(freeTcpPort());
    const QStringList rigs[] = {
        {"", "names no scanner"},
        {"[a]\naddress=127.0.0.2\ntcp_port=PORT\n[b]\naddress=127.0.0.300\n", "[b] key address"},
        {"[a]\naddress=127.0.0.2\ntcp_port=PORT\nfrequency=492\n", "[a] key frequency"},
        {"[a]\naddress=127.0.0.2\ntcp_port=PORT\n[b]\naddress=127.0.0.2\ntcp_port=PORT\n", "scanner [b] (tcp_port)"},
        {"[a]\naddress=192.0.2.1\ntcp_port=PORT\n", "scanner [a] (address)"},
        {"[a]\naddress=127.0.0.2\n[b]\n[a]\naddress=127.0.0.3\n", "names scanner [a] twice"},
        {"[a/b\x01]\naddress=127.0.0.300\n", "scanner [a/b\\u0001] key address"},
        {"[a]\naddress=127.0.0.2\ntcp_port=PORT\nreplay=r\nscene=s.json\n", "[a] key scene"},
        {"[a]\naddress=127.0.0.2\ntcp_port=PORT\nscene=s.json\n", "scanner [a]: no scene file"},
        {"[a]\naddress=127.0.0.2\ntcp_port=PORT\nstream_to=nowhere\n", "[a] key stream_to: --stream-to takes"},
        {"[a]\naddress=127.0.0.2\ntcp_port=PORT\nstreamto=record\n", "[a] key streamto: is not a known key"},
        {"[a]\naddress=127.0.0.2\ntcp_port=PORT\nhello_to=broadcast\n", "scanner [a] (hello_to): broadcast, but no"},
    };
    QTemporaryDir dir;
    HeadlessOptions options;
    options.rigPath = dir.filePath("rig.ini");
    options.paramsPath = dir.filePath("p.ini");
    for (const QStringList& rig : rigs) {
        ASSERT_TRUE(writeFile(options.rigPath, QString(rig[0]).replace("PORT", port).toLatin1()));
        HeadlessEmulator emulator(options);
        const QString error = messageOf(emulator.start());
        EXPECT_TRUE(error.contains(rig[1])) << error.toStdString();
        EXPECT_EQ(emulator.scannerCount(), 0) << "nothing starts half-way";
    }
    ASSERT_TRUE(writeFile(options.rigPath, "[a]\naddress=127.000.000.001\n"));
    EXPECT_EQ(planRig(options)->at(0).settings.localAddress, "127.0.0.1") << "as --scanner names it";
}

class RigDefaults : public ::testing::Test {
protected:
    std::vector<ScannerPlan> plan(const QByteArray& rig) {
        options.rigPath = dir.filePath("rig.ini");
        options.paramsPath = options.paramsSavePath = dir.filePath("p.ini");
        EXPECT_TRUE(writeFile(options.rigPath, rig));
        return planRig(options).value();
    }
    QTemporaryDir dir;
    HeadlessOptions options;
};

TEST_F(RigDefaults, AGroupWithoutPortsTakesTheCommandLinesAndOneWithItsOwnKeepsThem) {
    options.tcpPort = 0;
    options.udpPort = 7001;
    const std::vector<ScannerPlan> plans = plan("[a]\naddress=127.0.0.2\n[b]\naddress=127.0.0.3\ntcp_port=6300\nudp_port=7300\n");
    EXPECT_EQ((std::vector<int>{*plans.at(0).tcpPort, *plans.at(0).udpPort, *plans.at(1).tcpPort, *plans.at(1).udpPort}),
              (std::vector<int>{0, 7001, 6300, 7300}));
}

TEST_F(RigDefaults, TheFirstScannerReadsAndFlushesTheFirstParameterFileAsWithScanners) {
    const std::vector<ScannerPlan> plans = plan("[a]\naddress=127.0.0.2\n[b]\naddress=127.0.0.3\n");
    EXPECT_EQ((QStringList{plans.at(0).paramsPath, plans.at(0).paramsSavePath, plans.at(1).paramsSavePath}),
              (QStringList{options.paramsPath, options.paramsPath, dir.filePath("p-2.ini")}));
}

// Each scanner of a rig plays the capture, whose frames they share.
TEST(HeadlessRig, EveryScannerReplaysTheOneCapture) {
    QTemporaryDir dir;
    HeadlessOptions options;
    options.replayPath = dir.filePath("two.pcap");
    options.paramsPath = options.paramsSavePath = dir.filePath("p.ini");
    options.scanners = 3;
    options.tcpPort = freeTcpPort();
    PcapRecorder recorder;
    ASSERT_FALSE(recorder.open(options.replayPath));
    QByteArray packet;
    for (uint32_t k = 0; k < 2; ++k) {
        encodeProfilePacket(ProfileSnapshot{{int16_t(k), 7}, {3, 4}}, PacketFields{0, k}, packet);
        ASSERT_TRUE(recorder.write(packet, DatagramAddresses{0x7f000001, 13000, 0x7f000001, 6003}, 1000000500000));
    }
    EXPECT_FALSE(recorder.write(QByteArray(65508, 'p'), {}, 0)) << "more than an IPv4 datagram holds";
    ASSERT_TRUE(recorder.write(QByteArray(65507, 'p'), {}, 0)) << "the largest, and no profile: not replayed";
    ASSERT_TRUE(recorder.close());  // the file's header, then the first record's time: 1 000 000.5 s
    EXPECT_EQ(readFile(options.replayPath).left(32),
              hexBytes("D4C3B2A1 0200 0400 00000000 00000000 FFFF0000 65000000 40420F00 20A10700"));
    HeadlessEmulator emulator(options);
    const MaybeFailure failure = emulator.start();
    ASSERT_FALSE(failure) << messageOf(failure).toStdString();
    for (int k = 0; k < 3; ++k) {
        ProfileSnapshot frame;
        emulator.scanner(k).copyStreamedFrame(frame);
        EXPECT_TRUE(frame.x.size() == 2 && frame.x[1] == 7 && emulator.scanner(k).replayedPath() == options.replayPath)
            << "scanner " << k;
    }
}

#include "ProfilePlot.h"
#include "ToolProcess.h"

#include "profile/CameraPicture.h"
#include "profile/CsvProfile.h"
#include "tcp/RequestHeader.h"
#include "udp/ProfilePacket.h"

#include <QDir>
#include <QImage>
#include <QMap>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QFile>
#include <QUdpSocket>
#include <csignal>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

// The programs as a script in CI runs them.

namespace {

// The client's command with the emulator's port; must succeed.
QString ok(const HeadlessProcess& emulator, const QStringList& arguments) {
    const ToolRun run = runClient(arguments + emulator.serverArguments());
    EXPECT_EQ(run.exitCode, 0) << arguments.join(' ').toStdString() << "\n" << run.err.toStdString();
    return run.out;
}

// Bytes queued for the reader of the UDP socket bound to `port`, -1 when none is.
int receiveQueueBytes(quint16 port) {
    QFile table(QStringLiteral("/proc/net/udp"));
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : (table.open(QIODevice::ReadOnly) ? table.readAll() : QByteArray()).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');  // sl local remote st tx:rx ...
        if (fields.size() > 4 && fields[1].endsWith(local))
            return fields[4].split(':').value(1).toInt(nullptr, 16);
    }
    return -1;
}

// A result of three points, spoilt by `change`.
QByteArray resultPacket(const std::function<void(QByteArray&)>& change) {
    QByteArray bytes;
    encodeProfilePacket(ProfileSnapshot{{1, 2, 3}, {4, 5, 6}}, PacketFields{}, bytes);
    change(bytes);
    return bytes;
}

}  // namespace

// A rig adds scanners, not threads; its descriptors fit a soft limit that
// the emulator raises to the hard one.
TEST(ClientAgainstHeadless, ARigsScannersAreDiscoveredOnceEachWithTheirOptionsAndServeTheirOwnRecords) {
    constexpr int kScanners = 16;
    HeadlessProcess rig;
    rig.tcpPort = freeTcpPort();  // on every address
    rig.limitOpenFiles(40, 4096);
    ASSERT_TRUE(rig.start({"--scanners", QString::number(kScanners), "--serial", "4242", "--xemr", "80", "--zdiap", "160"}))
        << rig.errors().toStdString();
    EXPECT_LE(QDir(QStringLiteral("/proc/%1/task").arg(rig.pid())).count() - 2, 8u) << "threads";
    const ToolRun run = runClient({"discover", "--port", QString::number(rig.helloPort), "--seconds", "5", "--json"});
    QMap<QString, QJsonObject> devices;
    for (QJsonObject device : jsonLines(run.out))
        devices.insert(device.take("address").toString(), device);
    ASSERT_EQ(devices.size(), kScanners) << run.out.toStdString() << run.err.toStdString();
    for (int k = 0; k < kScanners; ++k) {
        const QString address = QStringLiteral("127.0.0.%1").arg(k + 1);
        QJsonObject device = devices.value(address);
        EXPECT_EQ(device.take("mac").toString().size(), 17);
        EXPECT_EQ(device, QJsonObject({{"device_type", 310}, {"serial", 4242 + k}, {"xemr", 80}, {"zdiap", 160}, {"xsmr", 1},
                                       {"zbase", 1}, {"tcp_port", rig.tcpPort}, {"udp_port", rig.udpPort}}));
        // Were the records shared, the earlier scanners' changes would show.
        if (k < 3) {
            EXPECT_EQ(ok(rig, {"params", "set", QStringLiteral("laser_level_u8=%1").arg(k + 1), "--host", address}),
                      QStringLiteral("laser_level_u8: 0 -> %1\n").arg(k + 1));
        }
    }
    const QJsonObject result = firstJson(ok(rig, {"result", "--summary", "--json"}));
    EXPECT_TRUE(result["point_count"] == 640 && result["serial"] == 4242 && !result.contains("points")) << "the built-in profile";
    EXPECT_EQ(rig.stop(), 0) << "SIGTERM stops the emulator cleanly";
}

TEST(ClientAgainstHeadless, CommandsPrintSaveAndPlotWhatTheEmulatorServesAndItsControlChanges) {
    HeadlessProcess emulator;
    const QString profile = emulator.path("two.csv");  // -35 mm is the left edge of XEMR 70
    ASSERT_TRUE(writeFile(profile, "-35;85\n17.5;170\n"));
    const QString picture = QStringLiteral(PX310_ASSETS_DIR "/kelvora.jpg");
    const QString control = emulator.path("control");
    ASSERT_TRUE(emulator.start({"--profile", profile, "--serial", "999999", "--zbase", "7", "--picture", picture,
                                "--frequency", "200", "--control", control}));
    const QString csv = emulator.path("result.csv"), plot = emulator.path("result.png");
    EXPECT_EQ(emulator.listening, QJsonObject({{"address", "127.0.0.1"}, {"tcp_port", emulator.tcpPort},
                                               {"udp_port", emulator.udpPort}, {"hello_port", emulator.helloPort},
                                               {"serial", 999999}, {"frequency", 200}, {"source", "profile"}, {"points", 2},
                                               {"stream_to", "loopback"}, {"stream_destination", QStringLiteral("127.0.0.1:%1").arg(emulator.udpPort)},
                                               {"destinations_refused", 0}, {"hello_to", "loopback"},
                                               {"hello_destinations", QJsonArray{QStringLiteral("127.0.0.1:%1").arg(emulator.helloPort)}}}));
    const QString results = ok(emulator, {"result", "-n", "2", "--csv", csv, "--plot", plot, "--json"});
    QJsonObject second = jsonLines(results).value(1);
    // The measurement counter runs from the start, so on a busy machine it is ahead of the packet counter.
    EXPECT_GE(second.take("measurement").toInt(), 1);
    const QJsonArray points{QJsonObject{{"x_mm", -35}, {"z_mm", 85}}, QJsonObject{{"x_mm", 17.5}, {"z_mm", 170}}};
    EXPECT_EQ(second, QJsonObject({{"index", 1}, {"packet", 1}, {"point_count", 2}, {"serial", 999999}, {"xemr", 70},
                                   {"zdiap", 170}, {"points", points}})) << results.toStdString();
    const QString text = ok(emulator, {"result", "--csv", csv});
    EXPECT_TRUE(text.contains("checksum ok\nwrote 2 points to ") && !text.contains("-35.0000")) << "points to the file only";
    EXPECT_TRUE(runClient(emulator.serverArguments() << "result").out.contains("     0     -35.0000      85.0000\n"));
    EXPECT_EQ(readCsvProfile(csv, CsvScale{70, 170}).points, readCsvProfile(profile, CsvScale{70, 170}).points);
    const ProfilePlot scale(70, 170);
    const QRectF range(scale.toPixel({-35, 170}), scale.toPixel({35, 0}));
    EXPECT_TRUE(range.isValid() && QRectF(0, 0, ProfilePlot::kWidth, ProfilePlot::kHeight).contains(range))
        << "X rightwards, Z upwards, all in the image";
    const QImage image(plot);
    const auto colourAt = [&](QPointF mm) { return image.pixel(int(scale.toPixel(mm).x()), int(scale.toPixel(mm).y())); };
    EXPECT_TRUE(colourAt({17.5, 170}) == ProfilePlot::kProfileColour && colourAt({0, 120}) != ProfilePlot::kProfileColour);

    ok(emulator, {"image", emulator.path("picture.png"), "--chunk", "1000"});  // 308 chunks: the counter wraps
    const QImage saved(emulator.path("picture.png"));
    CameraPicture expected{};
    ASSERT_FALSE(loadCameraPicture(picture, expected));
    ASSERT_EQ(saved.size(), QSize(kPictureWidth, kPictureHeight));
    int wrong = 0;
    for (int y = 0; y < kPictureHeight; ++y)
        for (int x = 0; x < kPictureWidth; ++x)
            wrong += saved.constScanLine(y)[x] != 255 - expected[x * kPictureHeight + y];
    EXPECT_EQ(wrong, 0) << "the whole picture, dark as black";
    const QJsonObject factory = firstJson(ok(emulator, {"factory", "get", "--json"}));
    EXPECT_TRUE(factory["serial"] == 999999 && factory["zbase"] == 7 && factory["tcp_port"] == emulator.tcpPort)
        << "the port the system picked";
    EXPECT_EQ(firstJson(ok(emulator, {"extents", "--json"}))["extents"].toArray().at(1), 0x0c80);
    EXPECT_TRUE(ok(emulator, {"raw", "0x20", "--expect", "4"})
                    .contains("sent get extends (32) with 0 payload bytes\nreply: 4 bytes\n0000  00 00 80 0c\n"));

    const QStringList stream{"stream", "--port", QString::number(emulator.udpPort), "--seconds", "1"};
    const ToolRun clean = runClient(stream + QStringList{"--json"});
    const QJsonObject tally = firstJson(clean.out);
    for (const char* counter : {"reordered", "duplicates", "checksum_failures", "malformed"})
        EXPECT_EQ(tally[counter], 0) << counter << "\n" << clean.out.toStdString();
    EXPECT_EQ(tally["points_per_packet"], 2);
    EXPECT_TRUE(clean.exitCode == 0 && clean.err.isEmpty()) << "no progress in a script: " << clean.err.toStdString();
    const QRegularExpression progress(R"(\r\x1b\[K\d+ packets, [\d.]+ packets/s, \d+ bytes\r\x1b\[K(?!\d+ packets)\S)");
    EXPECT_TRUE(runClientOnTerminal(stream).out.contains(progress)) << "live progress on a terminal, gone before the summary";
    runClient({"control", control, "faults", "corrupt=50%,dup=50%"});
    QUdpSocket sender;  // and one datagram a byte too long
    const QByteArray tooLong = resultPacket([](QByteArray& b) { b += '\0'; });
    QTimer::singleShot(500, [&] { sender.writeDatagram(tooLong, QHostAddress::LocalHost, emulator.udpPort); });
    const ToolRun corrupted = runClient(stream + QStringList{"--json"});
    EXPECT_TRUE(firstJson(corrupted.out)["checksum_failures"].toInt() > 0 && firstJson(corrupted.out)["malformed"] == 1)
        << corrupted.out.toStdString();
    EXPECT_TRUE(corrupted.exitCode == 3 && corrupted.err.contains("failed their checksum")) << corrupted.err.toStdString();
    const QJsonObject stats = firstJson(runClient({"control", "--json", control, "stats"}).out);
    EXPECT_TRUE(stats["faults"]["lost"] == 0 && stats["current_faults"] == "dup=50%,corrupt=50%" &&
                stats["late_packets"].isDouble());
    EXPECT_EQ(firstJson(runClient({"control", control, "faults", "clear", "--json"}).out), QJsonObject({{"answer", "none"}}));
    const ToolRun unknown = runClient({"control", control, "--scanner", "127.0.0.9", "stats"});
    EXPECT_TRUE(unknown.exitCode == 1 && unknown.err.contains("no scanner at 127.0.0.9")) << unknown.err.toStdString();
}

TEST(ClientAgainstHeadless, AFlushedChangeIsSavedEvenWhenAStopFollowsAtOnce) {
    HeadlessProcess emulator;
    ASSERT_TRUE(emulator.start({"--verbose"}));
    EXPECT_TRUE(emulator.errors().contains(QRegularExpression("\\n\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} px310\\.tcp: ")))
        << "the log's lines carry their time: " << emulator.errors().toStdString();
    // The connection options may come before the command, too.
    const ToolRun set = runClient(emulator.serverArguments() +
                                  QStringList{"params", "set", "wnd_top_u8=300", "udp_ip_address_u8=10.0.0.5"});
    EXPECT_EQ(set.out, "wnd_top_u8: 0 -> 300\nudp_ip_address_u8: 255.255.255.255 -> 10.0.0.5\n") << set.err.toStdString();
    EXPECT_EQ(firstJson(ok(emulator, {"params", "get", "wnd_top_u8", "udp_ip_address_u8", "--json"})),
              QJsonObject({{"wnd_top_u8", 300}, {"udp_ip_address_u8", "10.0.0.5"}}));
    EXPECT_TRUE(ok(emulator, {"params", "flush"}).contains("flushed"));
    QTcpSocket stillConnected;
    stillConnected.connectToHost(QHostAddress::LocalHost, emulator.tcpPort);
    ASSERT_TRUE(stillConnected.waitForConnected(5000));
    EXPECT_EQ(emulator.stop(), 0) << "SIGTERM right after the answer, a client connected";
    EXPECT_EQ(QSettings(emulator.paramsPath(), QSettings::IniFormat).value("UserParams/wnd_top_u8").toInt(), 300);
}

namespace {

// A client streaming on a port that was free a moment ago; another socket of
// a parallel test may take it first, and the client then ends: another port.
// `why` gets what the last one that ended said.
quint16 startStreamingClient(QProcess& client, QByteArray& why) {
    constexpr int kPortAttempts = 3;
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        const quint16 port = freeUdpPort();
        startTool(client, PX310_CLIENT, {"stream", "--port", QString::number(port), "--seconds", "300", "--json"});
        const auto ended = [&] { return client.state() == QProcess::NotRunning; };
        if (waitUntil([&] { return ended() || !QUdpSocket().bind(QHostAddress::LocalHost, port); }, 60000) && !ended())
            return port;
        client.waitForFinished();
        why = client.readAllStandardError();
    }
    return 0;
}

}  // namespace

TEST(ClientStream, WhatItsOwnFullReceiveBufferDroppedIsCountedApartFromLostPackets) {
    QProcess client;  // stopped once it has read all; its time is only a bound
    QByteArray why;
    const quint16 port = startStreamingClient(client, why);
    ASSERT_NE(port, 0) << "it listens: " << why.toStdString();
    const auto drained = [port] { return waitUntil([port] { return receiveQueueBytes(port) == 0; }, 60000); };
    QUdpSocket sender;
    QByteArray packet;  // whole profiles: the buffer fills after a few thousand, which even a slow client reads in time
    const auto send = [&](uint32_t from, uint32_t to) {
        for (uint32_t counter = from; counter < to; ++counter) {
            encodeProfilePacket(ProfileSnapshot{std::vector<int16_t>(640), std::vector<uint16_t>(640)},
                                PacketFields{0, counter}, packet);
            sender.writeDatagram(packet, QHostAddress::LocalHost, port);
        }
    };
    ::kill(pid_t(client.processId()), SIGSTOP);  // far behind for a while
    send(0, 8000);
    ::kill(pid_t(client.processId()), SIGCONT);
    ASSERT_TRUE(drained());
    send(8000, 8010);  // the kernel tells its count with the next datagram
    ASSERT_TRUE(drained());
    client.terminate();
    ASSERT_TRUE(client.waitForFinished(60000));
    const QString out = QString::fromUtf8(client.readAllStandardOutput());
    const QJsonObject tally = firstJson(out);
    const int dropped = tally["dropped_by_client"].toInt();
    EXPECT_TRUE(dropped > 0 && tally["received"].toInt() + dropped == 8010 && tally["lost"] == 0) << out.toStdString();
}

// Two emulators streaming to one port must not look like one that loses and restarts.
TEST(ClientStream, TwoEmulatorsOnOnePortAreCountedApartAndFromKeepsAndRecordsOne) {
    HeadlessProcess first, second;
    second.udpPort = first.udpPort;
    ASSERT_TRUE(first.start() && second.start({"--listen", "127.0.0.2"}));
    const QStringList stream{"stream", "--port", QString::number(first.udpPort), "--seconds", "1"};
    const QString both = runClient(stream).out;
    const QRegularExpression sender("^(127\\.0\\.0\\.1:\\d+): received (\\d+) packets", QRegularExpression::MultilineOption);
    QStringList senders;
    for (auto match = sender.globalMatch(both); match.hasNext();)
        senders << match.next().captured(1);
    ASSERT_EQ(senders.size(), 2) << "a stream source port of their own: " << both.toStdString();
    EXPECT_TRUE(both.contains("warning: 2 senders") &&
                both.count(QRegularExpression(": lost 0, reordered 0, duplicates 0, counter restarts 0\n")) == 2)
        << both.toStdString();
    const QString record = first.path("one.pcap");
    const QString one = runClient(stream + QStringList{"--from", senders[1], "--record", record}).out;
    const QString received = QRegularExpression("received (\\d+) packets").match(one).captured(1);
    EXPECT_TRUE(one.contains(QStringLiteral("from %1 in").arg(senders[1])) && one.contains("lost 0, reordered 0,") &&
                one.contains("recorded " + received + " datagrams") &&
                one.contains(QRegularExpression("ignored [1-9]\\d* datagrams from other senders")))
        << one.toStdString();
}

TEST(HeadlessFailures, WhatCannotStartEndsTheProgramWithAMessageAndItsCode) {
    HeadlessProcess noPicture;
    EXPECT_FALSE(noPicture.start({"--picture", noPicture.path("missing.jpg")}));
    const ToolRun picture = noPicture.waitForEnd();
    EXPECT_TRUE(picture.exitCode == 2 && picture.err.contains("missing.jpg")) << picture.err.toStdString();
    HeadlessProcess badListen;
    EXPECT_FALSE(badListen.start({"--listen", "300.1.1.1"}));
    EXPECT_EQ(badListen.waitForEnd().exitCode, 1);
    HeadlessProcess tooFewFiles;
    tooFewFiles.limitOpenFiles(100, 100);
    EXPECT_FALSE(tooFewFiles.start({"--scanners", "16"}));
    const ToolRun files = tooFewFiles.waitForEnd();
    EXPECT_TRUE(files.exitCode == 2 && files.err.contains("16 scanners need 144 open files, but the limit is 100"))
        << files.err.toStdString();
}

namespace {

struct BrokenReply {
    QStringList command;
    std::function<QByteArray(const REQUEST_HEADER&)> reply;  // to each request
    bool hangUp;
    const char* message;
};

// Answers each whole request (its payload skipped) as `broken` says.
void serve(QTcpSocket* socket, QByteArray& buffer, const BrokenReply& broken) {
    buffer += socket->readAll();
    REQUEST_HEADER header;
    while (buffer.size() >= kRequestHeaderSize) {
        std::memcpy(&header, buffer.constData(), kRequestHeaderSize);
        if (buffer.size() < kRequestHeaderSize + int(header.payload_size))
            return;
        buffer.remove(0, kRequestHeaderSize + int(header.payload_size));
        socket->write(broken.reply(header));
        if (broken.hangUp)
            socket->disconnectFromHost();
    }
}

}  // namespace

TEST(ClientFailures, ShortLateOrBrokenRepliesAreProtocolFaults) {
    const BrokenReply cases[] = {
        {{"params", "get"}, [](const REQUEST_HEADER&) { return QByteArray(100, '\0'); }, false,
         "short reply to read params (4): 100 of 512 bytes within 1000 ms"},
        {{"result"}, [](const REQUEST_HEADER&) { return resultPacket([](QByteArray& b) { b[12] = char(b[12] ^ 0x40); }); },
         false, "result 0: checksum 00dc where the bytes give 009c"},
        {{"result"}, [](const REQUEST_HEADER&) { return resultPacket([](QByteArray& b) { b[12 + 4 * 3] = 9; }); }, false,
         "trailer length 9"},
        {{"result"}, [](const REQUEST_HEADER&) { return resultPacket([](QByteArray& b) { b.truncate(20); }); }, true,
         "before the emulator closed the connection"},
        {{"params", "flush"}, [](const REQUEST_HEADER&) { return QByteArray("NO"); }, false, "answered 4e 4f instead of OK"},
        // Chunks must come in order: a server that repeats chunk 0 is caught.
        {{"image", "never.png"},
         [](const REQUEST_HEADER& h) { return h.command == 3 ? QByteArray(2 + int(h.length), '\0') : QByteArray(); },
         false, "expected image 0 chunk 1"},
    };
    for (const BrokenReply& broken : cases) {
        QTcpServer server;
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        QByteArray buffer;
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            QTcpSocket* socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [&, socket] { serve(socket, buffer, broken); });
        });
        const QStringList to{"--port", QString::number(server.serverPort()), "--timeout", "1000"};
        const ToolRun run = runClient(broken.command + to);
        EXPECT_TRUE(run.exitCode == 3 && run.err.contains(QLatin1String(broken.message))) << run.err.toStdString();
    }
}

#include "ProfilePlot.h"
#include "ToolProcess.h"

#include "profile/CameraPicture.h"
#include "profile/CsvProfile.h"
#include "tcp/RequestHeader.h"
#include "udp/ProfilePacket.h"

#include <QDir>
#include <QImage>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QThread>
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

QStringList lines(const QString& text) { return text.split('\n', Qt::SkipEmptyParts); }

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
    rig.limitOpenFiles(40, 4096);
    ASSERT_TRUE(rig.start({"--scanners", QString::number(kScanners), "--serial", "4242", "--xemr", "80", "--zdiap", "160"}))
        << rig.errors().toStdString();
    EXPECT_LE(QDir(QStringLiteral("/proc/%1/task").arg(rig.pid())).count() - 2, 8u) << "threads";
    const ToolRun run = runClient({"discover", "--port", QString::number(rig.helloPort), "--seconds", "5"});
    QStringList devices = lines(run.out);
    std::sort(devices.begin(), devices.end(), [](const QString& a, const QString& b) {
        return a.section(' ', 2, 2).section('.', 3).toInt() < b.section(' ', 2, 2).section('.', 3).toInt();
    });
    ASSERT_EQ(devices.size(), kScanners) << run.out.toStdString() << run.err.toStdString();
    for (int k = 0; k < kScanners; ++k) {
        const QString address = QStringLiteral("127.0.0.%1").arg(k + 1);
        const QString line = QStringLiteral("^PX310 at %1 .* serial %2  XEMR 80  ZDIAP 160 .* TCP port %3  UDP port %4$")
                                 .arg(address).arg(4242 + k).arg(rig.tcpPort).arg(rig.udpPort);
        EXPECT_TRUE(devices[k].contains(QRegularExpression(line))) << devices[k].toStdString();
        // Were the records shared, the earlier scanners' changes would show.
        if (k < 3) {
            EXPECT_EQ(ok(rig, {"params", "set", QStringLiteral("laser_level_u8=%1").arg(k + 1), "--host", address}),
                      QStringLiteral("laser_level_u8: 0 -> %1\n").arg(k + 1));
        }
    }
    EXPECT_TRUE(ok(rig, {"result", "--summary"}).contains(", 640 points, serial 4242,")) << "the built-in profile";
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
    const QString csv = emulator.path("result.csv");
    const QString plot = emulator.path("result.png");
    const QString results = ok(emulator, {"result", "-n", "2", "--csv", csv, "--plot", plot});
    // The measurement counter runs from the start, so on a busy machine it is ahead of the packet counter.
    EXPECT_TRUE(results.contains(QRegularExpression("result 1: measurement \\d+, packet 1, 2 points, serial 999999, XEMR 70, "
                                                    "ZDIAP 170, checksum ok\nwrote 2 points to ")))
        << "the points go to the files only: " << results.toStdString();
    const QString points = ok(emulator, {"result"});
    EXPECT_TRUE(points.contains("checksum ok\n     #         X mm         Z mm\n     0     -35.0000      85.0000\n"))
        << points.toStdString();
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
    ASSERT_TRUE(loadCameraPicture(picture, expected));
    ASSERT_EQ(saved.size(), QSize(kPictureWidth, kPictureHeight));
    int wrong = 0;
    for (int y = 0; y < kPictureHeight; ++y)
        for (int x = 0; x < kPictureWidth; ++x)
            wrong += saved.constScanLine(y)[x] != 255 - expected[x * kPictureHeight + y];
    EXPECT_EQ(wrong, 0) << "the whole picture, dark as black";
    const QString factory = ok(emulator, {"factory", "get"});
    EXPECT_TRUE(factory.contains("serial 999999\n") && factory.contains("ZBASE 7\n")) << factory.toStdString();
    EXPECT_TRUE(ok(emulator, {"raw", "0x20", "--expect", "4"})
                    .contains("sent get extends (32) with 0 payload bytes\nreply: 4 bytes\n0000  00 00 80 0c\n"));

    const QStringList stream{"stream", "--port", QString::number(emulator.udpPort), "--seconds", "1"};
    const ToolRun clean = runClient(stream);
    for (const char* part : {"2 points per packet", "reordered 0, duplicates 0", "checksum failures 0, malformed 0"})
        EXPECT_TRUE(clean.out.contains(part)) << part << "\n" << clean.out.toStdString();
    EXPECT_TRUE(clean.exitCode == 0 && clean.err.isEmpty()) << "no progress in a script: " << clean.err.toStdString();
    EXPECT_TRUE(runClientOnTerminal(stream).out.contains(QRegularExpression(R"(\r\x1b\[K\d+ packets, [\d.]+ packets/s)")))
        << "live progress on a terminal";
    runClient({"control", control, "faults", "corrupt=50%,dup=50%"});
    QUdpSocket sender;  // and one datagram a byte too long
    const QByteArray tooLong = resultPacket([](QByteArray& b) { b += '\0'; });
    QTimer::singleShot(500, [&] { sender.writeDatagram(tooLong, QHostAddress::LocalHost, emulator.udpPort); });
    const ToolRun corrupted = runClient(stream);
    EXPECT_TRUE(corrupted.out.contains(QRegularExpression("checksum failures [1-9]\\d*, malformed 1\n")))
        << corrupted.out.toStdString();
    EXPECT_TRUE(corrupted.exitCode == 3 && corrupted.err.contains("failed their checksum")) << corrupted.err.toStdString();
    const QString stats = runClient({"control", control, "stats"}).out;
    EXPECT_TRUE(stats.contains("\"lost\":0,") && stats.contains("\"current_faults\":\"dup=50%,corrupt=50%\"") &&
                stats.contains(QRegularExpression("\"late_packets\":\\d+")))
        << stats.toStdString();
    const ToolRun unknown = runClient({"control", control, "--scanner", "127.0.0.9", "stats"});
    EXPECT_TRUE(unknown.exitCode == 1 && unknown.err.contains("no scanner at 127.0.0.9")) << unknown.err.toStdString();
}

TEST(ClientAgainstHeadless, AFlushedChangeIsSavedEvenWhenAStopFollowsAtOnce) {
    HeadlessProcess emulator;
    ASSERT_TRUE(emulator.start());
    // The connection options may come before the command, too.
    const ToolRun set = runClient(emulator.serverArguments() +
                                  QStringList{"params", "set", "wnd_top_u8=300", "udp_ip_address_u8=10.0.0.5"});
    EXPECT_EQ(lines(set.out), (QStringList{"wnd_top_u8: 0 -> 300", "udp_ip_address_u8: 255.255.255.255 -> 10.0.0.5"}))
        << set.err.toStdString();
    EXPECT_TRUE(ok(emulator, {"params", "flush"}).contains("flushed"));
    EXPECT_EQ(emulator.stop(), 0) << "SIGTERM right after the answer";
    EXPECT_EQ(QSettings(emulator.paramsPath(), QSettings::IniFormat).value("UserParams/wnd_top_u8").toInt(), 300);
}

TEST(ClientStream, WhatItsOwnFullReceiveBufferDroppedIsCountedApartFromLostPackets) {
    const quint16 port = freeUdpPort();
    QProcess client;
    client.start(PX310_CLIENT, {"stream", "--port", QString::number(port), "--seconds", "5"});
    ASSERT_TRUE(waitUntil([&] { return !QUdpSocket().bind(QHostAddress::LocalHost, port); })) << "the client listens";
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
    QThread::msleep(500);
    send(8000, 8010);  // the kernel tells its count with the next datagram
    ASSERT_TRUE(client.waitForFinished(10000));
    const QString out = QString::fromUtf8(client.readAllStandardOutput());
    const auto number = [&](const char* pattern) { return QRegularExpression(pattern).match(out).captured(1).toInt(); };
    const int dropped = number("buffer (\\d+)");
    EXPECT_TRUE(dropped > 0 && number("received (\\d+)") + dropped == 8010 && out.contains("lost 0,")) << out.toStdString();
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
         false, "checksum"},
        {{"result"}, [](const REQUEST_HEADER&) { return resultPacket([](QByteArray& b) { b[12 + 4 * 3] = 9; }); }, false,
         "trailer length 9"},
        {{"result"}, [](const REQUEST_HEADER&) { return resultPacket([](QByteArray& b) { b.truncate(20); }); }, true,
         "before the emulator closed the connection"},
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

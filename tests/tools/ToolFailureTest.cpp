#include "ToolProcess.h"

#include "support/TestUtil.h"
#include "tcp/RequestHeader.h"
#include "udp/ProfilePacket.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

// What scripts rely on when things go wrong: a clear message and the exit
// code for the kind of failure.

namespace {

constexpr int kUsage = 1;
constexpr int kNoEmulator = 2;
constexpr int kProtocol = 3;

// A command server in the test process that answers each request with what
// `reply` returns for it (payloads are skipped).
class FakeServer {
public:
    using Reply = std::function<QByteArray(const REQUEST_HEADER&)>;

    explicit FakeServer(Reply reply) : reply_(std::move(reply)) {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            QTcpSocket* socket = server_.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] { serve(socket); });
        });
    }

    QStringList arguments() const {
        return {"--port", QString::number(server_.serverPort()), "--timeout", "1000"};
    }

    bool closeAfterReply = false;

private:
    void serve(QTcpSocket* socket) {
        buffer_ += socket->readAll();
        while (buffer_.size() >= kRequestHeaderSize) {
            REQUEST_HEADER header;
            std::memcpy(&header, buffer_.constData(), kRequestHeaderSize);
            if (buffer_.size() < kRequestHeaderSize + int(header.payload_size))
                return;
            buffer_.remove(0, kRequestHeaderSize + int(header.payload_size));
            socket->write(reply_(header));
            if (closeAfterReply) {
                socket->disconnectFromHost();
                return;
            }
        }
    }

    QTcpServer server_;
    Reply reply_;
    QByteArray buffer_;
};

QByteArray resultPacket() {
    ProfileSnapshot points;
    points.x = {1, 2, 3};
    points.z = {4, 5, 6};
    PacketFields fields;
    fields.xemr = 70;
    fields.zdiap = 170;
    QByteArray bytes;
    encodeProfilePacket(points, fields, bytes);
    return bytes;
}

ToolRun clientAgainst(const FakeServer& server, QStringList arguments) { return runClient(arguments + server.arguments()); }

void expectFailure(const ToolRun& run, int code, const char* message) {
    EXPECT_TRUE(run.finished) << "every wait has a time-out";
    EXPECT_EQ(run.exitCode, code) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QLatin1String(message))) << run.err.toStdString();
}

}  // namespace

TEST(ClientFailures, EveryServerCommandSaysWhenNoEmulatorListens) {
    const QString closedPort = QString::number(freeTcpPort());
    const QList<QStringList> commands = {{"params", "get"}, {"params", "set", "ap=1"}, {"params", "flush"},
                                         {"result"},        {"image", "x.png"},        {"extents"},
                                         {"factory", "get"}, {"raw", "4"}};
    for (const QStringList& command : commands) {
        const ToolRun run = runClient(command + QStringList{"--port", closedPort});
        expectFailure(run, kNoEmulator, "no emulator at 127.0.0.1:");
        EXPECT_TRUE(run.out.isEmpty()) << command.join(' ').toStdString();
    }
}

TEST(ClientFailures, ListenersGiveUpWhenNothingArrives) {
    const QString silent = QString::number(freeUdpPort());
    expectFailure(runClient({"discover", "--port", silent, "--seconds", "1"}), kNoEmulator, "no hello packet");
    const ToolRun stream = runClient({"stream", "--port", silent, "--seconds", "1"});
    expectFailure(stream, kNoEmulator, "no profile packet");
    EXPECT_TRUE(stream.out.contains("received 0 packets"));
}

// The values themselves are checked by the field table; here, that the client stops before connecting.
TEST(ClientFailures, ARefusedChangeLeavesTheEmulatorsRecordAlone) {
    HeadlessProcess emulator;
    ASSERT_TRUE(emulator.start());
    // The first change is good, the second not: neither may be written.
    const ToolRun refused =
        runClient(QStringList{"params", "set", "laser_level_u8=5", "udp_port_u16=70000"} + emulator.serverArguments());
    expectFailure(refused, kUsage, "udp_port_u16 takes a whole number from 0 to 65535");
    const ToolRun now = runClient(QStringList{"params", "get", "laser_level_u8", "no_such_field"} + emulator.serverArguments());
    expectFailure(now, kUsage, "no parameter named");
    expectFailure(runClient(QStringList{"params", "set", "laser_level_u8"} + emulator.serverArguments()), kUsage,
                  "is not FIELD=VALUE");
    expectFailure(runClient(QStringList{"params", "set"} + emulator.serverArguments()), kUsage, "at least one");
    EXPECT_TRUE(runClient(QStringList{"params", "get", "laser_level_u8"} + emulator.serverArguments())
                    .out.contains("laser_level_u8             = 0"));
    EXPECT_EQ(emulator.stop(), 0);
}

TEST(ClientFailures, ShortLateOrBrokenRepliesAreProtocolFaults) {
    FakeServer shortParams([](const REQUEST_HEADER&) { return QByteArray(100, '\0'); });
    expectFailure(clientAgainst(shortParams, {"params", "get"}), kProtocol, "short reply to read params (4): 100 of 512");

    FakeServer noOk([](const REQUEST_HEADER& h) { return h.command == 4 ? QByteArray(512, '\0') : QByteArray("NO"); });
    expectFailure(clientAgainst(noOk, {"params", "set", "ap=1"}), kProtocol, "instead of OK");

    FakeServer corrupt([](const REQUEST_HEADER&) {
        QByteArray bytes = resultPacket();
        bytes[12] = char(bytes[12] ^ 0x40);
        return bytes;
    });
    expectFailure(clientAgainst(corrupt, {"result"}), kProtocol, "checksum");

    FakeServer oddTrailer([](const REQUEST_HEADER&) {
        QByteArray bytes = resultPacket();
        bytes[12 + 4 * 3] = 9;
        return bytes;
    });
    expectFailure(clientAgainst(oddTrailer, {"result"}), kProtocol, "trailer length 9");

    FakeServer hangsUp([](const REQUEST_HEADER&) { return resultPacket().left(20); });
    hangsUp.closeAfterReply = true;
    expectFailure(clientAgainst(hangsUp, {"result"}), kProtocol, "before the emulator closed the connection");

    // Chunks must come in order: a server that repeats chunk 0 is caught.
    FakeServer stuckChunks([](const REQUEST_HEADER& h) {
        return h.command == 3 ? QByteArray(2, '\0') + QByteArray(int(h.length), '\0') : QByteArray();
    });
    expectFailure(clientAgainst(stuckChunks, {"image", "never.png"}), kProtocol, "expected image 0 chunk 1");
}

TEST(ClientFailures, StreamCountsChecksumFailuresAndFails) {
    const quint16 port = freeUdpPort();
    QByteArray bad = resultPacket();
    bad[13] = char(bad[13] ^ 0x01);
    QUdpSocket sender;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        sender.writeDatagram(resultPacket(), QHostAddress::LocalHost, port);
        sender.writeDatagram(bad, QHostAddress::LocalHost, port);
    });
    timer.start(50);
    const ToolRun run = runClient({"stream", "--port", QString::number(port), "--seconds", "2"});
    expectFailure(run, kProtocol, "failed their checksum");
    EXPECT_FALSE(run.out.contains("checksum failures 0")) << run.out.toStdString();
}

TEST(ClientUsage, EveryCommandHasHelpAndUnknownInputIsAUsageError) {
    for (const QStringList& command : QList<QStringList>{{"discover"}, {"params", "get"}, {"params", "set"},
                                                         {"params", "flush"}, {"result"}, {"stream"}, {"image"},
                                                         {"extents"}, {"factory"}, {"raw"}}) {
        const ToolRun help = runClient(command + QStringList{"--help"});
        EXPECT_EQ(help.exitCode, 0) << command.join(' ').toStdString();
        EXPECT_TRUE(help.out.contains("Usage: px310-client " + command.join(' '))) << help.out.toStdString();
    }
    EXPECT_EQ(runClient({"--help"}).exitCode, 0);
    expectFailure(runClient({}), kUsage, "Usage: px310-client [--host ADDR]");
    expectFailure(runClient({"--port", "6200"}), kUsage, "Usage: px310-client");
    expectFailure(runClient({"--port", "6200", "stream"}), kUsage, "its own options follow its name");
    expectFailure(runClient({"--port", "0", "extents"}), kUsage, "--port takes a number from 1");
    expectFailure(runClient({"scan"}), kUsage, "unknown command \"scan\"");
    expectFailure(runClient({"result", "--bogus"}), kUsage, "Unknown option");
    expectFailure(runClient({"result", "-n", "0"}), kUsage, "-n takes a number from 1");
    expectFailure(runClient({"raw", "abc"}), kUsage, "is not a command code");
    expectFailure(runClient({"raw", "5", "--payload", "0g"}), kUsage, "pairs of hex digits");
    expectFailure(runClient({"raw", "5", "--payload", "012"}), kUsage, "pairs of hex digits");
    expectFailure(runClient({"image"}), kUsage, "expected 1 argument");
}

TEST(HeadlessFailures, UnusableFilesAndAddressesStopItWithAMessage) {
    HeadlessProcess noPicture;
    noPicture.start({"--picture", noPicture.path("missing.jpg")});
    const ToolRun picture = noPicture.waitForEnd();
    EXPECT_EQ(picture.exitCode, 2);
    EXPECT_TRUE(picture.err.contains("missing.jpg")) << picture.err.toStdString();

    HeadlessProcess noProfile;
    noProfile.start({"--profile", noProfile.path("missing.csv")});
    const ToolRun profile = noProfile.waitForEnd();
    EXPECT_EQ(profile.exitCode, 2);
    EXPECT_TRUE(profile.err.contains("cannot open")) << profile.err.toStdString();

    HeadlessProcess badListen;
    badListen.start({"--listen", "300.1.1.1"});
    EXPECT_EQ(badListen.waitForEnd().exitCode, 1);
}

TEST(HeadlessFailures, APortInUseIsReportedNotIgnored) {
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    HeadlessProcess emulator;
    emulator.tcpPort = occupant.serverPort();
    EXPECT_FALSE(emulator.start());
    const ToolRun run = emulator.waitForEnd();
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.err.contains("cannot listen on 127.0.0.1 port")) << run.err.toStdString();
}

// The Wireshark dissector, run by tshark on captures of every message kind.
#include "CaptureTestSupport.h"

#include "params/UserParamsFields.h"
#include "tcp/CommandTable.h"
#include "tcp/RequestHeader.h"
#include "state/DeviceIdentity.h"
#include "udp/HelloPacket.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/tcp.h>
#include <unistd.h>

namespace {

const QString kPersonalPlugins = QStringLiteral(".local/lib/wireshark/plugins");  // below HOME
const QString kGlobalPlugins = QStringLiteral("global-plugins");

class DissectorTest : public testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable("tshark").isEmpty())
            GTEST_SKIP() << "needs tshark";
        ASSERT_TRUE(QDir(dir.path()).mkpath(kPersonalPlugins) && QDir(dir.path()).mkpath(kGlobalPlugins));
        ASSERT_TRUE(QFile::copy(PX310_DISSECTOR, dir.filePath("px310.lua")));
        QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ReadOther | QFile::ExeOther);
    }

    // A copy of the dissector installed on this machine would load first and
    // be tested instead of ours, so tshark gets plugin and preference folders
    // of its own. Wireshark ignores them for root: root runs it as nobody.
    void startTshark(QProcess& tshark, const QStringList& arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"HOME", "WIRESHARK_CONFIG_DIR"})
            environment.insert(name, dir.path());
        environment.insert("WIRESHARK_PLUGIN_DIR", dir.filePath(kGlobalPlugins));
        tshark.setProcessEnvironment(environment);
        const QString program = QStandardPaths::findExecutable("tshark");
        if (::getuid() != 0)
            return tshark.start(program, arguments);
        tshark.start("setpriv", QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", program} + arguments);
    }

    // The values of `fields`, a line for each frame that matches `filter`.
    std::string run(const QString& filter, const QStringList& fields, const QStringList& options = {}) {
        writeCapture(dir.filePath("c.pcap"), DLT_RAW, {}, packets);
        QStringList arguments = options + QStringList{"-X", "lua_script:" + dir.filePath("px310.lua"), "-r",
                                                      dir.filePath("c.pcap"), "-Y", filter, "-T", "fields"};
        for (const QString& field : fields)
            arguments << "-e" << field;
        QProcess tshark;
        startTshark(tshark, arguments);
        EXPECT_TRUE(tshark.waitForFinished(60000));
        const QByteArray err = tshark.readAllStandardError();
        EXPECT_TRUE(tshark.exitCode() == 0 && !err.contains("Lua")) << err.toStdString();
        return tshark.readAllStandardOutput().toStdString();
    }

    // The next segment between a client and the command server.
    void segment(const QByteArray& bytes, bool toServer) {
        Tins::TCP tcp = toServer ? Tins::TCP(serverPort, 50000) : Tins::TCP(50000, serverPort);
        tcp.seq(nextByte[toServer]);
        Tins::IP ip = toServer ? Tins::IP("127.0.0.3", "127.0.0.1") : Tins::IP("127.0.0.1", "127.0.0.3");
        const auto* payload = reinterpret_cast<const uint8_t*>(bytes.constData());
        packets.push_back((ip / tcp / Tins::RawPDU(payload, uint32_t(bytes.size()))).serialize());
        nextByte[toServer] += uint32_t(bytes.size());
    }
    void request(uint32_t code, const QByteArray& payload = {}) { segment(encodeRequest(code, payload), true); }

    void hello(uint16_t port, uint16_t tcpPort) {
        DeviceIdentity hello;
        hello.setSerialNumber(54321);
        hello.markRunning(6003, tcpPort);
        const Frames frames = ipv4Packets(QByteArray(reinterpret_cast<const char*>(hello.packet().data()), kHelloPacketSize), port);
        packets.insert(packets.end(), frames.begin(), frames.end());
    }

    QTemporaryDir dir;
    Frames packets;
    uint16_t serverPort = 620;
    uint32_t nextByte[2] = {5000, 1000};  // the server's, the client's
};

// A bad checksum shows on the fixed ports and the preferences' ones only.
TEST_F(DissectorTest, HelloAndProfilesShowSerialCountAndChecksumOnTheirPorts) {
    hello(6001, 620);
    const QByteArray good = profileDatagram(1, 1280);
    QByteArray bad = good;
    bad[20] = char(bad[20] ^ 1);
    for (auto [port, datagram] : {std::pair{6003, good}, {31001, bad}, {7003, bad}})  // 7003: set in the preferences
        packets.push_back(ipv4Packets(datagram, uint16_t(port))[0]);

    const QStringList fields{"px310.message", "px310.serial", "px310.count", "px310.checksum.status"};
    const std::string hello54321 = "hello\t54321\t\t\n", goodLine = "profile\t123\t1280\tgood\n",
                      badLine = "profile\t123\t1280\tbad\n";
    EXPECT_EQ(run("px310", fields), hello54321 + goodLine + badLine);
    EXPECT_EQ(run("px310", fields, {"-o", "px310.stream_port:7003"}), hello54321 + goodLine + badLine + badLine);
}

// As from the package's plugin folder and from -X lua_script at once.
TEST_F(DissectorTest, LoadsOnceWhenFoundByTwoPaths) {
    ASSERT_TRUE(QFile::copy(dir.filePath("px310.lua"), dir.filePath(kPersonalPlugins + "/px310.lua")));
    hello(6001, 620);
    EXPECT_EQ(run("px310", {"px310.serial"}), "54321\n");
}

// Hello and profile found by their content, the command server by the port
// its hello names; points in millimetres by the packet's XEMR and ZDIAP.
TEST_F(DissectorTest, AllThreeAreFoundOnAnyPort) {
    const auto randomPort = [] { return uint16_t(QRandomGenerator::global()->bounded(50001, 54000)); };
    serverPort = randomPort();
    hello(randomPort(), serverPort);
    packets.push_back(ipv4Packets(profileDatagram(5, 2), randomPort())[0]);
    request(1);
    segment(profileDatagram(6, 1), false);
    EXPECT_EQ(run("px310", {"px310.message", "px310.x", "px310.x_mm", "px310.z", "px310.z_mm"}),
              "hello\t\t\t\t\n"
              "profile\t5,-2993\t0.048828125,-29.228515625\t1005,1018\t10.7345581054688,10.8734130859375\n"
              "request\t\t\t\t\n"
              "reply,profile\t6\t0.05859375\t1006\t10.7452392578125\n");
}

// Every command by its table's name, and the parameter record by field names
// in a write request and in a read reply that spans two segments.
TEST_F(DissectorTest, RequestsShowTheCommandTablesNamesAndRecordsTheirFields) {
    std::string names;
    for (const CommandInfo& command : kCommandTable) {
        request(command.code);
        names += std::to_string(command.code) + '\t' + (*command.name ? command.name : "get result") + '\n';
    }
    request(200);
    EXPECT_EQ(run("px310.command", {"px310.command", "px310.command_name"}), names + "200\tunknown\n");

    QByteArray record(sizeof(USER_PARAMS), '\0');
    std::generate(record.begin(), record.end(), [n = 0]() mutable { return char(1 + n++ % 97); });
    QStringList fields, values;
    for (const UserParamsField& field : kUserParamsFields) {
        fields << QStringLiteral("px310.record.") + field.name;
        values << fieldValueText(*reinterpret_cast<const USER_PARAMS*>(record.constData()), field);
    }
    request(5, record);
    segment("OK", false);
    request(4);
    segment(record.left(300), false);
    segment(record.mid(300), false);
    const std::string line = values.join('\t').toStdString() + '\n';
    EXPECT_EQ(run("px310.record.config_version_u16", fields), line + line);
}

}  // namespace

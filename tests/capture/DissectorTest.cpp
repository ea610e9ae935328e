// The Wireshark dissector, run by tshark on captures of every message kind.
#include "CaptureTestSupport.h"

#include "params/UserParamsFields.h"
#include "tcp/CommandTable.h"
#include "udp/HelloPacket.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/tcp.h>

namespace {

class DissectorTest : public testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable("tshark").isEmpty())
            GTEST_SKIP() << "needs tshark";
    }

    // The values of `fields`, a line for each frame that matches `filter`.
    std::string run(const QString& filter, const QStringList& fields, const QStringList& options = {}) {
        writeCapture(dir.filePath("c.pcap"), DLT_RAW, {}, packets);
        QStringList arguments = options + QStringList{"-X", "lua_script:" PX310_DISSECTOR, "-r", dir.filePath("c.pcap"),
                                                      "-Y", filter, "-T", "fields"};
        for (const QString& field : fields)
            arguments << "-e" << field;
        QProcess tshark;
        tshark.start(QStandardPaths::findExecutable("tshark"), arguments);
        EXPECT_TRUE(tshark.waitForFinished(60000));
        const QByteArray err = tshark.readAllStandardError();
        EXPECT_TRUE(tshark.exitCode() == 0 && !err.contains("Lua")) << err.toStdString();
        return tshark.readAllStandardOutput().toStdString();
    }

    // The next segment between a client and the command server.
    void segment(const QByteArray& bytes, bool toServer) {
        Tins::TCP tcp = toServer ? Tins::TCP(620, 50000) : Tins::TCP(50000, 620);
        tcp.seq(nextByte[toServer]);
        Tins::IP ip = toServer ? Tins::IP("127.0.0.3", "127.0.0.1") : Tins::IP("127.0.0.1", "127.0.0.3");
        const auto* payload = reinterpret_cast<const uint8_t*>(bytes.constData());
        packets.push_back((ip / tcp / Tins::RawPDU(payload, uint32_t(bytes.size()))).serialize());
        nextByte[toServer] += uint32_t(bytes.size());
    }
    void request(uint32_t code, const QByteArray& payload = {}) {
        const uint32_t header[4] = {code, uint32_t(payload.size()), 0, 0};
        segment(QByteArray(reinterpret_cast<const char*>(header), sizeof header) + payload, true);
    }

    QTemporaryDir dir;
    Frames packets;
    uint32_t nextByte[2] = {5000, 1000};  // the server's, the client's
};

TEST_F(DissectorTest, HelloAndProfilesShowSerialCountAndChecksumOnTheirPorts) {
    HelloBuffer hello;
    hello.setSerialNumber(54321);
    packets = ipv4Packets(QByteArray(reinterpret_cast<const char*>(hello.packet().data()), kHelloPacketSize), 6001);
    const QByteArray good = profileDatagram(1, 1280);
    QByteArray bad = good;
    bad[20] = char(bad[20] ^ 1);
    for (auto [port, datagram] : {std::pair{6003, good}, {31001, bad}, {7003, good}})  // 7003: set in the preferences
        packets.push_back(ipv4Packets(datagram, uint16_t(port))[0]);

    const QStringList fields{"px310.message", "px310.serial", "px310.count", "px310.checksum.status"};
    const std::string hello54321 = "hello\t54321\t\t\n", goodLine = "profile\t123\t1280\tgood\n",
                      badLine = "profile\t123\t1280\tbad\n";
    EXPECT_EQ(run("px310", fields), hello54321 + goodLine + badLine);
    EXPECT_EQ(run("px310", fields, {"-o", "px310.stream_port:7003"}), hello54321 + badLine + goodLine);
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

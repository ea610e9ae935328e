// The Wireshark dissector, run by tshark on a capture of every message type.
#include "CaptureTestSupport.h"

#include "params/UserParamsFields.h"
#include "tcp/CommandTable.h"
#include "udp/HelloPacket.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/tcp.h>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
QT_END_NAMESPACE

namespace {

constexpr uint16_t kClientPort = 50000;

// One TCP conversation with the command server, segment by segment.
class TcpConversation {
public:
    void request(uint32_t code, const QByteArray& payload = {}, uint32_t length = 0) {
        QByteArray bytes(16, '\0');
        const uint32_t header[4] = {code, uint32_t(payload.size()), 0, length};
        std::memcpy(bytes.data(), header, sizeof header);
        segment(bytes + payload, true);
    }
    void reply(const QByteArray& bytes) { segment(bytes, false); }
    std::vector<std::vector<uint8_t>> packets;

private:
    void segment(const QByteArray& bytes, bool toServer) {
        const char* client = "127.0.0.1";
        const char* server = "127.0.0.3";
        Tins::TCP tcp = toServer ? Tins::TCP(620, kClientPort) : Tins::TCP(kClientPort, 620);
        tcp.seq(toServer ? clientSeq_ : serverSeq_);
        tcp.ack_seq(toServer ? serverSeq_ : clientSeq_);
        tcp.flags(Tins::TCP::PSH | Tins::TCP::ACK);
        Tins::IP packet = Tins::IP(toServer ? server : client, toServer ? client : server) / tcp /
                          Tins::RawPDU(reinterpret_cast<const uint8_t*>(bytes.constData()), uint32_t(bytes.size()));
        packets.push_back(packet.serialize());
        (toServer ? clientSeq_ : serverSeq_) += uint32_t(bytes.size());
    }
    uint32_t clientSeq_ = 1000;
    uint32_t serverSeq_ = 5000;
};

// A record whose every named field holds a value of its own.
USER_PARAMS distinctRecord() {
    USER_PARAMS params{};
    int n = 0;
    for (const UserParamsField& field : kUserParamsFields) {
        ++n;
        if (field.kind == FieldKind::Address) {
            const uint8_t address[4] = {10, 0, uint8_t(n), 7};
            std::memcpy(fieldBytes(params, field), address, 4);
        } else {
            writeFieldInteger(params, field, field.width == 1 ? 100 + n : 1000 + n);
        }
    }
    return params;
}

QByteArray bytesOf(const USER_PARAMS& params) { return QByteArray(reinterpret_cast<const char*>(&params), 512); }

class DissectorTest : public testing::Test {
protected:
    void SetUp() override {
        tshark_ = QStandardPaths::findExecutable("tshark");
        if (tshark_.isEmpty())
            GTEST_SKIP() << "needs tshark";
    }

    // Each frame's values of `fields`, one line per frame that matches `filter`.
    QStringList run(const std::vector<std::vector<uint8_t>>& packets, const QString& filter, const QStringList& fields,
                    const QStringList& options = {}) {
        const QString path = dir_.filePath("c.pcap");
        writeCapture(path, DLT_RAW, {}, packets);
        QStringList arguments{"-X", "lua_script:" PX310_DISSECTOR, "-r", path, "-Y", filter, "-T", "fields"};
        for (const QString& field : fields)
            arguments << "-e" << field;
        QProcess tshark;
        tshark.start(tshark_, options + arguments);
        EXPECT_TRUE(tshark.waitForFinished(60000));
        const QString err = QString::fromUtf8(tshark.readAllStandardError());
        EXPECT_EQ(tshark.exitCode(), 0) << err.toStdString();
        EXPECT_FALSE(err.contains("Lua")) << err.toStdString();
        return QString::fromUtf8(tshark.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }

private:
    QString tshark_;
    QTemporaryDir dir_;
};

TEST_F(DissectorTest, HelloAndProfilesShowSerialCountAndChecksum) {
    HelloBuffer hello;
    hello.setSerialNumber(54321);
    const HelloBytes helloBytes = hello.packet();
    QByteArray goodBytes = profileDatagram(numberedProfile(1, 1280));
    QByteArray badBytes = goodBytes;
    badBytes[20] = char(badBytes[20] ^ 1);
    std::vector<std::vector<uint8_t>> packets =
        ipv4Packets(QByteArray(reinterpret_cast<const char*>(helloBytes.data()), kHelloPacketSize), "127.0.0.2", 6001, 1);
    for (auto& p : ipv4Packets(goodBytes, "127.0.0.2", 6003, 2))
        packets.push_back(p);
    packets.push_back(ipv4Packets(badBytes, "127.0.0.2", 31001, 3)[0]);
    packets.push_back(ipv4Packets(goodBytes, "127.0.0.2", 7003, 4)[0]);  // a port set in the preferences

    const QStringList fields{"px310.message", "px310.serial", "px310.count", "px310.checksum.status"};
    const QString hello54321 = "hello\t54321\t\t", good = "profile\t123\t1280\tgood", bad = "profile\t123\t1280\tbad";
    EXPECT_EQ(run(packets, "px310", fields), (QStringList{hello54321, good, bad}));
    EXPECT_EQ(run(packets, "px310", fields, {"-o", "px310.stream_port:7003"}), (QStringList{hello54321, bad, good}));
}

TEST_F(DissectorTest, RequestsCarryTheCommandTablesNames) {
    TcpConversation tcp;
    for (const CommandInfo& command : kCommandTable)
        tcp.request(command.code);
    tcp.request(200);
    const QStringList lines = run(tcp.packets, "px310", {"px310.command", "px310.command_name"});
    ASSERT_EQ(lines.size(), kCommandCount + 1);
    for (int i = 0; i < kCommandCount; ++i) {
        const CommandInfo& command = kCommandTable[size_t(i)];
        const QString name = *command.name ? QString::fromLatin1(command.name) : QStringLiteral("get result");
        EXPECT_EQ(lines[i], QStringLiteral("%1\t%2").arg(command.code).arg(name));
    }
    EXPECT_EQ(lines.last(), "200\tunknown");
}

TEST_F(DissectorTest, RecordFieldsByNameInWriteRequestAndReadReply) {
    const USER_PARAMS record = distinctRecord();
    TcpConversation tcp;
    tcp.request(5, bytesOf(record));
    tcp.reply("OK");
    tcp.request(4);
    tcp.reply(bytesOf(record).left(300));  // the reply spans two segments
    tcp.reply(bytesOf(record).mid(300));
    QStringList fields;
    QStringList expected;
    for (const UserParamsField& field : kUserParamsFields) {
        fields << QStringLiteral("px310.record.") + field.name;
        expected << fieldValueText(record, field);
    }
    const QStringList lines = run(tcp.packets, "px310.record.config_version_u16", fields);
    EXPECT_EQ(lines, (QStringList{expected.join('\t'), expected.join('\t')}));
    EXPECT_EQ(run(tcp.packets, "px310", {"px310.message"}).size(), 4) << "the reply's first segment waits for the rest";
}

}  // namespace

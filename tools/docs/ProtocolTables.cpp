// The tables of docs/protocol.md, taken from the definitions the emulator
// itself encodes and decodes with, so that the document cannot drift from them.
#include "ProtocolDoc.h"

#include "params/UserParamsFields.h"
#include "state/ScannerSettings.h"
#include "tcp/CommandTable.h"
#include "tcp/Replies.h"
#include "tcp/RequestHeader.h"
#include "udp/HelloPacket.h"
#include "udp/ProfilePacket.h"

#include <QStringList>
#include <map>
#include <vector>

namespace {

using Row = QStringList;

QString markdownTable(const Row& header, const std::vector<Row>& rows) {
    QStringList lines{QStringLiteral("| ") + header.join(QStringLiteral(" | ")) + QStringLiteral(" |")};
    lines << QStringLiteral("|") + QStringLiteral("---|").repeated(header.size());
    for (const Row& row : rows)
        lines << QStringLiteral("| ") + row.join(QStringLiteral(" | ")) + QStringLiteral(" |");
    return lines.join(QLatin1Char('\n'));
}

QString number(long long value) { return QString::number(value); }

QString integerType(std::size_t width) {
    return width == 1 ? QStringLiteral("u8") : QStringLiteral("u%1 LE").arg(8 * width);
}

// A field of a packed layout given by its start; it ends where the next one starts.
struct Span {
    int offset;
    QString name;
    QString type;
    QString meaning;
};

std::vector<Row> spanRows(const std::vector<Span>& spans, int end) {
    std::vector<Row> rows;
    for (size_t i = 0; i < spans.size(); ++i) {
        const int next = i + 1 < spans.size() ? spans[i + 1].offset : end;
        rows.push_back({number(spans[i].offset), number(next - spans[i].offset), spans[i].name, spans[i].type,
                        spans[i].meaning});
    }
    return rows;
}

const Row kSpanHeader{"Offset", "Size", "Field", "Type", "Meaning"};

#define PX310_HEADER_FIELD(member, meaning)                                                                   \
    Row{number(offsetof(REQUEST_HEADER, member)), number(sizeof(REQUEST_HEADER::member)), QStringLiteral(#member), \
        integerType(sizeof(REQUEST_HEADER::member)), QStringLiteral(meaning)}

std::optional<QString> requestHeaderTable() {
    return markdownTable(kSpanHeader,
                         {PX310_HEADER_FIELD(command, "the command code"),
                          PX310_HEADER_FIELD(payload_size, "bytes of payload that follow the header"),
                          PX310_HEADER_FIELD(offset, "get image buffer: first picture byte wanted; else unused"),
                          PX310_HEADER_FIELD(length, "get image buffer: most picture bytes wanted; else unused")});
}
#undef PX310_HEADER_FIELD

struct Exchange {
    QString request;
    QString reply;
};

Exchange exchangeOf(CommandAction action) {
    switch (action) {
    case CommandAction::LogOnly:
        return {QStringLiteral("-"), QStringLiteral("none: only logged")};
    case CommandAction::GetResult:
        return {QStringLiteral("-"),
                QStringLiteral("one profile datagram, %1 + 4 n bytes (%2 + 4 n with the step/dir trailer), n at most %3")
                    .arg(profilePacketSize(0, false))
                    .arg(profilePacketSize(0, true))
                    .arg(kMaxPacketPoints)};
    case CommandAction::GetImage:
        return {QStringLiteral("-"), QStringLiteral("none: a new picture transfer begins (image counter + 1, chunk counter 0)")};
    case CommandAction::GetImageBuffer:
        return {QStringLiteral("header `offset`, `length`"),
                QStringLiteral("%1 bytes (image counter, chunk counter, u8 each), then the picture bytes from `offset`, "
                               "at most `length`, none past the end; the chunk counter then goes up by one")
                    .arg(kPictureChunkHeaderSize)};
    case CommandAction::ReadParams:
        return {QStringLiteral("-"), QStringLiteral("the %1-byte parameter record").arg(kUserParamsSize)};
    case CommandAction::WriteParams:
        return {QStringLiteral("the %1-byte parameter record").arg(kUserParamsSize),
                QStringLiteral("`OK` (2 bytes); a payload of another size: none, the record is kept")};
    case CommandAction::FlushParams:
        return {QStringLiteral("-"), QStringLiteral("`OK` (2 bytes); the record is saved to the parameter file")};
    case CommandAction::ClientFinished:
        return {QStringLiteral("-"), QStringLiteral("none: the stream resumes, the connection stays open")};
    case CommandAction::GetExtents:
        return {QStringLiteral("-"), QStringLiteral("the %1-byte extents block").arg(kExtentsSize)};
    case CommandAction::ReadFactoryParams:
        return {QStringLiteral("-"), QStringLiteral("the %1-byte factory image").arg(kFactoryImageSize)};
    case CommandAction::WriteFactoryParams:
        return {QStringLiteral("any payload, then the %1-byte factory image").arg(kFactoryImageSize),
                QStringLiteral("none: the image's first %1 bytes replace the factory block's").arg(kFactoryWritableSize)};
    }
    return {};
}

std::optional<QString> commandTable() {
    std::vector<Row> rows;
    for (const CommandInfo& command : kCommandTable) {
        const Exchange exchange = exchangeOf(command.action);
        const QString name = *command.name ? QStringLiteral("`%1`").arg(command.name) : QStringLiteral("(none)");
        rows.push_back({number(command.code), name, exchange.request, exchange.reply});
    }
    return markdownTable({"Code", "Logged as", "Payload", "Reply"}, rows);
}

std::optional<QString> extentsTable() {
    const QByteArray block = extentsBlock();
    std::vector<Row> rows;
    for (int at = 0; at + 1 < block.size(); at += 2)
        rows.push_back({number(at), number(uint8_t(block[at]) | uint8_t(block[at + 1]) << 8)});
    return markdownTable({"Offset", "Value (u16 LE)"}, rows);
}

// A short packet of the stream: two points, serial 123, XEMR 70, ZDIAP 170.
QByteArray samplePacket(bool stepdir) {
    ProfileSnapshot points{{-100, 100}, {1000, 2000}};
    PacketFields fields;
    fields.measurementCounter = 1;
    fields.extSyncSignal = stepdir ? packet::kExtSyncStepdir : 0;
    fields.serial = encodeSerialNumber(123);
    fields.xemr = 70;
    fields.zdiap = 170;
    fields.stepdirForward = 1;
    QByteArray out;
    encodeProfilePacket(points, fields, out);
    return out;
}

unsigned byteAt(const QByteArray& bytes, int offset) { return uint8_t(bytes[offset]); }
unsigned wordAt(const QByteArray& bytes, int offset) { return byteAt(bytes, offset) | byteAt(bytes, offset + 1) << 8; }

std::optional<QString> profileHeaderTable() {
    using namespace packet;
    const QByteArray sample = samplePacket(false);
    return markdownTable(
        kSpanHeader,
        spanRows({{kMeasurementCounter, "measurement", integerType(2), "measurement counter, low 16 bits"},
                  {kPacketCounter, "packet", integerType(2), "packet counter, low 16 bits"},
                  {kReserved, "reserved", "bytes", "0"},
                  {kConstTwo, "constant", "u8", number(byteAt(sample, kConstTwo))},
                  {kConstFF, "constant", "u8", number(byteAt(sample, kConstFF))},
                  {kPointCount, "count", integerType(2), "n, the number of points that follow"}},
                 kHeaderSize));
}

std::optional<QString> profileTrailerTable() {
    using namespace packet;
    const QByteArray standard = samplePacket(false), stepdir = samplePacket(true);
    const int standardAt = profilePacketSize(2, false) - kStandardTrailerSize;
    const int stepdirAt = profilePacketSize(2, true) - kStepdirTrailerSize;
    const QString length = QStringLiteral("%1, or %2 in the step/dir form: the trailer's bytes between this field and the checksum")
                               .arg(wordAt(standard, standardAt + kTrailerLength))
                               .arg(wordAt(stepdir, stepdirAt + kTrailerLength));
    return markdownTable(
        kSpanHeader,
        spanRows({{kTrailerLength, "length", integerType(2), length},
                  {kTrailerOne, "constant", "u8", number(byteAt(standard, standardAt + kTrailerOne))},
                  {kTrailerSerial, "serial", "3 bytes", "the serial number, as in the hello packet"},
                  {kTrailerXemr, "xemr", integerType(2), "XEMR: the X range in mm"},
                  {kTrailerZdiap, "zdiap", integerType(2), "ZDIAP: the Z range in mm"},
                  {kTrailerStepdir, "stepdir", integerType(2), "step/dir form only: 1 forward, 0 backward"},
                  {kStepdirTrailerSize - 2, "checksum", integerType(2),
                   QStringLiteral("at %1 in the standard form, %2 in the step/dir form")
                       .arg(kStandardTrailerSize - 2)
                       .arg(kStepdirTrailerSize - 2)}},
                 kStepdirTrailerSize));
}

QString hexDump(const QByteArray& bytes) {
    QStringList lines;
    for (int at = 0; at < bytes.size(); at += 8)
        lines << QStringLiteral("%1: %2").arg(at, 2).arg(QString::fromLatin1(bytes.mid(at, 8).toHex(' ')));
    return lines.join(QLatin1Char('\n'));
}

// The sum laid out step by step; its result is the encoder's own checksum.
std::optional<QString> checksumExample() {
    const QByteArray packet = samplePacket(false);
    const int summed = packet.size() - 2;
    QStringList words;
    unsigned long sum = 0;
    for (int at = 0; at < summed; at += 2) {
        words << QStringLiteral("%1").arg(wordAt(packet, at), 4, 16, QLatin1Char('0'));
        sum += wordAt(packet, at);
    }
    unsigned long folded = sum;
    while (folded >> 16)
        folded = (folded & 0xFFFF) + (folded >> 16);
    const auto hex = [](unsigned long value) { return QStringLiteral("0x%1").arg(value, 4, 16, QLatin1Char('0')); };
    return QStringLiteral("```\n%1\n```\n\nThe %2 bytes before the checksum as %3 little-endian words:\n\n```\n%4\n```\n\n"
                          "Their sum is %5; its carries folded in give %6, whose complement is %7, sent as `%8`.")
        .arg(hexDump(packet))
        .arg(summed)
        .arg(summed / 2)
        .arg(words.join(QLatin1Char(' ')))
        .arg(hex(sum), hex(folded), hex(~folded & 0xFFFF))
        .arg(QString::fromLatin1(packet.right(2).toHex(' ')));
}

std::optional<QString> helloTable() {
    using namespace hello;
    const std::vector<Span> before{{kDeviceType, "device type", integerType(2), "310"},
                                   {kAddress, "address", "4 bytes", "the scanner's IPv4 address, first number first"},
                                   {kMac, "MAC", "6 bytes", "hardware address"}};
    std::vector<Row> rows = spanRows(before, kFactoryParamsOffset);
    rows.push_back({number(kFactoryParamsOffset), number(kFactoryParamsSize), "factory block", "bytes",
                    "the factory parameters; the rows below lie inside it"});
    const std::vector<Span> inside{{kSerial, "serial", "3 bytes", "b0 + 256 b1 + 32768 b2; b1 holds 7 bits"},
                                   {kZbase, "zbase", integerType(2), "ZBASE"},
                                   {kZdiap, "zdiap", integerType(2), "ZDIAP: the Z range in mm"},
                                   {kXsmr, "xsmr", integerType(2), "XSMR"},
                                   {kXemr, "xemr", integerType(2), "XEMR: the X range in mm"}};
    const std::vector<Row> block = spanRows(inside, kXemr + 2);
    rows.insert(rows.end(), block.begin(), block.end());
    rows.push_back({number(kRunMarkerA), "2", "run marker", "bytes", "17, 0 once the scanner has started"});
    rows.push_back({number(kUdpPort), "2", "udp port", integerType(2), "the stream port at the start"});
    rows.push_back({number(kTcpPort), "2", "tcp port", integerType(2), "the command port at the start"});
    return markdownTable(kSpanHeader, rows);
}

// What the emulator does with the fields it uses; every other field is only kept.
const std::map<QString, QString>& fieldEffects() {
    static const std::map<QString, QString> effects{
        {"udp_ip_address_u8", "the stream's destination with `--stream-to record`; else kept only"},
        {"udp_port_u16", "the stream's port (read for every packet); announced by the hello as it was at the start"},
        {"udp_frequency_u16", "the stream's rate and the results' pace in Hz; a change restarts both timelines; 0 stops the stream"},
        {"tcp_port_u16", "the command server's port, read at the start; announced by the hello as it was then"},
        {"tcp_ip_address_u8", "the scanner's address: the command server listens there (set at the start)"},
        {"tcp_subnet_mask_u8", "with `tcp_ip_address_u8`, the network whose broadcast address gets the subnet copy"},
        {"ext_sync_signal_u16", QStringLiteral("%1 selects the step/dir trailer in stream and results").arg(packet::kExtSyncStepdir)},
        {"interpolation_u8", "the point count: 80, 160, 320, 640 or 1280 points for 0 to 4 (4 adds midpoints to a drawing)"},
        {"dhs_enable_u8", "the measurement period of a scene: 2.03666 ms when set, else 4.032258 ms; a change restarts the stream's timeline"},
        {"wUDP", "0 holds the stream (nothing sent, the packet counter stands still)"},
        {"invertXZ", "bit 0 negates X, bit 1 replaces Z by 16384 - Z, in stream and results"},
        {"localSAPEnabled", "1 adds a copy of every stream packet to the subnet's broadcast address, port 31001"},
    };
    return effects;
}

QString fieldEffect(const char* name) {
    const auto it = fieldEffects().find(QString::fromLatin1(name));
    return it == fieldEffects().end() ? QStringLiteral("kept, read, written and flushed; nothing else") : it->second;
}

// A line for a name that is no field (renamed in the record) makes no table.
std::optional<QString> paramsTable() {
    for (const auto& [name, effect] : fieldEffects())
        if (!findUserParamsField(name))
            return std::nullopt;
    const USER_PARAMS defaults = defaultUserParams();
    std::vector<Row> rows;
    for (const UserParamsField& field : kUserParamsFields) {
        const QString type = field.kind == FieldKind::Address ? QStringLiteral("IPv4, reversed") : integerType(field.width);
        rows.push_back({number(field.offset), number(field.width), QStringLiteral("`%1`").arg(field.name), type,
                        fieldValueText(defaults, field), fieldEffect(field.name)});
    }
    rows.push_back({number(offsetof(USER_PARAMS, reserved)), number(sizeof(USER_PARAMS::reserved)), "reserved", "bytes",
                    "0", "kept as written; not in the parameter file"});
    return markdownTable({"Offset", "Size", "Field", "Type", "Default", "What the emulator does"}, rows);
}

}  // namespace

std::optional<QString> protocolTable(const QString& name) {
    static const std::map<QString, std::optional<QString> (*)()> tables{
        {"request-header", requestHeaderTable}, {"commands", commandTable},
        {"extents", extentsTable},              {"profile-header", profileHeaderTable},
        {"profile-trailer", profileTrailerTable}, {"checksum-example", checksumExample},
        {"hello", helloTable},                  {"params", paramsTable},
    };
    const auto it = tables.find(name);
    return it == tables.end() ? std::nullopt : it->second();
}

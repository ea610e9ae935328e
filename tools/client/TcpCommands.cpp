#include "TcpCommands.h"

#include "ClientError.h"
#include "CommandLine.h"
#include "JsonOutput.h"
#include "ProfilePlot.h"
#include "ProgressLine.h"

#include "files/OutputFile.h"
#include "params/UserParamsFields.h"
#include "profile/CameraPicture.h"
#include "profile/CsvProfile.h"
#include "tcp/Replies.h"
#include "udp/HelloDecoder.h"
#include "udp/ProfilePacketDecoder.h"

#include <QImage>
#include <QJsonArray>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

namespace {

enum Code : uint32_t {
    kGetResult = 1,
    kGetImage = 2,
    kGetImageBuffer = 3,
    kReadParams = 4,
    kWriteParams = 5,
    kFlushParams = 6,
    kGetExtents = 32,
    kReadFactoryParams = 130,
};

const QByteArray kOk = QByteArrayLiteral("OK");
constexpr int kExtentsValues = kExtentsSize / 2;
constexpr int kDefaultChunk = 16384;
constexpr int kDefaultRawWaitMs = 500;

uint16_t u16At(const QByteArray& bytes, int offset) {
    return readU16(reinterpret_cast<const uint8_t*>(bytes.constData()), offset);
}

USER_PARAMS readParams(ScannerConnection& connection) {
    const QByteArray image = connection.request(kReadParams, kUserParamsSize);
    USER_PARAMS params;
    std::memcpy(&params, image.constData(), kUserParamsSize);
    return params;
}

void expectOk(ScannerConnection& connection, uint32_t command) {
    const QByteArray reply = connection.receive(kOk.size(), commandLabel(command));
    if (reply != kOk)
        fail(kExitProtocol, QStringLiteral("%1 answered %2 instead of OK").arg(commandLabel(command), reply.toHex(' ')));
}

const UserParamsField& fieldNamed(const QString& name) {
    const UserParamsField* field = findUserParamsField(name);
    if (!field)
        fail(kExitUsage, QStringLiteral("no parameter named \"%1\" (px310-client params get lists them)").arg(name));
    return *field;
}

void printField(QTextStream& out, const USER_PARAMS& params, const UserParamsField& field) {
    out << QStringLiteral("%1 = %2\n").arg(QLatin1String(field.name), -26).arg(fieldValueText(params, field));
}

// Numbers as numbers, addresses as dotted text.
QJsonValue fieldJson(const USER_PARAMS& params, const UserParamsField& field) {
    if (field.kind == FieldKind::Address)
        return fieldValueText(params, field);
    return double(readFieldInteger(params, field));
}

// Closes the help of params get and set; the shell completion reads the names there.
QString fieldNamesHelp() {
    QStringList names;
    for (const UserParamsField& field : kUserParamsFields)
        names << QLatin1String(field.name);
    return QStringLiteral("\n\nFields: ") + names.join(QLatin1Char(' '));
}

int paramsGet(const QStringList& arguments, QTextStream& out) {
    CommandLine line(QStringLiteral("params get [FIELD...] [--json]"),
                     QStringLiteral("Reads the 512-byte parameter record and prints every named field, or only the "
                                    "fields given, with its value (addresses as dotted text).") +
                         fieldNamesHelp(),
                     CommandLine::Server);
    addJsonOption(line);
    if (!line.parse(arguments, out))
        return kExitOk;
    std::vector<const UserParamsField*> fields;
    for (const QString& name : line.positional())
        fields.push_back(&fieldNamed(name));
    if (fields.empty())
        for (const UserParamsField& field : kUserParamsFields)
            fields.push_back(&field);

    ScannerConnection connection(line.endpoint());
    const USER_PARAMS params = readParams(connection);
    if (wantsJson(line)) {
        QJsonObject object;
        for (const UserParamsField* field : fields)
            object.insert(QLatin1String(field->name), fieldJson(params, *field));
        printJson(out, object);
        return kExitOk;
    }
    for (const UserParamsField* field : fields)
        printField(out, params, *field);
    return kExitOk;
}

using FieldChange = std::pair<const UserParamsField*, QString>;

// Every FIELD=VALUE is checked before anything is sent.
std::vector<FieldChange> parseChanges(const QStringList& assignments) {
    std::vector<FieldChange> changes;
    USER_PARAMS scratch{};
    for (const QString& assignment : assignments) {
        const int equals = assignment.indexOf('=');
        if (equals <= 0)
            fail(kExitUsage, QStringLiteral("\"%1\" is not FIELD=VALUE").arg(assignment));
        const UserParamsField& field = fieldNamed(assignment.left(equals));
        const QString value = assignment.mid(equals + 1);
        if (const MaybeFailure failure = setFieldFromText(scratch, field, value))
            fail(kExitUsage, failure->message);
        changes.emplace_back(&field, value);
    }
    return changes;
}

int paramsSet(const QStringList& arguments, QTextStream& out) {
    CommandLine line(QStringLiteral("params set FIELD=VALUE..."),
                     QStringLiteral("Reads the parameter record, changes the fields given and writes the whole record "
                                    "back (the emulator answers OK). Addresses are dotted text. The emulator keeps "
                                    "the change until it stops; params flush saves it to its INI file.") +
                         fieldNamesHelp(),
                     CommandLine::Server);
    if (!line.parse(arguments, out))
        return kExitOk;
    if (line.positional().isEmpty())
        fail(kExitUsage, QStringLiteral("params set needs at least one FIELD=VALUE"));
    const std::vector<FieldChange> changes = parseChanges(line.positional());

    ScannerConnection connection(line.endpoint());
    const USER_PARAMS before = readParams(connection);
    USER_PARAMS after = before;
    for (const FieldChange& change : changes)
        setFieldFromText(after, *change.first, change.second);
    connection.send(kWriteParams, paramsImage(after));
    expectOk(connection, kWriteParams);
    for (const FieldChange& change : changes)
        out << QStringLiteral("%1: %2 -> %3\n")
                   .arg(QLatin1String(change.first->name), fieldValueText(before, *change.first),
                        fieldValueText(after, *change.first));
    return kExitOk;
}

int paramsFlush(const QStringList& arguments, QTextStream& out) {
    CommandLine line(QStringLiteral("params flush"),
                     QStringLiteral("Asks the emulator to save its parameter record to its INI file."),
                     CommandLine::Server);
    if (!line.parse(arguments, out))
        return kExitOk;
    line.positional(0);
    ScannerConnection connection(line.endpoint());
    connection.send(kFlushParams);
    expectOk(connection, kFlushParams);
    out << "flushed\n";
    return kExitOk;
}

// One result packet off the connection: header, points and trailer length,
// then the rest of the trailer that length announces.
QByteArray receiveResult(ScannerConnection& connection, int index) {
    const QString what = QStringLiteral("get result #%1").arg(index);
    QByteArray bytes = connection.receive(packet::kHeaderSize, what);
    const int points = u16At(bytes, packet::kPointCount);
    bytes += connection.receive(4 * points + 2, what);
    const uint16_t trailerLength = u16At(bytes, bytes.size() - 2);
    if (trailerLength != kStandardTrailerLength && trailerLength != kStepdirTrailerLength)
        fail(kExitProtocol, QStringLiteral("%1: trailer length %2 is neither %3 nor %4")
                                .arg(what)
                                .arg(trailerLength)
                                .arg(kStandardTrailerLength)
                                .arg(kStepdirTrailerLength));
    bytes += connection.receive(trailerLength + 2, what);
    return bytes;
}

void printResult(QTextStream& out, const DecodedProfilePacket& p, int index, bool withPoints) {
    out << QStringLiteral("result %1: measurement %2, packet %3, %4 points, serial %5, XEMR %6, ZDIAP %7")
               .arg(index)
               .arg(p.measurementCounter)
               .arg(p.packetCounter)
               .arg(p.x.size())
               .arg(p.serial)
               .arg(p.xemr)
               .arg(p.zdiap);
    if (p.stepdir)
        out << QStringLiteral(", step/dir %1").arg(p.stepdirForward ? "forward" : "backward");
    out << ", checksum ok\n";
    if (!withPoints)
        return;
    out << QStringLiteral("%1 %2 %3\n").arg("#", 6).arg("X mm", 12).arg("Z mm", 12);
    for (size_t i = 0; i < p.x.size(); ++i)
        out << QStringLiteral("%1 %2 %3\n")
                   .arg(i, 6)
                   .arg(unitsToMillimetres(p.x[i], p.xemr), 12, 'f', 4)
                   .arg(unitsToMillimetres(p.z[i], p.zdiap), 12, 'f', 4);
}

QJsonObject resultJson(const DecodedProfilePacket& p, int index, bool withPoints) {
    QJsonObject result{{QStringLiteral("index"), index},
                       {QStringLiteral("measurement"), double(p.measurementCounter)},
                       {QStringLiteral("packet"), double(p.packetCounter)},
                       {QStringLiteral("point_count"), int(p.x.size())},
                       {QStringLiteral("serial"), double(p.serial)},
                       {QStringLiteral("xemr"), double(p.xemr)},
                       {QStringLiteral("zdiap"), double(p.zdiap)}};
    if (p.stepdir)
        result.insert(QStringLiteral("stepdir"),
                      p.stepdirForward ? QStringLiteral("forward") : QStringLiteral("backward"));
    if (!withPoints)
        return result;
    QJsonArray points;
    for (size_t i = 0; i < p.x.size(); ++i)
        points.append(QJsonObject{{QStringLiteral("x_mm"), unitsToMillimetres(p.x[i], p.xemr)},
                                  {QStringLiteral("z_mm"), unitsToMillimetres(p.z[i], p.zdiap)}});
    result.insert(QStringLiteral("points"), points);
    return result;
}

// `error` is what a file writer returned: empty when the file is in place.
void failUnlessWritten(const MaybeFailure& failure) {
    if (failure)
        fail(kExitFile, failure->message);
}

void writeResultCsv(const QString& path, const DecodedProfilePacket& p) {
    std::vector<ProfilePoint> points(p.x.size());
    for (size_t i = 0; i < points.size(); ++i)
        points[i] = ProfilePoint{p.x[i], p.z[i]};
    failUnlessWritten(writeCsvProfile(path, points, CsvScale{p.xemr, p.zdiap}, CsvX::AsMeasured));
}

void writeResultPlot(const QString& path, const DecodedProfilePacket& p) {
    std::vector<QPointF> points(p.x.size());
    for (size_t i = 0; i < points.size(); ++i)
        points[i] = QPointF(unitsToMillimetres(p.x[i], p.xemr), unitsToMillimetres(p.z[i], p.zdiap));
    const QString title = QStringLiteral("PX310 serial %1, measurement %2: %3 points, XEMR %4 mm, ZDIAP %5 mm")
                              .arg(p.serial)
                              .arg(p.measurementCounter)
                              .arg(points.size())
                              .arg(p.xemr)
                              .arg(p.zdiap);
    failUnlessWritten(writeImageFile(path, ProfilePlot(p.xemr, p.zdiap).draw(points, title)));
}

int runResultWith(const CommandLine& line, QTextStream& out) {
    const int count = static_cast<int>(line.number(QStringLiteral("n"), 1, 1000000, 1));
    const bool json = wantsJson(line);
    // A file given takes the points: the terminal gets them only when asked,
    // a script reading JSON unless --summary.
    const bool toFile = line.isSet(QStringLiteral("csv")) || line.isSet(QStringLiteral("plot"));
    const bool withPoints =
        line.isSet(QStringLiteral("points")) || ((json || !toFile) && !line.isSet(QStringLiteral("summary")));
    ScannerConnection connection(line.endpoint());
    DecodedProfilePacket last;
    for (int i = 0; i < count; ++i) {
        connection.send(kGetResult);
        const PacketDecode decoded = decodeProfilePacket(receiveResult(connection, i));
        if (!decoded.ok())
            fail(kExitProtocol, QStringLiteral("result %1: %2").arg(i).arg(decoded.failure.message));
        if (json)
            printJson(out, resultJson(decoded.packet, i, withPoints));
        else
            printResult(out, decoded.packet, i, withPoints);
        last = decoded.packet;
    }
    if (line.isSet(QStringLiteral("csv"))) {
        writeResultCsv(line.value(QStringLiteral("csv")), last);
        if (!json)
            out << QStringLiteral("wrote %1 points to %2\n").arg(last.x.size()).arg(line.value(QStringLiteral("csv")));
    }
    if (line.isSet(QStringLiteral("plot"))) {
        writeResultPlot(line.value(QStringLiteral("plot")), last);
        if (!json)
            out << QStringLiteral("plotted %1 points to %2\n")
                       .arg(last.x.size())
                       .arg(line.value(QStringLiteral("plot")));
    }
    return kExitOk;
}

// The picture as an image: column after column, 255 for dark.
QImage pictureImage(const QByteArray& picture) {
    QImage image(kPictureWidth, kPictureHeight, QImage::Format_Grayscale8);
    for (int y = 0; y < kPictureHeight; ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < kPictureWidth; ++x)
            row[x] = uchar(255 - uint8_t(picture[x * kPictureHeight + y]));
    }
    return image;
}

QByteArray fetchPicture(ScannerConnection& connection, int chunkSize, QTextStream& out) {
    connection.send(kGetImage);
    QByteArray picture;
    int imageCounter = -1;
    ProgressLine progress;
    for (int chunk = 0; picture.size() < kCameraPictureSize; ++chunk) {
        progress.show(QStringLiteral("%1 of %2 bytes").arg(picture.size()).arg(kCameraPictureSize));
        const int length = std::min(chunkSize, kCameraPictureSize - int(picture.size()));
        connection.send(kGetImageBuffer, {}, uint32_t(picture.size()), uint32_t(length));
        const QByteArray reply = connection.receive(kPictureChunkHeaderSize + length,
                                                    QStringLiteral("get image buffer at %1").arg(picture.size()));
        if (imageCounter < 0)
            imageCounter = uint8_t(reply[0]);
        if (uint8_t(reply[0]) != imageCounter || uint8_t(reply[1]) != uint8_t(chunk))
            fail(kExitProtocol, QStringLiteral("chunk %1 is numbered image %2 chunk %3, expected image %4 chunk %5")
                                    .arg(chunk)
                                    .arg(uint8_t(reply[0]))
                                    .arg(uint8_t(reply[1]))
                                    .arg(imageCounter)
                                    .arg(uint8_t(chunk)));
        picture += reply.mid(kPictureChunkHeaderSize);
    }
    out << QStringLiteral("image %1: %2 bytes in chunks of %3\n").arg(imageCounter).arg(picture.size()).arg(chunkSize);
    return picture;
}

std::array<uint8_t, kMacSize> factoryMac(const QByteArray& image) {
    std::array<uint8_t, kMacSize> mac{};
    std::memcpy(mac.data(), image.constData() + hello::kFactoryTemplateMac, kMacSize);
    return mac;
}

FactoryFields factoryFields(const QByteArray& image) {
    return decodeFactoryBlock(reinterpret_cast<const uint8_t*>(image.constData()));
}

QString factoryText(const QByteArray& image) {
    const FactoryFields f = factoryFields(image);
    return QStringLiteral("serial %1\nZBASE %2\nZDIAP %3\nXSMR %4\nXEMR %5\nUDP port %6\nTCP port %7\nMAC %8\n")
        .arg(f.serial)
        .arg(f.zbase)
        .arg(f.zdiap)
        .arg(f.xsmr)
        .arg(f.xemr)
        .arg(f.udpPort)
        .arg(f.tcpPort)
        .arg(macText(factoryMac(image)));
}

// fromHex skips what is not a digit; a typo must not send other bytes.
QByteArray hexPayload(const QString& text) {
    const QByteArray digits = text.toLatin1().replace(' ', QByteArray());
    const bool wellFormed = digits.size() % 2 == 0 && std::all_of(digits.begin(), digits.end(), [](char c) {
                                return std::isxdigit(static_cast<unsigned char>(c));
                            });
    if (!wellFormed)
        fail(kExitUsage, QStringLiteral("--payload takes pairs of hex digits such as \"01 02 ff\", not \"%1\"").arg(text));
    return QByteArray::fromHex(digits);
}

}  // namespace

QString hexDump(const QByteArray& bytes) {
    QString text;
    for (int row = 0; row < bytes.size(); row += 16)
        text += QStringLiteral("%1  %2\n")
                    .arg(row, 4, 16, QLatin1Char('0'))
                    .arg(QString::fromLatin1(bytes.mid(row, 16).toHex(' ')));
    return text;
}

int runParams(const QStringList& arguments, QTextStream& out) {
    const QString sub = arguments.value(0);
    const QStringList rest = arguments.mid(1);
    if (sub == QLatin1String("get"))
        return paramsGet(rest, out);
    if (sub == QLatin1String("set"))
        return paramsSet(rest, out);
    if (sub == QLatin1String("flush"))
        return paramsFlush(rest, out);
    if (sub == QLatin1String("--help") || sub == QLatin1String("-h")) {
        out << "Usage: px310-client params get [FIELD...] | set FIELD=VALUE... | flush\n"
               "Each has its own --help.\n";
        return kExitOk;
    }
    fail(kExitUsage, QStringLiteral("params needs get, set or flush (see params --help)"));
}

int runResult(const QStringList& arguments, QTextStream& out) {
    CommandLine line(QStringLiteral("result [-n N] [--csv FILE] [--plot FILE.png] [--summary | --points] [--json]"),
                     QStringLiteral("Fetches N results (default 1), checks each checksum and prints the counters, the "
                                    "point count and the points in millimetres. --csv writes the last result's points "
                                    "as a CSV profile (x;z in mm) that px310-headless --profile loads back unchanged; "
                                    "--plot draws it over the measuring range. With --csv or --plot the points go "
                                    "only into the file unless --points is given."),
                     CommandLine::Server);
    line.addShortOption(QStringLiteral("n"), QStringLiteral("count"), QStringLiteral("Number of results."),
                        QStringLiteral("N"));
    line.addOption(QStringLiteral("csv"), QStringLiteral("Write the last result to this CSV file."),
                   QStringLiteral("FILE"));
    line.addOption(QStringLiteral("plot"),
                   QStringLiteral("Draw the last result in millimetres, with axes, into this image (PNG)."),
                   QStringLiteral("FILE.png"));
    line.addOption(QStringLiteral("summary"), QStringLiteral("Print one line per result, no points."));
    line.addOption(QStringLiteral("points"), QStringLiteral("Print the points also with --csv or --plot."));
    addJsonOption(line);
    if (!line.parse(arguments, out))
        return kExitOk;
    line.positional(0);
    return runResultWith(line, out);
}

int runImage(const QStringList& arguments, QTextStream& out) {
    CommandLine line(QStringLiteral("image FILE.png [--chunk BYTES]"),
                     QStringLiteral("Fetches the whole camera picture (480 x 640) in chunks and saves it as an image "
                                    "file; the file name's suffix picks the format."),
                     CommandLine::Server);
    line.addOption(QStringLiteral("chunk"), QStringLiteral("Bytes per chunk request (default 16384)."),
                   QStringLiteral("BYTES"));
    if (!line.parse(arguments, out))
        return kExitOk;
    const QString path = line.positional(1).first();
    const int chunk = static_cast<int>(line.number(QStringLiteral("chunk"), 1, kCameraPictureSize, kDefaultChunk));
    ScannerConnection connection(line.endpoint());
    const QImage image = pictureImage(fetchPicture(connection, chunk, out));
    failUnlessWritten(writeImageFile(path, image));
    out << QStringLiteral("saved %1\n").arg(path);
    return kExitOk;
}

int runExtents(const QStringList& arguments, QTextStream& out) {
    CommandLine line(QStringLiteral("extents [--json]"), QStringLiteral("Prints the 15 values of the extents block."),
                     CommandLine::Server);
    addJsonOption(line);
    if (!line.parse(arguments, out))
        return kExitOk;
    line.positional(0);
    ScannerConnection connection(line.endpoint());
    const QByteArray block = connection.request(kGetExtents, kExtentsSize);
    if (wantsJson(line)) {
        QJsonArray values;
        for (int i = 0; i < kExtentsValues; ++i)
            values.append(u16At(block, 2 * i));
        printJson(out, {{QStringLiteral("extents"), values}});
        return kExitOk;
    }
    for (int i = 0; i < kExtentsValues; ++i)
        out << QStringLiteral("extent[%1] = %2\n").arg(i).arg(u16At(block, 2 * i));
    return kExitOk;
}

int runFactory(const QStringList& arguments, QTextStream& out) {
    CommandLine line(QStringLiteral("factory get [--hex] [--json]"),
                     QStringLiteral("Reads the 1024-byte factory parameters image and prints its fields."),
                     CommandLine::Server);
    line.addOption(QStringLiteral("hex"), QStringLiteral("Also print all 1024 bytes."));
    addJsonOption(line);
    if (!line.parse(arguments, out))
        return kExitOk;
    if (line.positional() != QStringList{QStringLiteral("get")})
        fail(kExitUsage, QStringLiteral("factory needs get (see factory --help)"));
    ScannerConnection connection(line.endpoint());
    const QByteArray image = connection.request(kReadFactoryParams, kFactoryImageSize);
    if (wantsJson(line)) {
        QJsonObject factory = factoryJson(factoryFields(image), factoryMac(image));
        if (line.isSet(QStringLiteral("hex")))
            factory.insert(QStringLiteral("bytes_hex"), QString::fromLatin1(image.toHex()));
        printJson(out, factory);
        return kExitOk;
    }
    out << factoryText(image);
    if (line.isSet(QStringLiteral("hex")))
        out << hexDump(image);
    return kExitOk;
}

int runRaw(const QStringList& arguments, QTextStream& out) {
    CommandLine line(
        QStringLiteral("raw CODE [--payload HEX] [--offset N] [--length N] [--expect BYTES | --wait MS]"),
        QStringLiteral("Sends one request with any command code (decimal or 0x-hex) and prints the reply in hex. "
                       "Most commands answer nothing: without --expect the client prints what arrives "
                       "within --wait ms (default 500)."),
        CommandLine::Server);
    line.addOption(QStringLiteral("payload"), QStringLiteral("Payload bytes in hex, e.g. \"01 02 ff\"."),
                   QStringLiteral("HEX"));
    line.addOption(QStringLiteral("offset"), QStringLiteral("The header's offset field."), QStringLiteral("N"));
    line.addOption(QStringLiteral("length"), QStringLiteral("The header's length field."), QStringLiteral("N"));
    line.addOption(QStringLiteral("expect"), QStringLiteral("Wait for exactly this many reply bytes."),
                   QStringLiteral("BYTES"));
    line.addOption(QStringLiteral("wait"), QStringLiteral("Collect reply bytes for this long, in ms."),
                   QStringLiteral("MS"));
    if (!line.parse(arguments, out))
        return kExitOk;
    long long code = 0;
    const QString codeText = line.positional(1).first();
    if (!parseNumber(codeText, code) || code < 0 || code > 0xFFFFFFFFLL)
        fail(kExitUsage, QStringLiteral("\"%1\" is not a command code").arg(codeText));
    const QByteArray payload = hexPayload(line.value(QStringLiteral("payload")));
    const auto offset = uint32_t(line.number(QStringLiteral("offset"), 0, 0xFFFFFFFFLL, 0));
    const auto length = uint32_t(line.number(QStringLiteral("length"), 0, 0xFFFFFFFFLL, 0));
    const int expect = static_cast<int>(line.number(QStringLiteral("expect"), 0, 16 * 1024 * 1024, -1));
    const int waitMs = static_cast<int>(line.number(QStringLiteral("wait"), 0, 3600000, kDefaultRawWaitMs));

    ScannerConnection connection(line.endpoint());
    connection.send(uint32_t(code), payload, offset, length);
    out << QStringLiteral("sent %1 with %2 payload bytes\n").arg(commandLabel(uint32_t(code))).arg(payload.size());
    const QByteArray reply =
        expect >= 0 ? connection.receive(expect, commandLabel(uint32_t(code))) : connection.receiveFor(waitMs);
    out << QStringLiteral("reply: %1 bytes\n").arg(reply.size()) << hexDump(reply);
    return kExitOk;
}

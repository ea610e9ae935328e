#include "udp/ProfilePacketDecoder.h"

#include "udp/HelloDecoder.h"

namespace {

constexpr double kUnitsPerRange = 16384.0;
constexpr uint8_t kConstTwo = 2;
constexpr uint8_t kConstFF = 255;
constexpr uint8_t kTrailerOne = 1;

PacketDecode refuse(PacketFault fault, const QString& error) {
    PacketDecode result;
    result.failure = {fault, error};
    return result;
}

// The packet's size as its header and trailer-length field say, 0 when the
// bytes are too few to tell or the trailer length is neither form's.
int announcedSize(const uint8_t* bytes, int size, bool& stepdir) {
    if (size < packet::kHeaderSize)
        return 0;
    const int trailer = packet::kHeaderSize + 4 * readU16(bytes, packet::kPointCount);
    if (size < trailer + 2)
        return 0;
    const uint16_t trailerLength = readU16(bytes, trailer + packet::kTrailerLength);
    if (trailerLength != kStandardTrailerLength && trailerLength != kStepdirTrailerLength)
        return 0;
    stepdir = trailerLength == kStepdirTrailerLength;
    return trailer + (stepdir ? packet::kStepdirTrailerSize : packet::kStandardTrailerSize);
}

}  // namespace

PacketDecode decodeProfilePacket(const QByteArray& bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    const int size = bytes.size();
    bool stepdir = false;
    const int expected = announcedSize(data, size, stepdir);
    if (expected == 0 || expected != size)
        return refuse(PacketFault::Malformed,
                      QStringLiteral("%1 bytes do not form a profile packet (point count and trailer length disagree)")
                          .arg(size));
    const uint16_t stored = readU16(data, size - 2);
    const uint16_t computed = packetChecksum(data, size - 2);
    if (stored != computed)
        return refuse(PacketFault::Checksum, QStringLiteral("checksum %1 where the bytes give %2")
                                                 .arg(stored, 4, 16, QLatin1Char('0'))
                                                 .arg(computed, 4, 16, QLatin1Char('0')));
    const int n = readU16(data, packet::kPointCount);
    const int trailer = packet::kHeaderSize + 4 * n;
    if (data[packet::kConstTwo] != kConstTwo || data[packet::kConstFF] != kConstFF ||
        data[trailer + packet::kTrailerOne] != kTrailerOne)
        return refuse(PacketFault::Malformed, QStringLiteral("constant bytes of the packet are wrong"));

    PacketDecode result;
    DecodedProfilePacket& p = result.packet;
    p.measurementCounter = readU16(data, packet::kMeasurementCounter);
    p.packetCounter = readU16(data, packet::kPacketCounter);
    p.stepdir = stepdir;
    p.serial = decodeSerialNumber(data + trailer + packet::kTrailerSerial);
    p.xemr = readU16(data, trailer + packet::kTrailerXemr);
    p.zdiap = readU16(data, trailer + packet::kTrailerZdiap);
    if (stepdir)
        p.stepdirForward = readU16(data, trailer + packet::kTrailerStepdir);
    p.x.resize(n);
    p.z.resize(n);
    for (int i = 0; i < n; ++i) {
        p.x[i] = static_cast<int16_t>(readU16(data, packet::kHeaderSize + 2 * i));
        p.z[i] = readU16(data, packet::kHeaderSize + 2 * n + 2 * i);
    }
    return result;
}

double unitsToMillimetres(int units, int millimetresPerRange) { return units * millimetresPerRange / kUnitsPerRange; }

#pragma once

#include "profile/ProfileStore.h"
#include "udp/HelloPacket.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <functional>

// The largest profile one datagram can carry: 24 + 4 * 16370 bytes stays under
// the 65507-byte UDP payload limit and the 16-bit lengths. The stream and the
// result command both cut profiles to this.
constexpr int kMaxPacketPoints = 16370;

// Packet layout. The header is 12 bytes; the trailer starts at 12 + 4 * n.
namespace packet {
constexpr int kMeasurementCounter = 0;
constexpr int kPacketCounter = 2;
constexpr int kReserved = 4;
constexpr int kConstTwo = 8;
constexpr int kConstFF = 9;
constexpr int kPointCount = 10;
constexpr int kHeaderSize = 12;
// Offsets from the trailer start.
constexpr int kTrailerLength = 0;
constexpr int kTrailerOne = 2;
constexpr int kTrailerSerial = 3;
constexpr int kTrailerXemr = 6;
constexpr int kTrailerZdiap = 8;
constexpr int kTrailerStepdir = 10;       // step/dir form only
constexpr int kStandardTrailerSize = 12;  // including the checksum
constexpr int kStepdirTrailerSize = 14;
constexpr uint16_t kExtSyncStepdir = 4;   // ext_sync_signal_u16 selecting the step/dir form
}  // namespace packet

constexpr int profilePacketSize(int points, bool stepdir) {
    return packet::kHeaderSize + 4 * points + (stepdir ? packet::kStepdirTrailerSize : packet::kStandardTrailerSize);
}
static_assert(profilePacketSize(kMaxPacketPoints, true) <= 65507, "largest packet must fit one UDP datagram");

// RFC 1071 Internet checksum over little-endian 16-bit words (size is even).
uint16_t packetChecksum(const uint8_t* data, size_t size);

// Everything of a packet that is not a point.
struct PacketFields {
    uint32_t measurementCounter = 0;  // low 16 bits are sent
    uint32_t packetCounter = 0;       // low 16 bits are sent
    uint16_t extSyncSignal = 0;       // 4 selects the step/dir trailer
    SerialBytes serial{};
    uint16_t xemr = 0;
    uint16_t zdiap = 0;
    uint8_t stepdirForward = 0;
};

// One noise offset for one coordinate; called for Z, then X, of each point in order.
using NoiseSource = std::function<uint16_t()>;

// Bit 0 of invertXZ negates X, bit 1 replaces Z by 16384 - Z; then, when
// `noise` is set, its values are added (all 16-bit, wrapping).
void transformProfile(ProfileSnapshot& points, uint8_t invertXZ, const NoiseSource& noise);

// Noise of the stream (0 or 1 per coordinate) and of the result command
// (0 .. level - 1), both drawn at random. Empty for level 0.
NoiseSource streamNoise(int level);
NoiseSource resultNoise(int level);

// What a reused datagram buffer holds from its last encoding. Points of the
// same stamp and count are neither written nor summed again: the checksum
// is a sum, and their part of it is kept here.
struct EncodedPoints {
    uint64_t stamp = 0;  // 0: not known
    int count = 0;
    uint64_t wordSum = 0;  // of their bytes, not folded
};

// Encodes the first min(count, kMaxPacketPoints) points into `out`, reusing
// its storage. With `encoded`, `out` must be the buffer it describes.
void encodeProfilePacket(const ProfileSnapshot& points, const PacketFields& fields, QByteArray& out,
                         EncodedPoints* encoded = nullptr);

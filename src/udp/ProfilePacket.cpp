#include "udp/ProfilePacket.h"

#include <QtEndian>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

void putU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

// One generator per thread: streams and servers draw at once without a lock
// or a shared global state.
uint32_t drawNoise() {
    thread_local std::minstd_rand generator{std::random_device{}()};
    return static_cast<uint32_t>(generator());
}

NoiseSource randomNoise(int level, int modulus) {
    if (level <= 0)
        return {};
    return [level, modulus] { return static_cast<uint16_t>((drawNoise() % uint32_t(level)) % uint32_t(modulus)); };
}

}  // namespace

namespace {

// The little-endian 16-bit words of `data` added up, the carries not yet folded in.
uint64_t wordSum(const uint8_t* data, size_t size) {
    uint64_t sum = 0;
    size_t i = 0;
    // Four words a step (every packet is summed): the carries all fold in at the end.
    for (; i + 8 <= size; i += 8) {
        const uint64_t words = qFromLittleEndian<quint64>(data + i);
        sum += (words & 0xFFFF) + (words >> 16 & 0xFFFF) + (words >> 32 & 0xFFFF) + (words >> 48);
    }
    for (; i + 1 < size; i += 2)
        sum += uint32_t(data[i]) | uint32_t(data[i + 1]) << 8;
    return sum;
}

uint16_t foldedChecksum(uint64_t sum) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

}  // namespace

uint16_t packetChecksum(const uint8_t* data, size_t size) { return foldedChecksum(wordSum(data, size)); }

void transformProfile(ProfileSnapshot& points, uint8_t invertXZ, const NoiseSource& noise) {
    const int n = points.count();
    if ((invertXZ & 3) || noise)
        points.stamp = 0;  // no longer what the store holds
    if (invertXZ & 1)
        for (int i = 0; i < n; ++i)
            points.x[i] = static_cast<int16_t>(-static_cast<uint16_t>(points.x[i]));
    if (invertXZ & 2)
        for (int i = 0; i < n; ++i)
            points.z[i] = static_cast<uint16_t>(16384 - points.z[i]);
    if (noise)
        for (int i = 0; i < n; ++i) {
            points.z[i] = static_cast<uint16_t>(points.z[i] + noise());
            points.x[i] = static_cast<int16_t>(static_cast<uint16_t>(points.x[i]) + noise());
        }
}

NoiseSource streamNoise(int level) { return randomNoise(level, 2); }
NoiseSource resultNoise(int level) { return randomNoise(level, level > 0 ? level : 1); }

void encodeProfilePacket(const ProfileSnapshot& points, const PacketFields& fields, QByteArray& out,
                         EncodedPoints* encoded) {
    const int n = std::min(points.count(), kMaxPacketPoints);
    const bool stepdir = fields.extSyncSignal == packet::kExtSyncStepdir;
    out.resize(profilePacketSize(n, stepdir));
    uint8_t* p = reinterpret_cast<uint8_t*>(out.data());

    putU16(p + packet::kMeasurementCounter, static_cast<uint16_t>(fields.measurementCounter));
    putU16(p + packet::kPacketCounter, static_cast<uint16_t>(fields.packetCounter));
    std::memset(p + packet::kReserved, 0, 4);
    p[packet::kConstTwo] = 2;
    p[packet::kConstFF] = 0xFF;
    putU16(p + packet::kPointCount, static_cast<uint16_t>(n));

    uint8_t* xs = p + packet::kHeaderSize;
    uint8_t* zs = xs + 2 * n;
    uint8_t* t = zs + 2 * n;
    const bool inPlace = encoded && points.stamp != 0 && encoded->stamp == points.stamp && encoded->count == n;
    uint64_t pointsSum = inPlace ? encoded->wordSum : 0;
    if (!inPlace) {
        // Whole arrays at once: a plain copy on a little-endian host.
        if (n > 0) {
            qToLittleEndian<uint16_t>(points.x.data(), n, xs);
            qToLittleEndian<uint16_t>(points.z.data(), n, zs);
        }
        pointsSum = wordSum(xs, size_t(t - xs));
    }
    if (encoded)
        *encoded = {points.stamp, n, pointsSum};

    putU16(t + packet::kTrailerLength, stepdir ? 10 : 8);
    t[packet::kTrailerOne] = 1;
    std::copy(fields.serial.begin(), fields.serial.end(), t + packet::kTrailerSerial);
    putU16(t + packet::kTrailerXemr, fields.xemr);
    putU16(t + packet::kTrailerZdiap, fields.zdiap);
    int checksumAt = packet::kTrailerStepdir;
    if (stepdir) {
        putU16(t + packet::kTrailerStepdir, fields.stepdirForward);
        checksumAt += 2;
    }
    // The header and the points are whole words: the three parts add up.
    const uint64_t sum = wordSum(p, packet::kHeaderSize) + pointsSum + wordSum(t, size_t(checksumAt));
    putU16(t + checksumAt, foldedChecksum(sum));
}

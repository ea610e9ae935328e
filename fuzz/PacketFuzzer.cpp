// Random profiles and packet settings go through the transformation and the
// encoder; the clients' decoder reads the packet again and every field and
// point is compared with what went in, the bytes it passes over by hand. The
// input's raw bytes also go to the decoder as a datagram from anywhere.
#include "FuzzCheck.h"
#include "udp/ProfilePacket.h"
#include "udp/ProfilePacketDecoder.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>

namespace {

// Reproducible noise, so the expected points can be worked out again.
struct NoiseSequence {
    uint32_t state;
    uint16_t level;
    uint16_t next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<uint16_t>((state >> 16) % level);
    }
};

uint16_t u16At(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

struct Input {
    ProfileSnapshot points;
    PacketFields fields;
    uint8_t invertXZ = 0;
    NoiseSequence noise{0, 0};
    int previousOutSize = 0;
};

Input readInput(FuzzedDataProvider& in) {
    Input input;
    input.fields.measurementCounter = in.ConsumeIntegral<uint32_t>();
    input.fields.packetCounter = in.ConsumeIntegral<uint32_t>();
    input.fields.extSyncSignal = in.ConsumeBool() ? packet::kExtSyncStepdir : in.ConsumeIntegral<uint16_t>();
    for (uint8_t& b : input.fields.serial)
        b = in.ConsumeIntegral<uint8_t>();
    input.fields.xemr = in.ConsumeIntegral<uint16_t>();
    input.fields.zdiap = in.ConsumeIntegral<uint16_t>();
    input.fields.stepdirForward = in.ConsumeIntegral<uint8_t>();
    input.invertXZ = in.ConsumeIntegral<uint8_t>();
    input.noise = {in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegralInRange<uint16_t>(0, 300)};
    input.previousOutSize = in.ConsumeIntegralInRange<int>(0, 70000);
    // Either a few points from the input or a long generated profile around
    // the packet's point limit.
    const bool longProfile = in.ConsumeBool();
    const int n = longProfile ? in.ConsumeIntegralInRange<int>(kMaxPacketPoints - 2, kMaxPacketPoints + 40)
                              : in.ConsumeIntegralInRange<int>(0, 300);
    const uint32_t seed = in.ConsumeIntegral<uint32_t>();
    input.points.x.resize(n);
    input.points.z.resize(n);
    for (int i = 0; i < n; ++i) {
        const uint32_t mixed = (seed ^ uint32_t(i)) * 2654435761u;
        input.points.x[i] = longProfile || in.remaining_bytes() == 0 ? int16_t(mixed) : in.ConsumeIntegral<int16_t>();
        input.points.z[i] = longProfile || in.remaining_bytes() == 0 ? uint16_t(mixed >> 16)
                                                                     : in.ConsumeIntegral<uint16_t>();
    }
    return input;
}

// The points as the packet must carry them, worked out without the encoder's helpers.
ProfileSnapshot expectedPoints(const Input& input) {
    ProfileSnapshot out = input.points;
    NoiseSequence noise = input.noise;
    for (int i = 0; i < out.count(); ++i) {
        if (input.invertXZ & 1)
            out.x[i] = static_cast<int16_t>(0 - uint16_t(out.x[i]));
        if (input.invertXZ & 2)
            out.z[i] = static_cast<uint16_t>(16384 - out.z[i]);
        if (noise.level > 0) {
            out.z[i] = static_cast<uint16_t>(out.z[i] + noise.next());
            out.x[i] = static_cast<int16_t>(uint16_t(out.x[i]) + noise.next());
        }
    }
    return out;
}

// The bytes the decoder reads past: the constants, the serial and the checksum.
void checkPacket(const QByteArray& packetBytes, const Input& input, int n) {
    const PacketFields& f = input.fields;
    const bool stepdir = f.extSyncSignal == packet::kExtSyncStepdir;
    require(packetBytes.size() == 12 + 4 * n + (stepdir ? 14 : 12), "packet length");
    require(packetBytes.size() <= 65507, "fits one datagram");
    const auto* p = reinterpret_cast<const uint8_t*>(packetBytes.constData());
    require(p[4] == 0 && p[5] == 0 && p[6] == 0 && p[7] == 0 && p[8] == 2 && p[9] == 0xFF, "header constants");
    const uint8_t* t = p + 12 + 4 * n;
    require(u16At(t) == (stepdir ? 10 : 8) && t[2] == 1, "trailer length and marker");
    require(std::equal(f.serial.begin(), f.serial.end(), t + 3), "serial number");
    const int checksumAt = packetBytes.size() - 2;
    require(u16At(p + checksumAt) == packetChecksum(p, size_t(checksumAt)), "stored checksum");
}

void checkClientDecoder(const QByteArray& packetBytes, const Input& input, const ProfileSnapshot& want) {
    const PacketDecode decoded = decodeProfilePacket(packetBytes);
    require(decoded.ok(), "the clients' decoder takes an encoded packet");
    const DecodedProfilePacket& p = decoded.packet;
    const int n = std::min(want.count(), kMaxPacketPoints);
    require(p.measurementCounter == uint16_t(input.fields.measurementCounter) &&
                p.packetCounter == uint16_t(input.fields.packetCounter),
            "decoded counters");
    require(p.stepdir == (input.fields.extSyncSignal == packet::kExtSyncStepdir), "decoded form");
    require(p.xemr == input.fields.xemr && p.zdiap == input.fields.zdiap, "decoded XEMR and ZDIAP");
    require(!p.stepdir || p.stepdirForward == input.fields.stepdirForward, "decoded direction");
    require(std::equal(p.x.begin(), p.x.end(), want.x.begin(), want.x.begin() + n) && int(p.x.size()) == n &&
                std::equal(p.z.begin(), p.z.end(), want.z.begin(), want.z.begin() + n) && int(p.z.size()) == n,
            "decoded points");
}

// Whatever arrives: refused, or a packet whose length and checksum hold.
void checkForeignDatagram(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    const PacketDecode decoded = decodeProfilePacket(bytes);
    if (!decoded.ok())
        return;
    require(decoded.packet.x.size() == decoded.packet.z.size(), "as many X as Z");
    require(bytes.size() == profilePacketSize(int(decoded.packet.x.size()), decoded.packet.stepdir),
            "accepted length matches the point count");
    require(packetChecksum(data, size) == 0, "accepted packet sums to 0xFFFF");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Input input = readInput(in);
    const ProfileSnapshot want = expectedPoints(input);

    ProfileSnapshot points = input.points;
    NoiseSequence noise = input.noise;
    NoiseSource source;
    if (noise.level > 0)
        source = [&noise] { return noise.next(); };
    transformProfile(points, input.invertXZ, source);
    require(points.x == want.x && points.z == want.z, "transformed points");

    QByteArray out(input.previousOutSize, '\xAB');  // the encoder reuses whatever it is given
    encodeProfilePacket(points, input.fields, out);
    checkPacket(out, input, std::min(want.count(), kMaxPacketPoints));
    checkClientDecoder(out, input, want);
    checkForeignDatagram(data, size);
    return 0;
}

#pragma once

#include "log/Failure.h"
#include "udp/ProfilePacket.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

// Reading side of the profile packet, for clients of the emulator.

// The trailer-length field: trailer bytes after it, up to the checksum.
constexpr uint16_t kStandardTrailerLength = packet::kStandardTrailerSize - 4;
constexpr uint16_t kStepdirTrailerLength = packet::kStepdirTrailerSize - 4;

struct DecodedProfilePacket {
    uint16_t measurementCounter = 0;
    uint16_t packetCounter = 0;
    bool stepdir = false;
    int serial = 0;
    uint16_t xemr = 0;
    uint16_t zdiap = 0;
    uint16_t stepdirForward = 0;  // step/dir form only
    std::vector<int16_t> x;
    std::vector<uint16_t> z;
};

enum class PacketFault { None, Malformed, Checksum };

struct PacketDecode {
    DecodedProfilePacket packet;
    BasicFailure<PacketFault> failure;  // its message says what is wrong
    bool ok() const { return failure.code == PacketFault::None; }
};

// Checks the length against the point count and the trailer, the constants
// and the checksum before taking any value out.
PacketDecode decodeProfilePacket(const QByteArray& bytes);

// Scanner units to millimetres: 16384 units span the range.
double unitsToMillimetres(int units, int millimetresPerRange);

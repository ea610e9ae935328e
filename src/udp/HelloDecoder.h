#pragma once

#include "udp/HelloPacket.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

// Reading side of the hello packet and of the factory parameters block, for
// clients of the emulator.

// A little-endian u16 at `offset`; the caller has checked the length.
inline uint16_t readU16(const uint8_t* bytes, int offset) {
    return uint16_t(bytes[offset] | (bytes[offset + 1] << 8));
}

// Inverse of encodeSerialNumber: byte 2 counts units of 32768.
int decodeSerialNumber(const uint8_t bytes[3]);

// The values of the factory parameters block (256 bytes, as in the hello
// packet from offset 12 and at the start of the factory parameters image).
struct FactoryFields {
    int serial = 0;
    uint16_t zbase = 0;
    uint16_t zdiap = 0;
    uint16_t xsmr = 0;
    uint16_t xemr = 0;
    uint16_t udpPort = 0;
    uint16_t tcpPort = 0;
};

// `block` holds kFactoryParamsSize bytes.
FactoryFields decodeFactoryBlock(const uint8_t* block);

struct HelloInfo {
    uint16_t deviceType = 0;
    QString address;  // dotted, first number first
    std::array<uint8_t, kMacSize> mac{};
    FactoryFields factory;
};

// Nothing unless the datagram is exactly one hello packet long.
std::optional<HelloInfo> decodeHelloPacket(const QByteArray& datagram);

// "AA:BB:CC:DD:EE:FF"
QString macText(const std::array<uint8_t, kMacSize>& mac);

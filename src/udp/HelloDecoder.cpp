#include "udp/HelloDecoder.h"

#include <QStringList>

namespace {

// Offsets of the block are the hello packet's offsets less the block's start.
constexpr int blockOffset(int helloOffset) { return helloOffset - kFactoryParamsOffset; }

}  // namespace

int decodeSerialNumber(const uint8_t bytes[3]) { return bytes[2] * 32768 + bytes[1] * 256 + bytes[0]; }

FactoryFields decodeFactoryBlock(const uint8_t* block) {
    FactoryFields fields;
    fields.serial = decodeSerialNumber(block + blockOffset(hello::kSerial));
    fields.zbase = readU16(block, blockOffset(hello::kZbase));
    fields.zdiap = readU16(block, blockOffset(hello::kZdiap));
    fields.xsmr = readU16(block, blockOffset(hello::kXsmr));
    fields.xemr = readU16(block, blockOffset(hello::kXemr));
    fields.udpPort = readU16(block, blockOffset(hello::kUdpPort));
    fields.tcpPort = readU16(block, blockOffset(hello::kTcpPort));
    return fields;
}

std::optional<HelloInfo> decodeHelloPacket(const QByteArray& datagram) {
    if (datagram.size() != kHelloPacketSize)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.constData());
    HelloInfo info;
    info.deviceType = readU16(bytes, hello::kDeviceType);
    info.address = QStringLiteral("%1.%2.%3.%4")
                       .arg(bytes[hello::kAddress])
                       .arg(bytes[hello::kAddress + 1])
                       .arg(bytes[hello::kAddress + 2])
                       .arg(bytes[hello::kAddress + 3]);
    for (int i = 0; i < kMacSize; ++i)
        info.mac[i] = bytes[hello::kMac + i];
    info.factory = decodeFactoryBlock(bytes + kFactoryParamsOffset);
    return info;
}

QString macText(const std::array<uint8_t, kMacSize>& mac) {
    QStringList parts;
    for (uint8_t byte : mac)
        parts << QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(':');
}

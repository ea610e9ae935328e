#include "udp/HelloDecoder.h"

#include <QStringList>

namespace {

// Offsets of the block are the hello packet's offsets less the block's start.
constexpr int blockOffset(int helloOffset) { return helloOffset - kFactoryParamsOffset; }

uint16_t u16At(const uint8_t* bytes, int offset) { return uint16_t(bytes[offset] | (bytes[offset + 1] << 8)); }

}  // namespace

int decodeSerialNumber(const uint8_t bytes[3]) { return bytes[2] * 32768 + bytes[1] * 256 + bytes[0]; }

FactoryFields decodeFactoryBlock(const uint8_t* block) {
    FactoryFields fields;
    fields.serial = decodeSerialNumber(block + blockOffset(hello::kSerial));
    fields.zbase = u16At(block, blockOffset(hello::kZbase));
    fields.zdiap = u16At(block, blockOffset(hello::kZdiap));
    fields.xsmr = u16At(block, blockOffset(hello::kXsmr));
    fields.xemr = u16At(block, blockOffset(hello::kXemr));
    fields.udpPort = u16At(block, blockOffset(hello::kUdpPort));
    fields.tcpPort = u16At(block, blockOffset(hello::kTcpPort));
    return fields;
}

std::optional<HelloInfo> decodeHelloPacket(const QByteArray& datagram) {
    if (datagram.size() != kHelloPacketSize)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.constData());
    HelloInfo info;
    info.deviceType = u16At(bytes, hello::kDeviceType);
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

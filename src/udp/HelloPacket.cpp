#include "udp/HelloPacket.h"

#include <QStringList>
#include <algorithm>
#include <cstring>

namespace {

// Default MAC, sent until the announcer has read the host's (locally administered).
constexpr uint8_t kDefaultMac[kMacSize] = {0x02, 0x00, 0x00, 0x00, 0x03, 0x10};

// Hello packet bytes 12..267, the factory parameters block as shipped.
constexpr uint8_t kFactoryBlockTemplate[kFactoryParamsSize] = {
    0x87, 0x7B, 0x00, 0x00, 0x28, 0x00, 0xAF, 0x00, 0x22, 0x00, 0xA0, 0x00,              // 12..23
    0x00, 0x40, 0x00, 0x80, 0x9A, 0x54, 0x33, 0x01, 0x01, 0xD4, 0x53, 0x33, 0x01, 0xD4, 0x53, 0x33,  // 24..39
    0x01, 0x64, 0x77, 0x33, 0x01, 0xFC, 0x64, 0x7B, 0x00, 0xFC, 0xD4, 0xA0, 0xCD, 0xFC, 0xB0, 0x95,  // 40..55
    0xF9, 0xFB, 0x58, 0x4F, 0xFD, 0xFB, 0xE4, 0xE2, 0x00, 0xFC, 0xF0, 0xE7, 0xFD, 0xFB, 0xC4, 0xC7,  // 56..71
    0x01, 0xFC, 0x70, 0x81, 0x05, 0xFC, 0x9C, 0xA8, 0xDF, 0xFC, 0x78, 0x9D, 0x0B, 0xFC, 0x00, 0x31,  // 72..87
    0x0F, 0xFC, 0x84, 0xC4, 0x12, 0xFC, 0x84, 0xC4, 0x12, 0xFC, 0x0C, 0x58, 0x16, 0xFC, 0x94, 0xEB,  // 88..103
    0x19, 0xFC, 0x1C, 0x7F, 0x1D, 0xFC, 0xC8, 0x38, 0x21, 0xFC, 0xC8, 0x38, 0x21, 0xFC, 0x50, 0xCC,  // 104..119
    0x24, 0xFC, 0xD4, 0x5F, 0x28, 0xFC, 0x5C, 0xF3, 0x2B, 0xFC, 0xE4, 0x86, 0x2F, 0xFC, 0x6C, 0x1A,  // 120..135
    0x33, 0xFC, 0x6C, 0x1A, 0x33, 0xFC, 0xF0, 0xAD, 0x36, 0xFC, 0x78, 0x41, 0x3A, 0xFC, 0x00, 0xD5,  // 136..151
    0x3D, 0xFC, 0x00, 0xD5, 0x3D, 0xFC, 0x88, 0x68, 0x41, 0xFC, 0x01, 0xFC, 0x44, 0xFC, 0xB8, 0xB5,  // 152..167
    0x48, 0xFC, 0x40, 0x49, 0x4C, 0xFC, 0x7C, 0x90, 0x4F, 0xFC, 0x28, 0x4A, 0x53, 0xFC, 0xB0, 0xDD,  // 168..183
    0x56, 0xFC, 0xD8, 0x03, 0x57, 0xFC, 0x5C, 0x97, 0x5A, 0xFC, 0xE4, 0x2A, 0x5E, 0xFC, 0x6C, 0xBE,  // 184..199
    0x61, 0xFC, 0x30, 0x88, 0x63, 0xFC, 0x00, 0xFF, 0x01, 0xFC, 0x78, 0xE5, 0x68, 0xFC, 0x00, 0x79,  // 200..215
    0x6C, 0xFC, 0xAC, 0x32, 0x70, 0xFC, 0x34, 0xC6, 0x73, 0xFC, 0xBC, 0x59, 0x77, 0xFC, 0x40, 0xED,  // 216..231
    0x7A, 0xFC, 0x24, 0xD2, 0x7B, 0xFC,                                                  // 232..237
    0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,  // 238..253
    0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,  // 254..267
};

struct TemplateRun {
    int offset;
    std::initializer_list<uint8_t> bytes;
};

// Non-zero runs of the factory template's tail (bytes 256..1023); the MAC at
// 272 is filled separately.
const TemplateRun kFactoryTemplateRuns[] = {
    {257, {0x40, 0x00, 0x00, 0x00, 0x2A, 0x38, 0x01}},
    {488, {0x03, 0x01, 0x03, 0x28, 0xFF, 0x0F, 0x00, 0x00, 0xFF, 0x0F, 0x00, 0x00, 0xFF, 0x0F}},
    {510, {0x32, 0x07, 0xFF, 0x02, 0x64, 0x00, 0x64}},
    {526, {0xC0, 0xA8, 0x01, 0x64, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x73, 0x17, 0x00, 0x00, 0x6C,
           0x02}},
};

}  // namespace

SerialBytes encodeSerialNumber(int serial) {
    const uint32_t s = static_cast<uint32_t>(serial);
    return {static_cast<uint8_t>(s % 256), static_cast<uint8_t>((s % 32768) / 256), static_cast<uint8_t>(s / 32768)};
}

HelloBuffer::HelloBuffer() {
    packet_.fill(0);
    packet_[0] = 0x36;  // device type 310
    packet_[1] = 0x01;
    const uint8_t defaultAddress[4] = {192, 168, 2, 96};
    std::memcpy(&packet_[hello::kAddress], defaultAddress, 4);
    std::memcpy(&packet_[hello::kMac], kDefaultMac, kMacSize);
    std::memcpy(&packet_[kFactoryParamsOffset], kFactoryBlockTemplate, kFactoryParamsSize);

    factoryTemplate_.fill(0);
    for (const TemplateRun& run : kFactoryTemplateRuns)
        std::copy(run.bytes.begin(), run.bytes.end(), factoryTemplate_.begin() + run.offset);
    std::memcpy(&factoryTemplate_[hello::kFactoryTemplateMac], kDefaultMac, kMacSize);
}

HelloBytes HelloBuffer::packet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return packet_;
}

SerialBytes HelloBuffer::serialBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {packet_[hello::kSerial], packet_[hello::kSerial + 1], packet_[hello::kSerial + 2]};
}

FactoryImage HelloBuffer::factoryImage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    FactoryImage image = factoryTemplate_;
    std::memcpy(image.data(), &packet_[kFactoryParamsOffset], kFactoryParamsSize);
    return image;
}

void HelloBuffer::setLocalAddress(const QString& address) {
    if (address.isEmpty())
        return;
    const QStringList parts = address.split(QLatin1Char('.'));
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < 4; ++i)
        packet_[hello::kAddress + i] = static_cast<uint8_t>(i < parts.size() ? parts[i].toInt() & 0xFF : 0);
}

void HelloBuffer::setSerialNumber(int serial) {
    const SerialBytes bytes = encodeSerialNumber(serial);
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy(bytes.begin(), bytes.end(), packet_.begin() + hello::kSerial);
}

void HelloBuffer::setXsmr(int value) { setU16(hello::kXsmr, value); }
void HelloBuffer::setXemr(int value) { setU16(hello::kXemr, value); }
void HelloBuffer::setZbase(int value) { setU16(hello::kZbase, value); }
void HelloBuffer::setZdiap(int value) { setU16(hello::kZdiap, value); }

void HelloBuffer::markRunning(uint16_t udpPort, uint16_t tcpPort) {
    std::lock_guard<std::mutex> lock(mutex_);
    packet_[hello::kUdpPort] = udpPort & 0xFF;
    packet_[hello::kUdpPort + 1] = udpPort >> 8;
    packet_[hello::kTcpPort] = tcpPort & 0xFF;
    packet_[hello::kTcpPort + 1] = tcpPort >> 8;
    packet_[hello::kRunMarkerA] = 17;
    packet_[hello::kRunMarkerB] = 0;
}

void HelloBuffer::setMac(const std::array<uint8_t, kMacSize>& mac) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy(mac.begin(), mac.end(), packet_.begin() + hello::kMac);
    std::copy(mac.begin(), mac.end(), factoryTemplate_.begin() + hello::kFactoryTemplateMac);
}

void HelloBuffer::writeFactoryPrefix(const uint8_t* data, int size) {
    const int n = std::clamp(size, 0, kFactoryWritableSize);
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(&packet_[kFactoryParamsOffset], data, n);
}

void HelloBuffer::setU16(int offset, int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    packet_[offset] = static_cast<uint8_t>(value & 0xFF);
    packet_[offset + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <mutex>

constexpr int kHelloPacketSize = 268;
constexpr int kFactoryParamsOffset = 12;  // the factory parameters block inside the hello packet
constexpr int kFactoryParamsSize = 256;
constexpr int kFactoryImageSize = 1024;   // read-factory-params reply: block + template tail
constexpr int kFactoryWritableSize = 49;  // leading block bytes a client may overwrite
constexpr int kMacSize = 6;

// Byte offsets inside the hello packet.
namespace hello {
constexpr int kDeviceType = 0;
constexpr int kAddress = 2;
constexpr int kMac = 6;
constexpr int kSerial = 13;
constexpr int kZbase = 16;
constexpr int kZdiap = 18;
constexpr int kXsmr = 20;
constexpr int kXemr = 22;
constexpr int kRunMarkerA = 45;  // set to 17 when the scanner starts
constexpr int kRunMarkerB = 46;  // set to 0 when the scanner starts
constexpr int kUdpPort = 232;
constexpr int kTcpPort = 236;
constexpr int kFactoryTemplateMac = 272;  // MAC copy inside the factory template
}  // namespace hello

using HelloBytes = std::array<uint8_t, kHelloPacketSize>;
using FactoryImage = std::array<uint8_t, kFactoryImageSize>;
using SerialBytes = std::array<uint8_t, 3>;

// The serial number's 3-byte form: the middle byte holds only 7 bits.
SerialBytes encodeSerialNumber(int serial);

// One scanner's hello packet, whose bytes 12..267 are its only copy of the
// factory parameters, and the 1024-byte factory template. The scanner's
// announcer, stream and command server all go through this one guarded
// object; each call is atomic with respect to the others.
class HelloBuffer {
public:
    HelloBuffer();  // filled from the built-in template

    HelloBytes packet() const;
    SerialBytes serialBytes() const;
    FactoryImage factoryImage() const;

    // Empty text changes nothing; missing or non-numeric parts give 0.
    void setLocalAddress(const QString& address);
    void setSerialNumber(int serial);
    void setXsmr(int value);
    void setXemr(int value);
    void setZbase(int value);
    void setZdiap(int value);
    // What the announcer stamps into the packet when the scanner starts.
    void markRunning(uint16_t udpPort, uint16_t tcpPort);
    // Sets the MAC in the packet and in the factory template.
    void setMac(const std::array<uint8_t, kMacSize>& mac);
    // Overwrites the leading bytes of the factory block; at most
    // kFactoryWritableSize bytes are taken.
    void writeFactoryPrefix(const uint8_t* data, int size);

private:
    void setU16(int offset, int value);

    mutable std::mutex mutex_;
    HelloBytes packet_;
    FactoryImage factoryTemplate_;
};

#pragma once

#include <QString>
#include <array>
#include <cstdint>

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

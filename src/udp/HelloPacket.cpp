#include "udp/HelloPacket.h"

SerialBytes encodeSerialNumber(int serial) {
    const uint32_t s = static_cast<uint32_t>(serial);
    return {static_cast<uint8_t>(s % 256), static_cast<uint8_t>((s % 32768) / 256), static_cast<uint8_t>(s / 32768)};
}

#pragma once

#include "udp/HelloPacket.h"

#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

// Who the scanner is: its hello packet, whose bytes 12..267 are its only copy
// of the factory parameters, and the 1024-byte factory template. The
// scanner's announcer, stream and command server all go through this one
// guarded object; each call is atomic with respect to the others.
class DeviceIdentity {
public:
    DeviceIdentity();  // filled from the built-in template

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
    // Goes up with every write: a reader keeping a copy reads again when it moved.
    uint64_t revision() const { return revision_.load(std::memory_order_acquire); }

private:
    void setU16(int offset, int value);
    template <typename Change>
    void write(Change&& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change();
        revision_.fetch_add(1, std::memory_order_acq_rel);
    }

    std::atomic<uint64_t> revision_{0};

    mutable std::mutex mutex_;
    HelloBytes packet_;
    FactoryImage factoryTemplate_;
};

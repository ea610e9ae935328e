#include "capture/PcapRecorder.h"

#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/udp.h>

namespace {
constexpr uint32_t kSnapLength = 65535;
constexpr int kMaxUdpPayload = 65507;
constexpr uint32_t kPcapMagic = 0xa1b2c3d4;  // microsecond times, in the writer's byte order
constexpr uint32_t kLinkTypeRawIpv4 = 101;   // the file's name for what libpcap calls DLT_RAW

Tins::IPv4Address address(uint32_t hostOrder) { return Tins::IPv4Address(Tins::Endian::host_to_be(hostOrder)); }

template <typename... Values>
QByteArray packed(Values... values) {
    QByteArray bytes;
    (bytes.append(reinterpret_cast<const char*>(&values), sizeof values), ...);
    return bytes;
}

// The file header: format version 2.4, times in UTC, no time accuracy given.
QByteArray fileHeader() {
    return packed(kPcapMagic, uint16_t(2), uint16_t(4), int32_t(0), uint32_t(0), kSnapLength, kLinkTypeRawIpv4);
}

}  // namespace

MaybeFailure PcapRecorder::open(const QString& path) {
    file_.emplace(path);
    written_ = 0;
    if (file_->open())
        file_->write(fileHeader());
    return file_->failure();
}

bool PcapRecorder::write(const QByteArray& payload, const DatagramAddresses& addresses, int64_t microsecondsSinceEpoch) {
    if (!file_ || payload.size() > kMaxUdpPayload)
        return false;
    Tins::IP packet = Tins::IP(address(addresses.destination), address(addresses.source)) /
                      Tins::UDP(addresses.destinationPort, addresses.sourcePort) /
                      Tins::RawPDU(reinterpret_cast<const uint8_t*>(payload.constData()), uint32_t(payload.size()));
    const Tins::PDU::serialization_type bytes = packet.serialize();
    const auto length = uint32_t(bytes.size());
    QByteArray record = packed(uint32_t(microsecondsSinceEpoch / 1000000), uint32_t(microsecondsSinceEpoch % 1000000),
                               length, length);
    record.append(reinterpret_cast<const char*>(bytes.data()), int(length));
    if (!file_->write(record))
        return false;
    ++written_;
    return true;
}

bool PcapRecorder::close() { return file_ && file_->commit(); }

#include "capture/PcapRecorder.h"

#include <QFile>
#include <pcap/pcap.h>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/udp.h>

namespace {
constexpr int kSnapLength = 65535;
constexpr int kMaxUdpPayload = 65507;

Tins::IPv4Address address(uint32_t hostOrder) { return Tins::IPv4Address(Tins::Endian::host_to_be(hostOrder)); }
}  // namespace

PcapRecorder::~PcapRecorder() { close(); }

bool PcapRecorder::open(const QString& path, QString& error) {
    close();
    pcap_ = pcap_open_dead(DLT_RAW, kSnapLength);
    dumper_ = pcap_ ? pcap_dump_open(pcap_, QFile::encodeName(path).constData()) : nullptr;
    if (!dumper_) {
        error = QStringLiteral("cannot write %1: %2").arg(path, pcap_ ? QString::fromLocal8Bit(pcap_geterr(pcap_)) : QString());
        close();
        return false;
    }
    written_ = 0;
    return true;
}

bool PcapRecorder::write(const QByteArray& payload, const DatagramAddresses& addresses, int64_t microsecondsSinceEpoch) {
    if (!dumper_ || payload.size() > kMaxUdpPayload)
        return false;
    Tins::IP packet = Tins::IP(address(addresses.destination), address(addresses.source)) /
                      Tins::UDP(addresses.destinationPort, addresses.sourcePort) /
                      Tins::RawPDU(reinterpret_cast<const uint8_t*>(payload.constData()), uint32_t(payload.size()));
    const Tins::PDU::serialization_type bytes = packet.serialize();
    pcap_pkthdr header{};
    header.ts.tv_sec = time_t(microsecondsSinceEpoch / 1000000);
    header.ts.tv_usec = suseconds_t(microsecondsSinceEpoch % 1000000);
    header.caplen = header.len = bpf_u_int32(bytes.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, bytes.data());
    ++written_;
    return true;
}

bool PcapRecorder::close() {
    bool ok = true;
    if (dumper_) {
        ok = pcap_dump_flush(dumper_) == 0;
        pcap_dump_close(dumper_);
    }
    if (pcap_)
        pcap_close(pcap_);
    dumper_ = nullptr;
    pcap_ = nullptr;
    return ok;
}

#include "CaptureTestSupport.h"

#include "udp/ProfilePacket.h"

#include <QFile>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/udp.h>

QByteArray profileDatagram(int number, int points) {
    ProfileSnapshot profile;
    for (int i = 0; i < points; ++i) {
        profile.x.push_back(int16_t(i == 0 ? number : i * 7 - 3000));
        profile.z.push_back(uint16_t(1000 + (i * 13 + number) % 9000));
    }
    PacketFields fields;
    fields.packetCounter = uint32_t(number);
    fields.serial = encodeSerialNumber(123);
    fields.xemr = 160;
    fields.zdiap = 175;
    QByteArray bytes;
    encodeProfilePacket(profile, fields, bytes);
    return bytes;
}

Frames ipv4Packets(const QByteArray& payload, uint16_t destinationPort, size_t fragmentPayload, uint16_t identification) {
    Tins::IP whole = Tins::IP("127.0.0.1", "127.0.0.2") / Tins::UDP(destinationPort, 40000) /
                     Tins::RawPDU(reinterpret_cast<const uint8_t*>(payload.constData()), uint32_t(payload.size()));
    const std::vector<uint8_t> bytes = whole.serialize();
    const size_t header = whole.header_size();
    Frames fragments;
    for (size_t offset = 0; offset < bytes.size() - header; offset += fragmentPayload) {
        const size_t size = std::min(fragmentPayload, bytes.size() - header - offset);
        Tins::IP fragment =
            Tins::IP("127.0.0.1", "127.0.0.2") / Tins::RawPDU(bytes.data() + header + offset, uint32_t(size));
        fragment.protocol(17);
        fragment.id(identification);
        fragment.fragment_offset(uint16_t(offset / 8));
        fragment.flags(offset + size < bytes.size() - header ? Tins::IP::MORE_FRAGMENTS : Tins::IP::Flags(0));
        fragments.push_back(fragment.serialize());
    }
    return fragments;
}

void writeCapture(const QString& path, int linkType, const std::vector<uint8_t>& linkHeader, const Frames& packets) {
    pcap_t* pcap = pcap_open_dead(linkType, 262144);
    pcap_dumper_t* dumper = pcap_dump_open(pcap, QFile::encodeName(path).constData());
    ASSERT_NE(dumper, nullptr) << "cannot write " << path.toStdString();
    for (size_t i = 0; i < packets.size(); ++i) {
        std::vector<uint8_t> frame = linkHeader;
        frame.insert(frame.end(), packets[i].begin(), packets[i].end());
        pcap_pkthdr header{};
        header.caplen = header.len = bpf_u_int32(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(pcap);
}

#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// The addresses of one received UDP datagram (IPv4, host order).
struct DatagramAddresses {
    uint32_t source = 0;
    uint16_t sourcePort = 0;
    uint32_t destination = 0;
    uint16_t destinationPort = 0;
};

// Writes received UDP datagrams to a pcap file as raw IPv4 packets (a
// synthesised IPv4 and UDP header around each payload), with the time each
// was received, so that tcpdump, Wireshark and CaptureReader read it.
class PcapRecorder {
public:
    PcapRecorder() = default;
    ~PcapRecorder();
    PcapRecorder(const PcapRecorder&) = delete;
    PcapRecorder& operator=(const PcapRecorder&) = delete;

    // Creates (or truncates) the file; the error says why it failed.
    bool open(const QString& path, QString& error);
    // Payloads over 65507 bytes do not fit one IPv4 datagram and are refused.
    bool write(const QByteArray& payload, const DatagramAddresses& addresses, int64_t microsecondsSinceEpoch);
    // Flushes and closes; false when the data did not reach the file.
    bool close();
    long long written() const { return written_; }

private:
    struct pcap* pcap_ = nullptr;
    struct pcap_dumper* dumper_ = nullptr;
    long long written_ = 0;
};

#pragma once

#include "files/OutputFile.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

// The addresses of one received UDP datagram (IPv4, host order).
struct DatagramAddresses {
    uint32_t source = 0;
    uint16_t sourcePort = 0;
    uint32_t destination = 0;
    uint16_t destinationPort = 0;
};

// Writes received UDP datagrams to a pcap file as raw IPv4 packets (a
// synthesised IPv4 and UDP header around each payload), with the time each
// was received, so that tcpdump, Wireshark and CaptureReader read it. The
// file appears only when closed; until then it is a temporary file.
class PcapRecorder {
public:
    // Starts the file, or says why it failed.
    MaybeFailure open(const QString& path);
    // False when the record could not be written (then failure() says why) or
    // the payload, over 65507 bytes, does not fit one IPv4 datagram.
    bool write(const QByteArray& payload, const DatagramAddresses& addresses, int64_t microsecondsSinceEpoch);
    // Puts the file in place; false when it could not be written whole.
    bool close();
    MaybeFailure failure() const { return file_ ? file_->failure() : MaybeFailure(); }
    long long written() const { return written_; }

private:
    std::optional<OutputFile> file_;
    long long written_ = 0;
};

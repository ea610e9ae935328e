#pragma once

#include "log/Failure.h"
#include "profile/ProfileStore.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>

// Which UDP datagrams of a capture count as the scanner's: all by default.
struct CaptureFilter {
    uint32_t sourceAddress = 0;  // IPv4 in host order; 0 takes every source
    uint16_t destinationPort = 0;  // 0 takes every port
};

// One profile packet found in a capture, in scanner units.
struct CapturedProfile {
    ProfileSnapshot points;
    int64_t seconds = 0;  // capture timestamp
    int32_t microseconds = 0;
};

// What a pass over a capture left out.
struct CaptureCounts {
    long long records = 0;          // records read from the file
    long long profiles = 0;         // profile packets handed out
    long long skippedRecords = 0;   // cut short by the snap length, unknown link layer or not IPv4
    long long badPackets = 0;       // IPv4 or UDP headers that do not parse
    long long droppedFragments = 0; // fragments whose datagram never completed (or past the limit)
    long long otherDatagrams = 0;   // UDP datagrams that are no profile packet or do not match the filter
};

// Reads the profile packets of a pcap or pcapng file (a regular file only) as tcpdump and Wireshark
// write them (loopback, Ethernet, Linux cooked v1/v2 and raw IPv4 links),
// IPv4 fragments reassembled. Streams through the file: memory stays bounded
// whatever its size. Not thread-safe; one reader per thread.
class CaptureReader {
public:
    CaptureReader();
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // Starts at the first record. False with failure() when the file cannot be
    // read as a capture (with the errno when the system could not open it)
    // or has a link layer without IPv4.
    bool open(const QString& path, CaptureFilter filter = {});
    // The same on bytes in memory (the fuzz harness); `bytes` must outlive the reader.
    bool openMemory(const void* bytes, size_t size, CaptureFilter filter = {});

    // The next profile packet; false at the end of the file or at a record
    // that cannot be read (then failure() says where and why), or once the
    // stop flag is set.
    bool next(CapturedProfile& out);
    // From then on next() checks `stop` between records; it must outlive the reader.
    void setStopFlag(const std::atomic<bool>* stop);

    const MaybeFailure& failure() const;
    const CaptureCounts& counts() const;
    // One line for the log: what was read and what was left out.
    QString summary() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

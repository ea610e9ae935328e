#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

// What a scanner sent and which faults it injected, as one copy.
struct FaultCounts {
    uint64_t datagramsSent = 0;  // stream datagrams that left, copies included
    uint64_t lost = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
    uint64_t corrupted = 0;
    uint64_t delayed = 0;      // datagrams that left later than they were handed over
    uint64_t heldDropped = 0;  // datagrams dropped because the held ones reached their bound
    uint64_t repliesDelayed = 0;
    uint64_t connectionsDropped = 0;
    uint64_t repliesCut = 0;
    uint64_t stalls = 0;  // connections the server stopped reading
    uint64_t hellosSuppressed = 0;
    std::map<uint32_t, uint64_t> requestsByCommand;
    int clientsConnected = 0;
};

// The counters of one scanner, written by its workers and read by the control
// socket on other threads.
class FaultCounters {
public:
    // Adds `count` to one counter of the snapshot (datagramsSent has its own).
    void add(uint64_t FaultCounts::*counter, uint64_t count = 1);
    // Once or more for every stream datagram: no lock.
    void countSent(uint64_t count) { datagramsSent_.fetch_add(count, std::memory_order_relaxed); }
    void countRequest(uint32_t command);
    void clientConnected();
    void clientDisconnected();

    FaultCounts snapshot() const;

private:
    mutable std::mutex mutex_;
    FaultCounts counts_;
    std::atomic<uint64_t> datagramsSent_{0};
};

// The faults injected since `since` was taken, in a few words for a status
// bar; empty when none was injected.
QString injectedFaultsSummary(const FaultCounts& counts, const FaultCounts& since = {});

#pragma once

#include "faults/DatagramFaults.h"
#include "faults/FaultCounters.h"
#include "faults/FaultSpec.h"
#include "faults/ServerFaults.h"

#include <atomic>
#include <mutex>

// One scanner's fault layer: the current fault list and seed, the
// counters, and the seams of the stream, the command server and the hello.
// Setting faults reseeds every seam, so the same fault list set at the
// same packet gives the same faults.
class ScannerFaults {
public:
    explicit ScannerFaults(uint64_t seed = 0);

    void setFaults(const FaultSpec& spec);
    FaultSpec faults() const;
    uint64_t seed() const { return seed_; }
    // Reseeds every seam with the current fault list.
    void setSeed(uint64_t seed);

    DatagramFaults& stream() { return stream_; }
    ServerFaults& server() { return server_; }
    // False, and counted, while announcements are off.
    bool announceHello();
    FaultCounters& counters() { return counters_; }
    const FaultCounters& counters() const { return counters_; }

private:
    std::atomic<uint64_t> seed_;
    FaultCounters counters_;
    DatagramFaults stream_{counters_};
    ServerFaults server_{counters_};
    mutable std::mutex mutex_;
    FaultSpec spec_;
};

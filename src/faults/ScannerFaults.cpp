#include "faults/ScannerFaults.h"

namespace {
// The server draws from its own sequence, so stream traffic does not shift its faults.
constexpr uint64_t kServerSeedMix = 0x9E3779B97F4A7C15ull;
}  // namespace

ScannerFaults::ScannerFaults(uint64_t seed) : seed_(seed) { setFaults(FaultSpec{}); }

void ScannerFaults::setFaults(const FaultSpec& spec) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        spec_ = spec;
    }
    stream_.setFaults(spec, seed_);
    server_.setFaults(spec, seed_ ^ kServerSeedMix);
}

void ScannerFaults::setSeed(uint64_t seed) {
    seed_ = seed;
    setFaults(faults());
}

FaultSpec ScannerFaults::faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return spec_;
}

bool ScannerFaults::announceHello() {
    if (!faults().helloOff)
        return true;
    counters_.add(&FaultCounts::hellosSuppressed);
    return false;
}

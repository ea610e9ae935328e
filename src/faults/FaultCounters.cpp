#include "faults/FaultCounters.h"

void FaultCounters::add(uint64_t FaultCounts::*counter, uint64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_.*counter += count;
}

void FaultCounters::countRequest(uint32_t command) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.requestsByCommand[command];
}

void FaultCounters::clientConnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.clientsConnected;
}

void FaultCounters::clientDisconnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    --counts_.clientsConnected;
}

FaultCounts FaultCounters::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

void FaultCounters::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    const int clients = counts_.clientsConnected;
    counts_ = FaultCounts{};
    counts_.clientsConnected = clients;
}

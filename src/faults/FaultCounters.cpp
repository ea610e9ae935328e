#include "faults/FaultCounters.h"

#include <QStringList>

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
    FaultCounts counts = counts_;
    counts.datagramsSent = datagramsSent_.load(std::memory_order_relaxed);
    return counts;
}

QString injectedFaultsSummary(const FaultCounts& counts, const FaultCounts& since) {
    using C = FaultCounts;
    const std::pair<uint64_t C::*, const char*> injected[] = {
        {&C::lost, "lost"},           {&C::duplicated, "duplicated"},     {&C::reordered, "reordered"},
        {&C::corrupted, "corrupted"}, {&C::delayed, "delayed"},           {&C::heldDropped, "held dropped"},
        {&C::repliesDelayed, "replies delayed"}, {&C::repliesCut, "replies cut"}, {&C::connectionsDropped, "dropped"},
        {&C::stalls, "stalls"},       {&C::hellosSuppressed, "hellos off"}};
    QStringList parts;
    for (const auto& [counter, name] : injected)
        if (const uint64_t count = counts.*counter - since.*counter)
            parts << QStringLiteral("%1 %2").arg(count).arg(QLatin1String(name));
    return parts.join(QStringLiteral(", "));
}

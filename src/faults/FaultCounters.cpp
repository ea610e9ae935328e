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
    return counts_;
}

void FaultCounters::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    const int clients = counts_.clientsConnected;
    counts_ = FaultCounts{};
    counts_.clientsConnected = clients;
}

QString injectedFaultsSummary(const FaultCounts& c) {
    const std::pair<uint64_t, const char*> counts[] = {
        {c.lost, "lost"},          {c.duplicated, "duplicated"},        {c.reordered, "reordered"},
        {c.corrupted, "corrupted"}, {c.delayed, "delayed"},             {c.heldDropped, "held dropped"}, {c.repliesDelayed, "replies delayed"},
        {c.repliesCut, "replies cut"}, {c.connectionsDropped, "dropped"}, {c.stalls, "stalls"},
        {c.hellosSuppressed, "hellos off"}};
    QStringList parts;
    for (const auto& [count, name] : counts)
        if (count)
            parts << QStringLiteral("%1 %2").arg(count).arg(QLatin1String(name));
    return parts.join(QStringLiteral(", "));
}

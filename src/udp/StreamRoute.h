#pragma once

#include "udp/Destinations.h"

#include <QString>
#include <mutex>
#include <optional>
#include <vector>

// Where one scanner's stream goes: set by the scanner's front ends, asked by
// its stream when its state or the interfaces changed. In record mode a
// client aims the stream by writing the record; an address it may not use
// holds the stream until the next acceptable one or until a network that
// holds it comes up, and is logged once and counted. Thread-safe.
class StreamRoute {
public:
    explicit StreamRoute(RecentInterfaceNets& interfaces = hostInterfaces());

    void setTarget(const StreamTarget& target, const std::vector<Ipv4Net>& allowed = {});
    StreamTarget target() const;

    // Where a packet goes now, given the record's destination; nullopt
    // while the record's address is refused.
    std::optional<Endpoint> endpoint(const Endpoint& record);
    // Record addresses refused so far, each counted when first met.
    uint64_t refusals() const;
    // Where the next packet goes with the record's destination `record`
    // ("ADDR:PORT"), or why it is held ("held: ...").
    QString inForce(const Endpoint& record) const;

private:
    std::optional<Endpoint> resolve(const Endpoint& record, QString& refusal) const;
    bool isJudged(uint32_t address) const;
    bool judge(uint32_t address);

    RecentInterfaceNets& interfaces_;
    mutable std::mutex mutex_;
    StreamTarget target_;
    std::vector<Ipv4Net> allowed_;
    std::optional<uint32_t> judged_;  // the record's address the verdict is for
    uint64_t judgedRevision_ = 0;     // of the interfaces it was judged on
    QString refusal_;                 // empty: judged_ is taken
    uint64_t refusals_ = 0;
};

#include "faults/ServerFaults.h"

void ServerFaults::setFaults(const FaultSpec& spec, uint64_t seed) {
    std::lock_guard<std::mutex> lock(mutex_);
    spec_ = spec;
    random_.seed(seed);
}

ConnectionFaults::ConnectionFaults(ServerFaults& server) : server_(server) {
    server_.counters_.clientConnected();
    std::lock_guard<std::mutex> lock(server_.mutex_);
    if (server_.spec_.stallAfter == 0) {
        stalled_ = true;
        server_.counters_.add(&FaultCounts::stalls);
    }
}

ConnectionFaults::~ConnectionFaults() { server_.counters_.clientDisconnected(); }

bool ConnectionFaults::reading() const { return !stalled_ && !closed_; }

ReplyPlan ConnectionFaults::onRequest(uint32_t command, int replySize) {
    FaultCounters& counters = server_.counters_;
    counters.countRequest(command);
    ++requests_;
    ReplyPlan plan;
    plan.bytes = replySize;
    std::lock_guard<std::mutex> lock(server_.mutex_);
    const FaultSpec& spec = server_.spec_;
    // A request without a reply has nothing to delay or cut.
    if (spec.replyDelayMs && replySize > 0) {
        plan.delay = std::chrono::milliseconds(spec.replyDelayMs);
        counters.add(&FaultCounts::repliesDelayed);
    }
    if (spec.cutPpm && replySize > 0 && server_.random_() % 1000000 < spec.cutPpm) {
        plan.bytes = replySize > 1 ? int(1 + server_.random_() % uint64_t(replySize - 1)) : 0;
        plan.closeAfter = true;
        counters.add(&FaultCounts::repliesCut);
    } else if (requests_ == spec.dropAfter) {
        plan.closeAfter = true;
        counters.add(&FaultCounts::connectionsDropped);
    }
    if (!plan.closeAfter && requests_ == spec.stallAfter) {
        stalled_ = true;
        counters.add(&FaultCounts::stalls);
    }
    closed_ = plan.closeAfter;
    return plan;
}

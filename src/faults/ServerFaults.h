#pragma once

#include "faults/FaultCounters.h"
#include "faults/FaultSpec.h"

#include <chrono>
#include <mutex>
#include <random>

// What the command server does with one reply.
struct ReplyPlan {
    std::chrono::milliseconds delay{0};  // write it this much later (from a timer, not a sleep)
    int bytes = 0;                       // write this many of its bytes
    bool closeAfter = false;             // then close the connection
};

// The command server's faults, shared by its connections. A client sees:
// reply-delay: every reply late; drop-after=N: the N-th reply in full, then
// end of stream; cut: a prefix of the reply (at least one byte when it has
// more than one), then end of stream, so it reads a short reply; stall=N: no
// reply to any request after the N-th, the connection stays open and the
// server reads nothing more, so the client's writes eventually block.
class ServerFaults {
public:
    explicit ServerFaults(FaultCounters& counters) : counters_(counters) {}

    // From any thread; restarts the random sequence from `seed`.
    void setFaults(const FaultSpec& spec, uint64_t seed);

    FaultCounters& counters() { return counters_; }

private:
    friend class ConnectionFaults;

    FaultCounters& counters_;
    mutable std::mutex mutex_;
    FaultSpec spec_;
    std::mt19937_64 random_;
};

// One accepted client, on the server's thread. Counts the client while it lives.
class ConnectionFaults {
public:
    explicit ConnectionFaults(ServerFaults& server);
    ~ConnectionFaults();
    ConnectionFaults(const ConnectionFaults&) = delete;
    ConnectionFaults& operator=(const ConnectionFaults&) = delete;

    // False once the server has stopped reading this connection: leave its bytes unread.
    bool reading() const;
    // A request with `command` is answered by `replySize` bytes: counts it and
    // plans the reply. Call only while reading().
    ReplyPlan onRequest(uint32_t command, int replySize);

private:
    ServerFaults& server_;
    uint32_t requests_ = 0;
    bool stalled_ = false;
    bool closed_ = false;
};

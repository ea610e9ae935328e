#pragma once

#include "faults/FaultCounters.h"
#include "faults/FaultSpec.h"

#include <QByteArray>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>

// The seam every stream datagram leaves through. Without stream faults a
// datagram goes straight to the sink and is counted; with them each datagram
// gets one seeded decision (pass, lose, duplicate, reorder or corrupt; never
// corrupt for the datagram that overtakes a reordered one), and
// delay and jitter give it a due time. Datagrams not yet due are held here, so
// the sender never sleeps for them: it sends its own schedule, calls sendDue()
// and wakes at the earlier of its next slot and nextDue(). The same seed and
// fault list give the same faults over the same datagrams.
class DatagramFaults {
public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(const QByteArray&)>;

    explicit DatagramFaults(FaultCounters& counters) : counters_(counters) {}

    // From any thread. Restarts the random sequence from `seed`; with no
    // stream faults any held datagram becomes due at once.
    void setFaults(const FaultSpec& spec, uint64_t seed);

    // Hands one datagram over at `now`; what is due goes to `sink` before this returns.
    void send(QByteArray datagram, Clock::time_point now, const Sink& sink);
    // Sends the held datagrams that are due by `now`.
    void sendDue(Clock::time_point now, const Sink& sink);
    // When the earliest held datagram is due, if one is held and due at a known time.
    std::optional<Clock::time_point> nextDue() const;
    // Forgets the held datagrams (stop, outage).
    void discardHeld();

private:
    enum class Decision { Pass, Lose, Duplicate, Reorder, Corrupt };
    struct Held {
        QByteArray bytes;
        Clock::time_point due;
    };

    Decision decide();
    Clock::time_point dueTime(Clock::time_point now);
    void corrupt(QByteArray& datagram);
    void hold(QByteArray bytes, Clock::time_point due);
    void takeDue(Clock::time_point now, std::vector<QByteArray>& out);
    void updatePassThrough();
    void sendAll(const std::vector<QByteArray>& out, const Sink& sink);

    FaultCounters& counters_;
    std::atomic<bool> passThrough_{true};
    mutable std::mutex mutex_;
    FaultSpec spec_;
    std::mt19937_64 random_;
    bool inBurst_ = false;
    std::optional<QByteArray> reordered_;  // waits for the next datagram that leaves
    std::deque<Held> held_;                // in due order
    Clock::time_point lastDue_{};
};

// Changes one byte of a profile datagram so that its checksum no longer
// matches while its point count and trailer still frame it: a reserved or a
// point byte (any byte when the datagram is not framed as a profile packet).
// `random` picks the byte and the change.
void corruptOneByte(QByteArray& datagram, uint64_t random);

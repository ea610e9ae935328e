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
// fault list give the same faults over the same datagrams. What is held is
// bounded by count and by memory; a datagram past either bound is dropped and
// counted.
class DatagramFaults {
public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(const QByteArray&)>;

    static constexpr size_t kMaxHeldBytes = size_t(64) << 20;  // bookkeeping included
    static constexpr size_t kMaxHeldDatagrams = size_t(1) << 16;

    explicit DatagramFaults(FaultCounters& counters) : counters_(counters) {}

    // From any thread. Restarts the random sequence from `seed`; with no
    // stream faults any held datagram becomes due at once.
    void setFaults(const FaultSpec& spec, uint64_t seed);

    // The next three on the sending thread only.
    // Hands one datagram over at `now`; what is due goes to `sink` before this returns.
    void send(const QByteArray& datagram, Clock::time_point now, const Sink& sink);
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
    // False when the datagram was dropped at the bound.
    bool hold(QByteArray bytes, Clock::time_point due);
    static size_t costOf(const QByteArray& bytes);
    // True when it emptied the queue after a large peak.
    bool takeDue(Clock::time_point now, std::vector<QByteArray>& out);
    void updatePassThrough();
    bool drainedAfterPeak();
    static void giveMemoryBack();
    void sendAll(std::vector<QByteArray> out, bool drained, const Sink& sink);

    FaultCounters& counters_;
    std::atomic<bool> passThrough_{true};
    mutable std::mutex mutex_;
    FaultSpec spec_;
    std::mt19937_64 random_;
    bool inBurst_ = false;
    std::optional<QByteArray> reordered_;  // waits for the next datagram that leaves
    std::deque<Held> held_;                // in due order
    size_t heldBytes_ = 0;                 // their cost by costOf()
    size_t heldPeakBytes_ = 0;             // since the queue last gave its memory back
    Clock::time_point lastDue_{};
};

// Changes one byte of a profile datagram so that its checksum no longer
// matches while its point count and trailer still frame it: a reserved or a
// point byte (any byte when the datagram is not framed as a profile packet).
// `random` picks the byte and the change.
void corruptOneByte(QByteArray& datagram, uint64_t random);

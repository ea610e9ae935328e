#include "faults/DatagramFaults.h"

#include "udp/ProfilePacket.h"

#include <algorithm>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

constexpr uint64_t kMillion = 1000000;
constexpr size_t kGiveBackAbove = size_t(1) << 20;

bool chance(std::mt19937_64& random, uint64_t ppm) { return random() % kMillion < ppm; }

// The bytes that carry no framing: reserved header bytes and the points.
struct Span {
    int first;
    int count;
};

std::vector<Span> unframedBytes(const QByteArray& d) {
    if (d.size() < packet::kHeaderSize)
        return {};
    const auto* p = reinterpret_cast<const uint8_t*>(d.constData());
    const int points = p[packet::kPointCount] | p[packet::kPointCount + 1] << 8;
    if (profilePacketSize(points, false) != d.size() && profilePacketSize(points, true) != d.size())
        return {};
    return {{packet::kReserved, packet::kConstTwo - packet::kReserved}, {packet::kHeaderSize, 4 * points}};
}

}  // namespace

void corruptOneByte(QByteArray& datagram, uint64_t random) {
    if (datagram.isEmpty())
        return;
    const std::vector<Span> spans = unframedBytes(datagram);
    int offset = 0;
    if (spans.empty()) {
        offset = int(random % uint64_t(datagram.size()));
    } else {
        int index = int(random % uint64_t(spans[0].count + spans[1].count));
        offset = index < spans[0].count ? spans[0].first + index : spans[1].first + index - spans[0].count;
    }
    // A one-byte change moves the one's-complement sum by d or 256 * d with
    // 0 < |d| < 256, never by a multiple of 0xFFFF: the checksum always fails.
    const uint8_t mask = uint8_t(1 + (random >> 32) % 255);
    datagram[offset] = char(uint8_t(datagram[offset]) ^ mask);
}

void DatagramFaults::setFaults(const FaultSpec& spec, uint64_t seed) {
    std::lock_guard<std::mutex> lock(mutex_);
    spec_ = spec;
    random_.seed(seed);
    inBurst_ = false;
    if (!spec.affectsStream()) {
        if (reordered_)
            hold(std::move(*reordered_), lastDue_);
        reordered_.reset();
        lastDue_ = Clock::time_point::min();
        for (Held& h : held_)
            h.due = lastDue_;
    }
    updatePassThrough();
}

void DatagramFaults::send(const QByteArray& handed, Clock::time_point now, const Sink& sink) {
    if (passThrough_.load(std::memory_order_acquire)) {
        counters_.countSent(1);
        sink(handed);
        return;
    }
    QByteArray datagram = handed;  // shared until a fault changes it
    std::vector<QByteArray> out;
    bool drained = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Decision decision = decide();
        if (decision == Decision::Lose) {
            counters_.add(&FaultCounts::lost);
        } else if (decision == Decision::Reorder) {
            reordered_ = std::move(datagram);
        } else {
            if (decision == Decision::Corrupt) {
                corrupt(datagram);
                counters_.add(&FaultCounts::corrupted);
            }
            const Clock::time_point due = dueTime(now);
            const uint64_t delayed = due > now ? 1 : 0;
            if (decision == Decision::Duplicate && hold(datagram, due)) {
                counters_.add(&FaultCounts::duplicated);
                counters_.add(&FaultCounts::delayed, delayed);
            }
            if (hold(std::move(datagram), due))
                counters_.add(&FaultCounts::delayed, delayed);
            // Counted here, where it is overtaken: one that faults clear
            // first leaves in its place.
            if (reordered_) {
                if (hold(std::move(*reordered_), due))
                    counters_.add(&FaultCounts::reordered);
                reordered_.reset();
            }
        }
        drained = takeDue(now, out);
    }
    sendAll(std::move(out), drained, sink);
}

// Held datagrams only ever come from send(), on the sender's own thread: when
// it passes through, nothing is held, and the lock is not needed to say so.
void DatagramFaults::sendDue(Clock::time_point now, const Sink& sink) {
    if (passThrough_.load(std::memory_order_acquire))
        return;
    std::vector<QByteArray> out;
    bool drained = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        drained = takeDue(now, out);
    }
    sendAll(std::move(out), drained, sink);
}

std::optional<DatagramFaults::Clock::time_point> DatagramFaults::nextDue() const {
    if (passThrough_.load(std::memory_order_acquire))
        return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.empty())
        return std::nullopt;
    return held_.front().due;
}

void DatagramFaults::discardHeld() {
    bool drained = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_.clear();
        heldBytes_ = 0;
        reordered_.reset();
        drained = drainedAfterPeak();
        updatePassThrough();
    }
    if (drained)
        giveMemoryBack();
}

DatagramFaults::Decision DatagramFaults::decide() {
    if (!spec_.affectsStream())
        return Decision::Pass;
    if (inBurst_) {
        // Stays in the burst with chance 1 - 1/burst: geometric lengths of mean `burst`.
        if (chance(random_, kMillion - kMillion / spec_.burst))
            return Decision::Lose;
        inBurst_ = false;
    }
    uint64_t draw = random_() % kMillion;
    const std::pair<uint32_t, Decision> chances[] = {{spec_.lossPpm, Decision::Lose},
                                                     {spec_.duplicatePpm, Decision::Duplicate},
                                                     {spec_.reorderPpm, Decision::Reorder},
                                                     {spec_.corruptPpm, Decision::Corrupt}};
    for (const auto& [ppm, decision] : chances) {
        if (draw < ppm) {
            if (decision == Decision::Lose)
                inBurst_ = spec_.burst > 1;
            // One datagram is held back for reordering at a time, and the
            // one that overtakes it arrives readable, so a receiver sees the
            // overtaking by the packet counters.
            const bool overtakes = decision == Decision::Reorder || decision == Decision::Corrupt;
            return overtakes && reordered_ ? Decision::Pass : decision;
        }
        draw -= ppm;
    }
    return Decision::Pass;
}

DatagramFaults::Clock::time_point DatagramFaults::dueTime(Clock::time_point now) {
    int64_t delayMs = spec_.delayMs;
    if (spec_.jitterMs) {
        const uint64_t spread = 2 * uint64_t(spec_.jitterMs) + 1;
        delayMs += int64_t(random_() % spread) - int64_t(spec_.jitterMs);
    }
    // Jitter never lets a datagram overtake the one before it.
    lastDue_ = std::max(now + std::chrono::milliseconds(std::max<int64_t>(delayMs, 0)), lastDue_);
    return lastDue_;
}

void DatagramFaults::corrupt(QByteArray& datagram) { corruptOneByte(datagram, random_()); }

size_t DatagramFaults::costOf(const QByteArray& bytes) {
    return sizeof(Held) + sizeof(QArrayData) + size_t(bytes.capacity());
}

bool DatagramFaults::hold(QByteArray bytes, Clock::time_point due) {
    const size_t cost = costOf(bytes);
    if (held_.size() >= kMaxHeldDatagrams || heldBytes_ + cost > kMaxHeldBytes) {
        counters_.add(&FaultCounts::heldDropped);
        return false;
    }
    heldBytes_ += cost;
    heldPeakBytes_ = std::max(heldPeakBytes_, heldBytes_);
    held_.push_back({std::move(bytes), due});
    return true;
}

bool DatagramFaults::takeDue(Clock::time_point now, std::vector<QByteArray>& out) {
    while (!held_.empty() && held_.front().due <= now) {
        heldBytes_ -= costOf(held_.front().bytes);
        out.push_back(std::move(held_.front().bytes));
        held_.pop_front();
    }
    const bool drained = drainedAfterPeak();
    updatePassThrough();
    return drained;
}

// True once a long delay's queue has drained; its own blocks are let go of here.
bool DatagramFaults::drainedAfterPeak() {
    if (!held_.empty() || heldPeakBytes_ < kGiveBackAbove)
        return false;
    std::deque<Held>().swap(held_);
    heldPeakBytes_ = 0;
    return true;
}

// What the datagrams took goes back to the system rather than staying with the allocator.
void DatagramFaults::giveMemoryBack() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void DatagramFaults::updatePassThrough() {
    passThrough_.store(!spec_.affectsStream() && held_.empty() && !reordered_, std::memory_order_release);
}

void DatagramFaults::sendAll(std::vector<QByteArray> out, bool drained, const Sink& sink) {
    if (!out.empty())
        counters_.countSent(out.size());
    for (const QByteArray& datagram : out)
        sink(datagram);
    if (drained) {
        std::vector<QByteArray>().swap(out);
        giveMemoryBack();
    }
}

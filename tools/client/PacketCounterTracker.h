#pragma once

#include <cstdint>
#include <vector>

// Follows the 16-bit packet counter of a profile stream. A jump forward
// counts the skipped packets as lost; a packet a little behind the newest
// arrived late (reordered) and is no longer lost; a large jump back means
// the sender restarted its count (a new schedule), which is neither. A
// counter seen before within the window is a duplicate: neither late nor a
// loss made good.
class PacketCounterTracker {
public:
    // How far behind the newest counter a packet may be and still count as late.
    static constexpr uint16_t kReorderWindow = 256;

    void note(uint16_t counter);

    long long packets() const { return packets_; }
    long long lost() const { return lost_; }
    long long reordered() const { return reordered_; }
    long long restarts() const { return restarts_; }
    long long duplicates() const { return duplicates_; }

private:
    void advanceTo(uint16_t counter);

    std::vector<bool> seen_ = std::vector<bool>(65536);
    bool started_ = false;
    uint16_t expected_ = 0;
    long long packets_ = 0;
    long long lost_ = 0;
    long long reordered_ = 0;
    long long restarts_ = 0;
    long long duplicates_ = 0;
};

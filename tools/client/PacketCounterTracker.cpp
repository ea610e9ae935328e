#include "PacketCounterTracker.h"

#include <algorithm>

void PacketCounterTracker::note(uint16_t counter) {
    ++packets_;
    if (!started_) {
        started_ = true;
        advanceTo(counter);
        return;
    }
    const uint16_t ahead = uint16_t(counter - expected_);
    const uint16_t behind = uint16_t(expected_ - counter);
    if (ahead < 0x8000) {
        lost_ += ahead;
        advanceTo(counter);
    } else if (behind <= kReorderWindow && seen_[counter]) {
        ++duplicates_;
    } else if (behind <= kReorderWindow) {
        seen_[counter] = true;
        ++reordered_;
        if (lost_ > 0)
            --lost_;
    } else {
        ++restarts_;
        std::fill(seen_.begin(), seen_.end(), false);
        advanceTo(counter);
    }
}

// The counters skipped on the way to `counter` have not been seen (again).
void PacketCounterTracker::advanceTo(uint16_t counter) {
    for (uint16_t c = expected_; c != counter; ++c)
        seen_[c] = false;
    seen_[counter] = true;
    expected_ = uint16_t(counter + 1);
}

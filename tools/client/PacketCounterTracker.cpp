#include "PacketCounterTracker.h"

void PacketCounterTracker::note(uint16_t counter) {
    ++packets_;
    if (!started_) {
        started_ = true;
        expected_ = uint16_t(counter + 1);
        return;
    }
    const uint16_t ahead = uint16_t(counter - expected_);
    const uint16_t behind = uint16_t(expected_ - counter);
    if (ahead < 0x8000) {
        lost_ += ahead;
        expected_ = uint16_t(counter + 1);
    } else if (behind <= kReorderWindow) {
        ++reordered_;
        if (lost_ > 0)
            --lost_;
    } else {
        ++restarts_;
        expected_ = uint16_t(counter + 1);
    }
}

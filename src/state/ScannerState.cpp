#include "state/ScannerState.h"

ScannerSettings ScannerState::settings() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return settings_;
}

TrailerSettings ScannerState::trailer() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return TrailerSettings{uint16_t(settings_.xemr), uint16_t(settings_.zdiap), settings_.noise,
                           settings_.stepdirForward};
}

void ScannerState::restartTimeline() { advanceTimeline(true); }

void ScannerState::followRecordRate() { advanceTimeline(false); }

void ScannerState::advanceTimeline(bool evenAtTheSameRate) {
    {
        std::lock_guard<std::mutex> lock(rateMutex_);
        const int rate = record_.read([](const USER_PARAMS& p) { return int(p.udp_frequency_u16); });
        if (!evenAtTheSameRate && rate == timelineRate_)
            return;
        timelineRate_ = rate;
        ++timeline_;
    }
    watchers_.notify();
}

void ScannerState::setStreamPaused(bool paused) {
    streamPaused_ = paused;
    watchers_.notify();
}

int ScannerState::watch(const std::function<void()>& watcher) {
    std::lock_guard<std::mutex> lock(watchMutex_);
    watches_.emplace(nextWatch_, std::pair(record_.watch(watcher), watchers_.add(watcher)));
    return nextWatch_++;
}

void ScannerState::unwatch(int id) {
    std::lock_guard<std::mutex> lock(watchMutex_);
    const auto found = watches_.find(id);
    if (found == watches_.end())
        return;
    record_.unwatch(found->second.first);
    watchers_.remove(found->second.second);
    watches_.erase(found);
}

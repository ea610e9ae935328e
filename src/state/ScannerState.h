#pragma once

#include "params/UserParams.h"
#include "state/ScannerSettings.h"
#include "state/Watchers.h"
#include "udp/DatagramSocket.h"
#include "state/DeviceIdentity.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

// One scanner's live state: its record, its settings, its identity (the
// hello packet with the factory block) and the timeline its counters run
// on. The scanner's setters and the command dispatcher write it, once; the
// stream, the command server and the announcer read it where they use it.
// Each part is guarded on its own, and every write wakes whoever watches.
class ScannerState {
public:
    UserParamsStore& record() { return record_; }
    const UserParamsStore& record() const { return record_; }
    DeviceIdentity& identity() { return identity_; }
    const DeviceIdentity& identity() const { return identity_; }

    ScannerSettings settings() const;
    TrailerSettings trailer() const;
    // Runs `change` on the settings under their lock, then wakes the watchers.
    template <typename Change>
    void changeSettings(Change&& change) {
        {
            std::lock_guard<std::mutex> lock(settingsMutex_);
            change(settings_);
        }
        watchers_.notify();
    }

    // The stream's and the results' counters start again from now (a new
    // mode, or a new rate).
    void restartTimeline();
    // Restarts the timeline when the record's rate is not the one it runs at.
    void followRecordRate();
    // Goes up with each restart.
    uint64_t timeline() const { return timeline_; }

    // The stream's and the announcer's sockets count their failures here.
    SocketCounters& sockets() { return sockets_; }
    const SocketCounters& sockets() const { return sockets_; }

    // Stream packets that left more than a period after their slot, over all starts.
    std::atomic<uint64_t>& latePackets() { return latePackets_; }
    uint64_t latePackets() const { return latePackets_; }

    // An operator's hold on the stream, apart from a client's.
    void setStreamPaused(bool paused);
    bool streamPaused() const { return streamPaused_; }

    // `watcher` runs after each write to the record, the settings or the
    // timeline (see Watchers).
    int watch(const std::function<void()>& watcher);
    void unwatch(int id);
    // Moves with every write that wakes the watchers. The identity and the
    // route are written just before the settings, so it covers them too.
    uint64_t revision() const { return record_.revision() + watchers_.revision(); }

private:
    void advanceTimeline(bool evenAtTheSameRate);

    UserParamsStore record_;
    DeviceIdentity identity_;
    mutable std::mutex settingsMutex_;
    ScannerSettings settings_;
    std::atomic<uint64_t> timeline_{0};
    std::atomic<bool> streamPaused_{false};
    SocketCounters sockets_;
    std::atomic<uint64_t> latePackets_{0};
    std::mutex rateMutex_;  // the setters' and the server's thread restart it
    int timelineRate_ = -1;  // the record's rate at the last restart
    Watchers watchers_;
    std::mutex watchMutex_;
    std::map<int, std::pair<int, int>> watches_;  // id: the record's watch, our own
    int nextWatch_ = 0;
};

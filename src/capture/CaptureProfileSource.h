#pragma once

#include "capture/CaptureReader.h"
#include "profile/ProfileSource.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

// The profile packets of a capture file as frames. A thread reads ahead a
// bounded window of frames, so a capture of any size replays in bounded
// memory and a caller rarely waits; asking for a frame before the window
// (the loop starting over, a counter reset) reads the file again from the start.
// A frame the reader has not reached within kLongestWait is empty, so neither
// a slow file nor one replaced under the loop holds the stream or its stop.
class CaptureProfileSource : public ProfileSource {
public:
    // Reads up to the first profile packet before returning; refused when
    // the file cannot be read or holds no profile packet.
    static Outcome<std::unique_ptr<CaptureProfileSource>> open(const QString& path, CaptureFilter filter,
                                                               Playback playback);
    ~CaptureProfileSource() override;

    void copyProfile(uint64_t measurement, ProfileSnapshot& out, int maxPoints) override;

    // Frames in the file once one pass has reached its end, else -1.
    long long frameCount() const;
    RecordingFrame frameOf(uint64_t measurement) const override;

    static constexpr size_t kWindowFrames = 256;  // at most 17 MB at the largest packets
    static constexpr long long kFramesKeptBehind = 64;  // for a second caller a little behind
    static constexpr std::chrono::milliseconds kLongestWait{500};

private:
    CaptureProfileSource(const QString& path, CaptureFilter filter, Playback playback,
                         std::unique_ptr<CaptureReader> reader, ProfileSnapshot first);
    void readAhead();
    // The 0-based frame of `measurement`; mutex_ held.
    uint64_t frameOfLocked(uint64_t measurement) const;
    bool readerHasWork() const;
    void dropFramesBehind();

    const QString path_;
    const CaptureFilter filter_;
    const Playback playback_;
    std::unique_ptr<CaptureReader> reader_;  // the read-ahead thread's only

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<ProfileSnapshot> window_;  // frames windowStart_ ...
    long long windowStart_ = 0;
    long long wanted_ = 0;       // the latest frame asked for
    long long frameCount_ = -1;  // known once a pass reached the end
    bool atEnd_ = false;
    bool restart_ = false;
    bool stop_ = false;
    std::atomic<bool> stopping_{false};  // stop_ for the reader between records

    std::thread thread_;
};

#pragma once

#include "profile/CsvProfile.h"
#include "profile/ProfileStore.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// What follows the last frame of a recording: start again, or hold it.
enum class Playback { Loop, Once };

// "The profile of measurement n": the stream and the result command ask it for
// the same 1-based measurement counter, so both see the same frame (frame k
// belongs to measurement k). Safe to call from several threads at once.
// Where a recording is at: frame `frame` (1-based) of `frames`, -1 while
// that is not known yet. Frame 0: no recording of frames.
struct RecordingFrame {
    long long frame = 0;
    long long frames = -1;
};

class ProfileSource {
public:
    virtual ~ProfileSource() = default;
    // Copies the first min(count, maxPoints) points of the profile of
    // measurement `measurement` (0 reads as 1) into `out`, reusing its storage.
    virtual void copyProfile(uint64_t measurement, ProfileSnapshot& out, int maxPoints = kMaxProfilePoints) = 0;
    // The frame a measurement plays, for a recording of frames.
    virtual RecordingFrame frameOf(uint64_t) const { return {}; }
};

// The 0-based frame of a measurement among `frames` frames (frames > 0).
inline uint64_t frameOfMeasurement(uint64_t measurement, uint64_t frames, Playback playback) {
    const uint64_t k = measurement == 0 ? 0 : measurement - 1;
    return playback == Playback::Loop ? k % frames : (k < frames ? k : frames - 1);
}

// The drawn or imported profile: the same for every measurement.
class StoreProfileSource : public ProfileSource {
public:
    explicit StoreProfileSource(const ProfileStore& store) : store_(store) {}
    void copyProfile(uint64_t, ProfileSnapshot& out, int maxPoints) override { store_.copySnapshot(out, maxPoints); }

private:
    const ProfileStore& store_;
};

// The source a scanner plays: the drawn profile unless a recording was
// loaded. Front ends switch it while the workers read it; a reader holds the
// source it took for one packet, so a switch never waits for a reader and a
// source lives until its last reader lets go of it.
class ProfileFeed {
public:
    explicit ProfileFeed(const ProfileStore& drawn)
        : drawn_(std::make_shared<StoreProfileSource>(drawn)), current_(drawn_) {}

    std::shared_ptr<ProfileSource> current() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return current_;
    }
    // Null plays the drawn profile again.
    void play(std::shared_ptr<ProfileSource> source) {
        std::shared_ptr<ProfileSource> replaced;  // let go of outside the lock: a capture's end joins its reader
        std::lock_guard<std::mutex> lock(mutex_);
        replaced = std::exchange(current_, source ? std::move(source) : drawn_);
    }
    bool playsDrawn() const { return current() == drawn_; }
    // A snapshot that goes from one source to another loses its stamp: only
    // the drawn profile's store stamps what it copies.
    void copyProfile(uint64_t measurement, ProfileSnapshot& out, int maxPoints) const {
        const std::shared_ptr<ProfileSource> source = current();
        if (source != drawn_)
            out.stamp = 0;
        source->copyProfile(measurement, out, maxPoints);
    }

private:
    mutable std::mutex mutex_;
    const std::shared_ptr<ProfileSource> drawn_;
    std::shared_ptr<ProfileSource> current_;
};

// The first min(count, maxPoints) points of `frame` into `out`.
void copyFrame(const ProfileSnapshot& frame, ProfileSnapshot& out, int maxPoints);

// Frames held whole; they never change, so readers need no lock.
class HeldFramesSource : public ProfileSource {
public:
    HeldFramesSource(std::vector<ProfileSnapshot> frames, Playback playback)
        : frames_(std::move(frames)), playback_(playback) {}
    void copyProfile(uint64_t measurement, ProfileSnapshot& out, int maxPoints) override;
    RecordingFrame frameOf(uint64_t measurement) const override;

private:
    const std::vector<ProfileSnapshot> frames_;
    const Playback playback_;
};

// A folder of CSV profile files played in name order. All are read when the
// folder is opened, so that a bad file shows at once and a frame costs a copy.
// Refused when the folder holds no CSV file, a file cannot be read (named),
// or the files hold more than `maxPoints` together.
constexpr long long kMaxCsvFolderPoints = 16 * 1024 * 1024;
Outcome<std::unique_ptr<ProfileSource>> openCsvFolder(const QString& folder, CsvScale scale, Playback playback,
                                                      long long maxPoints = kMaxCsvFolderPoints);

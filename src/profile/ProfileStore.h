#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// Capacity of one profile buffer: one entry per pixel of the 640 x 480 area.
constexpr int kProfileCapacity = 640 * 480;
// profileCount is 16 bits wide; a profile never grows past this.
constexpr int kMaxProfilePoints = 65535;

// One profile in scanner units: all X values, then all Z values.
struct ProfileBuffer {
    int16_t X[kProfileCapacity];
    uint16_t Z[kProfileCapacity];
};

struct ProfilePoint {
    int16_t x;
    uint16_t z;
};

inline bool operator==(ProfilePoint a, ProfilePoint b) { return a.x == b.x && a.z == b.z; }

// A reader's private copy of one consistent profile. Reused between copies so
// that a periodic reader does not allocate, and stamped, so that copying an
// unchanged profile again costs nothing: whoever changes the points clears
// the stamp.
struct ProfileSnapshot {
    std::vector<int16_t> x;
    std::vector<uint16_t> z;
    uint64_t stamp = 0;  // the store version copied; 0 for none
    int count() const { return static_cast<int>(x.size()); }
};

// The profile the emulated scanner measures, shared by the drawing area (the
// only writer, on the GUI thread) and the workers (readers). Each write and
// each snapshot happens under one lock, so a reader always sees a whole profile
// with a count that matches what is written.
class ProfileStore {
public:
    ProfileStore();

    int count() const;
    ProfilePoint at(int index) const;  // index < count()

    // Appends points as one step; refuses all of them (returns false) when the
    // profile would grow past kMaxProfilePoints.
    bool append(const ProfilePoint* points, int n);
    bool append(ProfilePoint point) { return append(&point, 1); }

    // Replaces the whole profile; at most kMaxProfilePoints are kept. Returns
    // the number of points kept.
    int replace(const ProfilePoint* points, int n);
    int replace(const std::vector<ProfilePoint>& points) {
        return replace(points.data(), static_cast<int>(points.size()));
    }
    void clear();

    // Copies the first min(count, maxPoints) points into `out`, unless it
    // holds them already.
    void copySnapshot(ProfileSnapshot& out, int maxPoints = kMaxProfilePoints) const;
    std::vector<ProfilePoint> points() const;

private:
    mutable std::mutex mutex_;
    std::unique_ptr<ProfileBuffer> buffer_;
    uint16_t profileCount_ = 0;
    uint64_t version_;  // new with every change, unique in the process
};

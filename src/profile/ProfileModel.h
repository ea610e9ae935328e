#pragma once

#include "params/UserParams.h"
#include "profile/ProfileStore.h"

#include <cstdint>
#include <vector>

constexpr int kAreaWidth = 640;
constexpr int kAreaHeight = 480;
constexpr int kMaxDots = 65535;

struct Dot {
    int x;
    int y;
};
inline bool operator==(Dot a, Dot b) { return a.x == b.x && a.y == b.y; }

// The indices of the panel's tool list.
enum class PaintMode : int { Dots = 0, Lines = 1, Arcs = 2 };

// A drag in widget pixels. The press sets the start; the end is set by a move.
struct Segment {
    int x1 = 0;
    int y1 = 0;
    int x2 = 0;
    int y2 = 0;
    bool endSet = false;  // no move since the press: nothing to commit

    static Segment startingAt(int x, int y) { return {x, y, x, y, false}; }
    void setEnd(int x, int y) {
        x2 = x;
        y2 = y;
        endSet = true;
    }
};

// Widget pixel inside the area to scanner units (X signed with 0 at the
// centre, Z growing up).
ProfilePoint pixelToUnits(int px, int py);

// The point halfway between two profile points, each coordinate rounded down.
ProfilePoint midpointOf(ProfilePoint a, ProfilePoint b);

// The points a line or an arc commit adds, in order; the arc preview draws the
// same points. Only points inside the area are listed. Empty for a segment
// whose end was never set.
std::vector<Dot> linePoints(const Segment& line);
std::vector<Dot> arcPoints(const Segment& arc);

// The drawn dots and the rules that turn them into the profile. Runs on the
// GUI thread; the profile it writes is read by the workers through the store.
// Every change of the profile is one store call, so a reader always sees a
// profile that was whole at some moment.
class ProfileModel {
public:
    ProfileModel(ProfileStore& profile, const UserParamsStore& params);

    // Adds one widget point; false when refused (outside, drawn before, dots
    // full or profile full).
    bool appendDot(int x, int y);
    void commitLine(const Segment& line);
    void commitArc(const Segment& arc);
    // Rebuilds the profile from the dots for point-count index 0..4 (-1, no
    // selection, keeps every 16th dot). Returns the new number of points.
    int rebuild(int index);
    // Empties the dots and the profile.
    void clear();

    const std::vector<Dot>& dots() const { return dots_; }

private:
    bool interpolating() const;
    void appendAll(const std::vector<Dot>& points);

    ProfileStore& profile_;
    const UserParamsStore& params_;
    std::vector<Dot> dots_;
    std::vector<uint8_t> occupied_;  // one flag per pixel, in step with dots_
};

// Draws the profile the programs play until told otherwise: a raised block
// with sloped sides on a flat floor, in lines across the whole area.
void drawBuiltInProfile(ProfileModel& model);
// That profile's points at point-count index `pointCountIndex`.
std::vector<ProfilePoint> builtInProfile(int pointCountIndex);

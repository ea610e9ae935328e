#include "profile/ProfileModel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <optional>

namespace {

constexpr int kMidpointIndex = 4;           // the "1280" choice: every dot plus midpoints
constexpr int kMaxDrawingMidpointDz = 499;  // larger Z steps while drawing are jumps
constexpr int64_t kMinJumpSquared = 500 * 500;  // rebuild: pairs this far apart are jumps

bool insideArea(int x, int y) {
    return x >= 0 && x < kAreaWidth && y >= 0 && y < kAreaHeight;
}

// The row a computed y truncates to, when that row lies inside the area.
std::optional<int> rowInArea(double y) {
    const double row = std::trunc(y);
    if (!(row >= 0 && row < kAreaHeight))
        return std::nullopt;
    return static_cast<int>(row);
}

ProfilePoint unitsOf(Dot d) { return pixelToUnits(d.x, d.y); }

int floorHalf(int sum) { return static_cast<int>(std::floor(sum / 2.0)); }

// What one new point writes: a midpoint (when wanted) and the point itself.
// When only one slot is left the point is kept and its midpoint dropped, so the
// profile still ends on a drawn point; with no slot left nothing is written.
struct PointBatch {
    ProfilePoint points[2]{};
    int size = 0;
};

PointBatch batchFor(ProfilePoint previous, ProfilePoint next, bool wantMidpoint, int room) {
    PointBatch batch;
    if (room < 1)
        return batch;
    if (wantMidpoint && room >= 2)
        batch.points[batch.size++] = midpointOf(previous, next);
    batch.points[batch.size++] = next;
    return batch;
}

// Dots kept by a rebuild: every 2^(3 - index)-th, rounded to at least 1. The
// index is clamped first so that no value can overflow or give a step of 0.
int rebuildStep(int index) {
    const int exponent = 3 - std::clamp(index, -13, 3);
    return 1 << exponent;
}

bool closeEnoughForMidpoint(ProfilePoint a, ProfilePoint b) {
    const int64_t dx = int64_t(a.x) - b.x;
    const int64_t dz = int64_t(a.z) - b.z;
    return dx * dx + dz * dz < kMinJumpSquared;
}

// The columns from `from` toward `to` (excluded), limited to the area, in
// walking order.
std::vector<int> columnsToward(int from, int to) {
    std::vector<int> columns;
    if (from < to) {
        for (int x = std::max(from, 0); x < std::min(to, kAreaWidth); ++x)
            columns.push_back(x);
    } else {
        for (int x = std::min(from, kAreaWidth - 1); x > std::max(to, -1); --x)
            columns.push_back(x);
    }
    return columns;
}

}  // namespace

ProfilePoint pixelToUnits(int px, int py) {
    const double x = std::trunc((px - 320) * 16384.0 / kAreaWidth);
    const double z = std::trunc((kAreaHeight - py) * 16384.0 / kAreaHeight);
    return {static_cast<int16_t>(x), static_cast<uint16_t>(z)};
}

ProfilePoint midpointOf(ProfilePoint a, ProfilePoint b) {
    return {static_cast<int16_t>(floorHalf(a.x + b.x)), static_cast<uint16_t>(floorHalf(a.z + b.z))};
}

std::vector<Dot> linePoints(const Segment& line) {
    std::vector<Dot> points;
    if (!line.endSet || line.x1 == line.x2)
        return points;
    const double k = (double(line.y1) - line.y2) / (double(line.x1) - line.x2);
    const double b = line.y1 - k * line.x1;
    for (int x : columnsToward(line.x1, line.x2)) {
        if (const auto y = rowInArea(k * x + b))
            points.push_back({x, *y});
    }
    return points;
}

std::vector<Dot> arcPoints(const Segment& arc) {
    std::vector<Dot> points;
    if (!arc.endSet || arc.x1 == arc.x2 || arc.y1 == arc.y2)
        return points;
    // The circle through A, B and B mirrored in the horizontal through A has
    // its centre on that horizontal, so A is its leftmost or rightmost point.
    const double x1 = arc.x1, y1 = arc.y1, x2 = arc.x2, y2 = arc.y2;
    const double cx = (x2 * x2 - x1 * x1 + (y2 - y1) * (y2 - y1)) / (2 * (x2 - x1));
    const double cy = y1;
    const double r2 = (x1 - cx) * (x1 - cx);
    const double side = arc.y1 <= arc.y2 ? 1.0 : -1.0;  // B below A: the lower half
    const int64_t first = std::max<int64_t>(int64_t(std::min(arc.x1, arc.x2)) + 1, 0);
    const int64_t last = std::min<int64_t>(int64_t(std::max(arc.x1, arc.x2)) - 2, kAreaWidth - 1);
    for (int x = int(first); x <= last; ++x) {
        const double under = r2 - (x - cx) * (x - cx);
        if (under < 0)
            continue;
        if (const auto y = rowInArea(side * std::sqrt(under) + cy))
            points.push_back({x, *y});
    }
    return points;
}

ProfileModel::ProfileModel(ProfileStore& profile, const UserParamsStore& params)
    : profile_(profile), params_(params), occupied_(kAreaWidth * kAreaHeight, 0) {}

bool ProfileModel::interpolating() const {
    return params_.read([](const USER_PARAMS& p) { return p.interpolation_u8; }) == kMidpointIndex;
}

bool ProfileModel::appendDot(int x, int y) {
    if (!insideArea(x, y))
        return false;
    uint8_t& occupied = occupied_[y * kAreaWidth + x];
    if (occupied || dots_.size() >= size_t(kMaxDots))
        return false;

    // This thread is the only writer, so the count read here still holds at
    // the append below.
    const ProfilePoint next = pixelToUnits(x, y);
    const int count = profile_.count();
    ProfilePoint previous{};
    bool wantMidpoint = false;
    if (count > 0 && interpolating()) {
        previous = profile_.at(count - 1);
        wantMidpoint = std::abs(int(next.z) - int(previous.z)) <= kMaxDrawingMidpointDz;
    }
    const PointBatch batch = batchFor(previous, next, wantMidpoint, kMaxProfilePoints - count);
    if (batch.size == 0 || !profile_.append(batch.points, batch.size))
        return false;

    dots_.push_back({x, y});
    occupied = 1;
    return true;
}

void ProfileModel::appendAll(const std::vector<Dot>& points) {
    for (Dot d : points)
        appendDot(d.x, d.y);
}

void ProfileModel::commitLine(const Segment& line) { appendAll(linePoints(line)); }

void ProfileModel::commitArc(const Segment& arc) { appendAll(arcPoints(arc)); }

int ProfileModel::rebuild(int index) {
    const int step = rebuildStep(index);
    const bool withMidpoints = index == kMidpointIndex;
    std::vector<ProfilePoint> rebuilt;
    rebuilt.reserve(std::min(dots_.size() * (withMidpoints ? 2 : 1), size_t(kMaxProfilePoints)));
    for (size_t s = 0; s < dots_.size(); s += step) {
        const ProfilePoint next = unitsOf(dots_[s]);
        const ProfilePoint previous = s > 0 ? unitsOf(dots_[s - 1]) : next;
        const bool wantMidpoint = withMidpoints && rebuilt.size() >= 2 && closeEnoughForMidpoint(previous, next);
        const int room = kMaxProfilePoints - static_cast<int>(rebuilt.size());
        const PointBatch batch = batchFor(previous, next, wantMidpoint, room);
        if (batch.size == 0)
            break;
        rebuilt.insert(rebuilt.end(), batch.points, batch.points + batch.size);
    }
    return profile_.replace(rebuilt);
}

void ProfileModel::clear() {
    for (Dot d : dots_)
        occupied_[d.y * kAreaWidth + d.x] = 0;
    dots_.clear();
    profile_.clear();
}

void drawBuiltInProfile(ProfileModel& model) {
    constexpr int kFloor = 400;
    constexpr int kTop = 250;
    const int corners[][2] = {{0, kFloor}, {200, kFloor}, {260, kTop}, {380, kTop}, {440, kFloor}, {kAreaWidth, kFloor}};
    for (size_t i = 0; i + 1 < std::size(corners); ++i) {
        Segment line = Segment::startingAt(corners[i][0], corners[i][1]);
        line.setEnd(corners[i + 1][0], corners[i + 1][1]);
        model.commitLine(line);
    }
}

std::vector<ProfilePoint> builtInProfile(int pointCountIndex) {
    ProfileStore store;
    UserParamsStore params;
    params.update([&](USER_PARAMS& p) { p.interpolation_u8 = static_cast<uint8_t>(pointCountIndex); });
    ProfileModel model(store, params);
    drawBuiltInProfile(model);
    model.rebuild(pointCountIndex);
    return store.points();
}

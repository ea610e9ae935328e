#include "scene/SceneGeometry.h"

#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace {

constexpr double kDegree = M_PI / 180;
constexpr double kUnseen = std::numeric_limits<double>::quiet_NaN();

// SplitMix64: a tiny generator whose whole state is one word, so that a
// measurement's noise starts from (seed, measurement) at no cost.
class NoiseDraws {
public:
    NoiseDraws(uint64_t seed, uint64_t measurement) : state_(mixed(seed) ^ (measurement * 0xD1B54A32D192ED03ull)) {}
    uint64_t next() { return mixed(state_ += 0x9E3779B97F4A7C15ull); }
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }
    // Two uniforms from one draw, for the per-point chances.
    std::pair<double, double> twoUniforms() {
        const uint64_t r = next();
        return {double(r >> 32) * 0x1.0p-32, double(r & 0xFFFFFFFFu) * 0x1.0p-32};
    }
    // The sum of four 16-bit uniforms, scaled to sigma 1: close to Gaussian
    // (tails end at 3.46 sigma) for one draw instead of a logarithm and a root.
    double gaussian() {
        const uint64_t r = next();
        const double sum = double((r & 0xFFFF) + ((r >> 16) & 0xFFFF) + ((r >> 32) & 0xFFFF) + (r >> 48));
        static const double kSigma = std::sqrt(4 * (65536.0 * 65536.0 - 1) / 12);
        return (sum - 2 * 65535.0 / 2) / kSigma;
    }

private:
    static uint64_t mixed(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t state_;
};

double grooveHalfWidth(const SceneObject& o) { return o.gap / 2 + o.height * o.bevelSlope; }

// Height above the belt of a V-groove's plates at `u` from the groove's centre.
double vGrooveHeight(const SceneObject& o, double u) {
    const double away = std::fabs(u) - o.gap / 2;  // from the root's edge on this side
    if (away < 0)
        return 0;
    const double rise = o.bevelSlope > 0 ? std::min(o.height, away / o.bevelSlope) : o.height;
    return u < 0 ? rise : std::max(0.0, rise + o.misalignment);
}

double treadHeight(const SceneObject& o, double u) {
    const double pitch = o.width / o.grooves;
    const double along = u + o.width / 2;
    const double fromCentre = along - (std::floor(along / pitch) + 0.5) * pitch;
    return std::fabs(fromCentre) < o.grooveWidth / 2 ? o.height - o.grooveDepth : o.height;
}

// Height of an object above the belt at `x`, `along` mm past its start.
double objectHeight(const SceneObject& o, double x, double along) {
    const double u = x - o.x;
    switch (o.kind) {
    case ObjectKind::Box:
    case ObjectKind::Step: return o.height;
    case ObjectKind::Cylinder: {
        const double r = o.diameter / 2;
        const double off = o.axisAlong ? u : along - r;
        return r + std::sqrt(std::max(0.0, r * r - off * off));
    }
    case ObjectKind::VGroove: return vGrooveHeight(o, u);
    case ObjectKind::Tread: return treadHeight(o, u);
    }
    return 0;
}

// The X interval an object covers; a step reaches to the end of the range.
void objectExtent(const SceneObject& o, double halfRange, double& left, double& right) {
    const double halfWidth = o.kind == ObjectKind::Cylinder && o.axisAlong ? o.diameter / 2 : o.width / 2;
    left = o.x - halfWidth;
    right = o.x + halfWidth;
    if (o.kind == ObjectKind::Step) {
        left = o.stepsUpRight ? o.x : -halfRange;
        right = o.stepsUpRight ? halfRange : o.x;
    }
}

bool inView(const SceneObject& o, double y) { return y >= o.y && y < o.y + o.length; }

// No point of the object stands higher than this, whatever the signs of its
// sizes: a point already as high needs no look at the object.
double objectCeiling(const SceneObject& o) {
    switch (o.kind) {
    case ObjectKind::Cylinder: return o.diameter / 2 + std::fabs(o.diameter / 2);
    case ObjectKind::VGroove: return std::max({0.0, o.height, o.height + o.misalignment});
    case ObjectKind::Tread: return std::max(o.height, o.height - o.grooveDepth);
    default: return o.height;
    }
}

// The objects under the laser at `y`, highest ceiling first: once the tall
// ones are in, most points skip the lower ones.
const std::vector<std::pair<double, const SceneObject*>>& objectsInView(const Scene& scene, double y) {
    thread_local std::vector<std::pair<double, const SceneObject*>> inViewNow;
    inViewNow.clear();
    for (const SceneObject& o : scene.objects)
        if (inView(o, y))
            inViewNow.emplace_back(objectCeiling(o), &o);
    std::stable_sort(inViewNow.begin(), inViewNow.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    return inViewNow;
}

double topAt(const SceneObject& o, double along) {
    switch (o.kind) {
    case ObjectKind::Cylinder: return objectHeight(o, o.x, along);
    case ObjectKind::VGroove: return o.height + std::max(0.0, o.misalignment);
    default: return o.height;
    }
}

// Hides every point whose line of sight to the camera passes below the
// surface further on. With the camera on the +X side a point is seen when
// z - x cot(a) is at least that of every point to its right: one sweep.
void hideOccluded(double cameraAngle, SceneProfileMm& p) {
    if (cameraAngle == 0)
        return;
    const double cot = 1 / std::tan(std::fabs(cameraAngle) * kDegree);
    const int n = int(p.x.size());
    const bool fromRight = cameraAngle > 0;
    double highest = -std::numeric_limits<double>::infinity();
    for (int k = 0; k < n; ++k) {
        const int i = fromRight ? n - 1 - k : k;
        const double reach = p.z[i] - (fromRight ? p.x[i] : -p.x[i]) * cot;
        if (reach < highest - 1e-9)
            p.z[i] = kUnseen;
        else
            highest = reach;
    }
}

void addNoise(const SceneNoise& noise, uint64_t seed, uint64_t measurement, std::vector<double>& z) {
    if (noise.sigma == 0 && noise.dropout == 0 && noise.spikes == 0)
        return;
    NoiseDraws draws(seed, measurement);
    const bool chances = noise.dropout > 0 || noise.spikes > 0;
    for (double& value : z) {
        if (noise.sigma > 0)
            value += noise.sigma * draws.gaussian();
        if (!chances)
            continue;
        const auto [drop, spike] = draws.twoUniforms();
        if (drop < noise.dropout)
            value = kUnseen;
        if (spike < noise.spikes)
            value += noise.spikeHeight * (2 * draws.uniform() - 1);
    }
}

int16_t xUnits(double x, int xemr) { return int16_t(std::clamp(std::floor(x * 16384 / xemr + 0.5), -32768.0, 32767.0)); }

}  // namespace

double beltPosition(const Scene& scene, uint64_t measurement, double periodMs) {
    const double travel = scene.stepPerMeasurement ? *scene.stepPerMeasurement * double(measurement)
                                                   : scene.speed * double(measurement) * periodMs / 1000;
    if (!scene.loop)
        return scene.laserY + travel;
    const double wrapped = std::fmod(travel, scene.loopLength);
    return scene.laserY + (wrapped < 0 ? wrapped + scene.loopLength : wrapped);
}

void sampleScene(const Scene& scene, const SceneSampling& sampling, uint64_t measurement, SceneProfileMm& out) {
    const int n = std::max(1, sampling.points);
    const double step = double(sampling.xemr) / n;
    const double halfRange = sampling.xemr / 2.0;
    out.x.resize(size_t(n));
    out.z.assign(size_t(n), 0.0);
    for (int i = 0; i < n; ++i)
        out.x[size_t(i)] = -halfRange + (i + 0.5) * step;
    const double y = beltPosition(scene, measurement, sampling.periodMs);
    for (const auto& [ceiling, o] : objectsInView(scene, y)) {
        double left = 0, right = 0;
        objectExtent(*o, halfRange, left, right);
        // Clamped as doubles, both ends: an object far outside the range is beyond any int.
        const int first = int(std::clamp(std::ceil((left + halfRange) / step - 0.5), 0.0, double(n)));
        const int last = int(std::clamp(std::floor((right + halfRange) / step - 0.5), -1.0, n - 1.0));
        for (int i = first; i <= last; ++i)
            if (out.z[size_t(i)] < ceiling)
                out.z[size_t(i)] = std::max(out.z[size_t(i)], objectHeight(*o, out.x[size_t(i)], y - o->y));
    }
    for (double& z : out.z)
        z += scene.beltZ;
    hideOccluded(scene.cameraAngle, out);
    addNoise(scene.noise, scene.seed, measurement, out.z);
}

bool anyObjectAcrossTheRange(const Scene& scene, int xemr) {
    const double halfRange = xemr / 2.0;
    return std::any_of(scene.objects.begin(), scene.objects.end(), [halfRange](const SceneObject& o) {
        double left = 0, right = 0;
        objectExtent(o, halfRange, left, right);
        return left <= halfRange && right >= -halfRange;
    });
}

void renderScene(const Scene& scene, const SceneSampling& sampling, uint64_t measurement, ProfileSnapshot& out,
                 int maxPoints) {
    thread_local SceneProfileMm mm;
    sampleScene(scene, sampling, measurement, mm);
    const size_t n = std::min(mm.x.size(), size_t(std::max(0, maxPoints)));
    out.x.resize(n);
    out.z.resize(n);
    const double zScale = 16384.0 / sampling.zdiap;
    for (size_t i = 0; i < n; ++i) {
        const double z = mm.z[i] * zScale;
        const bool seen = z >= 0 && z <= 16384;  // within the measuring range; NaN never is
        out.x[i] = seen ? xUnits(mm.x[i], sampling.xemr) : 0;
        out.z[i] = seen ? uint16_t(z + 0.5) : 0;
    }
}

SceneTruth sceneTruth(const Scene& scene, const SceneSampling& sampling, uint64_t measurement) {
    SceneTruth truth;
    truth.measurement = measurement;
    truth.y = beltPosition(scene, measurement, sampling.periodMs);
    truth.beltZ = scene.beltZ;
    for (const SceneObject& o : scene.objects) {
        if (!inView(o, truth.y))
            continue;
        ObjectTruth t;
        t.id = o.id;
        t.kind = o.kind;
        objectExtent(o, sampling.xemr / 2.0, t.left, t.right);
        t.top = topAt(o, truth.y - o.y);
        if (o.kind == ObjectKind::Cylinder)
            t.diameter = o.diameter;
        if (o.kind == ObjectKind::VGroove) {
            t.depth = o.height;
            t.gap = o.gap;
            t.bevel = o.bevel;
            t.misalignment = o.misalignment;
            t.grooveWidth = 2 * grooveHalfWidth(o);
        }
        if (o.kind == ObjectKind::Tread) {
            t.depth = o.grooveDepth;
            t.pitch = o.width / o.grooves;
            t.grooves = o.grooves;
            t.grooveWidth = o.grooveWidth;
        }
        truth.objects.push_back(t);
    }
    return truth;
}

QJsonObject truthJson(const SceneTruth& truth) {
    QJsonArray objects;
    for (const ObjectTruth& t : truth.objects) {
        QJsonObject o{{"id", t.id}, {"kind", objectKindName(t.kind)}, {"left", t.left}, {"right", t.right},
                      {"top", t.top}};
        if (t.kind == ObjectKind::Cylinder)
            o.insert("diameter", t.diameter);
        if (t.kind == ObjectKind::VGroove) {
            o.insert("depth", t.depth);
            o.insert("gap", t.gap);
            o.insert("bevel", t.bevel);
            o.insert("misalignment", t.misalignment);
        }
        if (t.grooveWidth > 0)
            o.insert("grooveWidth", t.grooveWidth);
        if (t.kind == ObjectKind::Tread) {
            o.insert("depth", t.depth);
            o.insert("pitch", t.pitch);
            o.insert("grooves", t.grooves);
        }
        objects.append(o);
    }
    return QJsonObject{{"measurement", double(truth.measurement)}, {"y", truth.y}, {"belt", truth.beltZ},
                       {"objects", objects}};
}

QByteArray truthCsvHeader() {
    return QByteArrayLiteral("measurement,y,count,id,kind,left,right,top,diameter,depth,gap,bevel,misalignment,"
                             "grooveWidth,pitch,grooves,...\n");
}

QByteArray truthCsvLine(const SceneTruth& truth) {
    QByteArray line = QByteArray::number(qulonglong(truth.measurement)) + ',' + QByteArray::number(truth.y, 'g', 10) +
                      ',' + QByteArray::number(int(truth.objects.size()));
    for (const ObjectTruth& t : truth.objects) {
        line += ',' + QByteArray::number(t.id) + ',' + objectKindName(t.kind);
        for (double value : {t.left, t.right, t.top, t.diameter, t.depth, t.gap, t.bevel, t.misalignment, t.grooveWidth,
                              t.pitch})
            line += ',' + QByteArray::number(value, 'g', 10);
        line += ',' + QByteArray::number(t.grooves);
    }
    return line + '\n';
}

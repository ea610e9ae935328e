#pragma once

#include "log/Failure.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

// A described scene: objects on a belt moving under the scanner. Lengths are
// millimetres, angles degrees. X runs across the belt with 0 under the
// scanner's centre, Y along the belt, Z up from the bottom of the measuring
// range.
enum class ObjectKind { Box, Cylinder, Step, VGroove, Tread };

struct SceneObject {
    int id = 0;
    ObjectKind kind = ObjectKind::Box;
    double x = 0;       // centre across the belt; a step's edge
    double y = 0;       // where the object starts along the belt
    double length = 0;  // along the belt
    double width = 0;   // across the belt (box, tread, V-groove plates together, cylinder across)
    double height = 0;  // box, step, tread; a V-groove's plate thickness
    double diameter = 0;      // cylinder
    bool axisAlong = true;    // cylinder: axis along the belt, else across it
    bool stepsUpRight = true;  // step: raised to the right of its edge, else to the left
    double bevel = 0;         // V-groove: each side's angle from the vertical
    double bevelSlope = 0;    // tan(bevel), kept so that a profile needs no tangent per point
    double gap = 0;           // V-groove: root gap
    double misalignment = 0;  // V-groove: right plate above the left one
    int grooves = 0;          // tread
    double grooveWidth = 0;   // tread
    double grooveDepth = 0;   // tread
};

struct SceneNoise {
    double sigma = 0;        // Gaussian, on Z
    double dropout = 0;      // probability that a point is missing
    double spikes = 0;       // probability that a point jumps
    double spikeHeight = 0;  // largest jump, up or down
};

struct Scene {
    // Belt: its position under the laser at measurement m is
    // laserY + speed * m * T, or laserY + stepPerMeasurement * m.
    double speed = 0;  // mm/s
    std::optional<double> stepPerMeasurement;
    double laserY = 0;
    bool loop = false;
    double loopLength = 0;  // positions repeat after this (loop only)
    double beltZ = 0;       // height of the belt surface in the measuring range

    // Measuring range in X and Z (XEMR, ZDIAP); 0: the scanner's own.
    int xemr = 0;
    int zdiap = 0;
    double cameraAngle = 0;  // camera on the +X side when positive, -X when negative

    SceneNoise noise;
    uint64_t seed = 0;
    std::vector<SceneObject> objects;
};

constexpr int kMaxSceneObjects = 1000;
constexpr double kMaxSceneLength = 1e7;     // 10 km of belt
constexpr int kMaxSceneRange = 1000;        // as the panel's XEMR and ZDIAP
constexpr int kMaxTreadGrooves = 1000;
constexpr qint64 kMaxSceneFileBytes = 1 << 20;

struct SceneParse {
    Scene scene;
    MaybeFailure failure;  // "<file>: <json path>: <what is wrong>"; none when read
    bool ok() const { return !failure; }
};

// Checks every value and its bounds; `name` prefixes the error.
SceneParse parseScene(const QByteArray& json, const QString& name);
SceneParse readSceneFile(const QString& path);

const char* objectKindName(ObjectKind kind);

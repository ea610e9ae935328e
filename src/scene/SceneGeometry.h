#pragma once

#include "profile/ProfileStore.h"
#include "scene/Scene.h"

#include <QJsonObject>
#include <QString>
#include <vector>

// How the scanner samples a scene: the panel's point count across the X
// range, the measurement period, and the ranges that scale millimetres into
// scanner units.
struct SceneSampling {
    int points = 1280;
    double periodMs = 4.032258;
    int xemr = 70;
    int zdiap = 170;
};

// One profile in millimetres; a point the scanner does not see has z NaN.
struct SceneProfileMm {
    std::vector<double> x;
    std::vector<double> z;
};

// What one object in view truly measures at one cross-section. `top` is
// the height above the belt; the rest is 0 where the kind has no such value.
struct ObjectTruth {
    int id = 0;
    ObjectKind kind = ObjectKind::Box;
    double left = 0;
    double right = 0;
    double top = 0;
    double diameter = 0;      // cylinder
    double depth = 0;         // V-groove plate thickness, tread groove depth
    double gap = 0;           // V-groove root gap
    double bevel = 0;         // V-groove angle from the vertical
    double misalignment = 0;  // V-groove
    double grooveWidth = 0;   // V-groove across its top, tread per groove
    double pitch = 0;         // tread groove spacing
    int grooves = 0;          // tread
};

struct SceneTruth {
    uint64_t measurement = 0;
    double y = 0;      // belt position under the laser
    double beltZ = 0;  // the belt surface in the measuring range
    std::vector<ObjectTruth> objects;  // in view, in file order
};

// Belt position under the laser at measurement m (used as given: 0 is the start).
double beltPosition(const Scene& scene, uint64_t measurement, double periodMs);

// The cross-section at measurement m: surface, occlusion, then the scene's
// noise drawn from (seed, m) alone, so any measurement comes out the same in
// any order and on any thread.
void sampleScene(const Scene& scene, const SceneSampling& sampling, uint64_t measurement, SceneProfileMm& out);
// The same in scanner units; an unseen point reads X 0, Z 0.
void renderScene(const Scene& scene, const SceneSampling& sampling, uint64_t measurement, ProfileSnapshot& out,
                 int maxPoints = kMaxProfilePoints);

// False when every object lies wholly left or right of the X range: the
// profiles show the belt alone.
bool anyObjectAcrossTheRange(const Scene& scene, int xemr);

SceneTruth sceneTruth(const Scene& scene, const SceneSampling& sampling, uint64_t measurement);

// {"measurement": m, "y": mm, "belt": mm, "objects": [{"id", "kind", "left",
// "right", "top", and the kind's own values}]}
QJsonObject truthJson(const SceneTruth& truth);
// measurement,y,count then per object id,kind,left,right,top,diameter,depth,gap,bevel,misalignment,grooveWidth,pitch,grooves
QByteArray truthCsvLine(const SceneTruth& truth);
QByteArray truthCsvHeader();

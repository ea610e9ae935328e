#pragma once

#include "params/UserParams.h"
#include "profile/CsvProfile.h"
#include "profile/ProfileSource.h"
#include "scene/Scene.h"
#include "scene/SceneGeometry.h"

#include <memory>

// A scene played as a scanner's profile: measurement m is the cross-section
// at the belt position of m. The panel's point count and the DHS mode are
// read from the scanner's record at every profile, as the drawn profile
// follows them; everything else is fixed when the scene is opened.
class SceneProfileSource : public ProfileSource {
public:
    // `scannerScale` is the scanner's XEMR and ZDIAP, taken where the scene
    // leaves them out. The failure says why the file is refused.
    static Outcome<std::unique_ptr<SceneProfileSource>> open(const QString& path, CsvScale scannerScale,
                                                             const UserParamsStore& record);

    void copyProfile(uint64_t measurement, ProfileSnapshot& out, int maxPoints) override;
    SceneTruth truth(uint64_t measurement) const;
    // The ranges the profiles are scaled with: the scanner must announce these.
    CsvScale scale() const { return scale_; }
    const Scene& scene() const { return scene_; }
    SceneSampling sampling() const;

private:
    SceneProfileSource(Scene scene, CsvScale scale, const UserParamsStore& record)
        : scene_(std::move(scene)), scale_(scale), record_(record) {}

    const Scene scene_;
    const CsvScale scale_;
    const UserParamsStore& record_;
};

#include "scene/SceneProfileSource.h"

#include "log/LogCategories.h"
#include "params/UserParamsIni.h"
#include "state/MeasurementSchedule.h"

#include <algorithm>

Outcome<std::unique_ptr<SceneProfileSource>> SceneProfileSource::open(const QString& path, CsvScale scannerScale,
                                                                      const UserParamsStore& record) {
    SceneParse parse = readSceneFile(path);
    const CsvScale scale{parse.scene.xemr > 0 ? parse.scene.xemr : scannerScale.xemr,
                         parse.scene.zdiap > 0 ? parse.scene.zdiap : scannerScale.zdiap};
    if (parse.ok() && (scale.xemr <= 0 || scale.zdiap <= 0))
        parse.failure = refusedFailure(QStringLiteral("%1: scanner: give xemr and zdiap, the scanner's are %2 and %3")
                                           .arg(path)
                                           .arg(scannerScale.xemr)
                                           .arg(scannerScale.zdiap));
    if (!parse.ok())
        return *parse.failure;
    if (!parse.scene.objects.empty() && !anyObjectAcrossTheRange(parse.scene, scale.xemr))
        qCWarning(lcProfile).noquote() << QStringLiteral("%1: every object lies outside the X range of %2 mm: the "
                                                         "profiles show the belt alone").arg(path).arg(scale.xemr);
    return std::unique_ptr<SceneProfileSource>(new SceneProfileSource(std::move(parse.scene), scale, record));
}

SceneSampling SceneProfileSource::sampling() const {
    const USER_PARAMS p = record_.snapshot();
    SceneSampling s;
    s.points = 80 << std::min(int(p.interpolation_u8), kPointCountChoices - 1);
    s.periodMs = p.dhs_enable_u8 ? MeasurementSchedule::kDhsPeriodMs : MeasurementSchedule::kNormalPeriodMs;
    s.xemr = scale_.xemr;
    s.zdiap = scale_.zdiap;
    return s;
}

void SceneProfileSource::copyProfile(uint64_t measurement, ProfileSnapshot& out, int maxPoints) {
    renderScene(scene_, sampling(), measurement, out, maxPoints);
}

SceneTruth SceneProfileSource::truth(uint64_t measurement) const { return sceneTruth(scene_, sampling(), measurement); }

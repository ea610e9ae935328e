// Arbitrary bytes as a scene file. A refused file names the file; a read one
// stays within its bounds and renders, twice alike, profiles whose points are
// in the measuring range or unseen, and truths only of its own objects.
#include "FuzzCheck.h"
#include "scene/SceneGeometry.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    SceneSampling sampling;
    sampling.points = 80 << in.ConsumeIntegralInRange<int>(0, 4);
    sampling.xemr = in.ConsumeIntegralInRange<int>(1, kMaxSceneRange);
    sampling.zdiap = in.ConsumeIntegralInRange<int>(1, kMaxSceneRange);
    const uint64_t measurement = in.ConsumeIntegral<uint32_t>();
    const std::string text = in.ConsumeRemainingBytesAsString();

    const SceneParse parse = parseScene(QByteArray(text.data(), int(text.size())), QStringLiteral("f.json"));
    if (!parse.ok()) {
        require(parse.error.startsWith(QLatin1String("f.json: ")), "a refusal names the file");
        return 0;
    }
    require(parse.scene.objects.size() <= size_t(kMaxSceneObjects), "objects bounded");
    ProfileSnapshot first, again;
    renderScene(parse.scene, sampling, measurement, first);
    renderScene(parse.scene, sampling, measurement, again);
    require(first.x == again.x && first.z == again.z, "a measurement renders alike every time");
    require(first.count() == sampling.points, "one point per sample");
    for (int i = 0; i < first.count(); ++i)
        require(first.z[size_t(i)] <= 16384, "points within the measuring range");
    const SceneTruth truth = sceneTruth(parse.scene, sampling, measurement);
    require(truth.objects.size() <= parse.scene.objects.size(), "truth only of the scene's objects");
    truthCsvLine(truth);
    truthJson(truth);
    return 0;
}

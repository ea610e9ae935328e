// One profile of 1280 points from a scene of 20 objects, all in view at once,
// with occlusion and every kind of noise: the cost each scanner of a rig pays
// per measurement (64 scanners at 491 Hz leave 30 us per profile on one core).
#include "scene/SceneGeometry.h"

#include <benchmark/benchmark.h>

namespace {

Scene twentyObjects() {
    QString objects;
    const char* kinds[] = {
        R"({"kind": "box", "x": %1, "y": 0, "length": 1000, "width": 3, "height": 20})",
        R"({"kind": "cylinder", "x": %1, "y": 0, "length": 1000, "diameter": 3})",
        R"({"kind": "tread", "x": %1, "y": 0, "length": 1000, "width": 3, "height": 10, "grooves": 2,
            "grooveWidth": 0.5, "grooveDepth": 4})",
        R"({"kind": "vgroove", "x": %1, "y": 0, "length": 1000, "width": 3, "height": 2, "bevel": 20, "gap": 0.2})",
    };
    for (int i = 0; i < 20; ++i)
        objects += (i ? "," : "") + QString::fromLatin1(kinds[i % 4]).arg(-33.25 + 3.5 * i);
    const QString json = QStringLiteral(R"({"belt": {"speed": 250, "z": 20, "loopLength": 1000}, "loop": true, "scanner": {"cameraAngle": 20},
        "noise": {"sigma": 0.05, "dropout": 0.01, "spikes": 0.001, "spikeHeight": 3}, "objects": [%1]})")
                             .arg(objects);
    const SceneParse parse = parseScene(json.toUtf8(), QStringLiteral("bench"));
    if (!parse.ok())
        qFatal("%s", qPrintable(messageOf(parse.failure)));
    return parse.scene;
}

void BM_SceneProfile1280Points20Objects(benchmark::State& state) {
    const Scene scene = twentyObjects();
    const SceneSampling sampling{1280, 4.032258, 70, 170};
    ProfileSnapshot out;
    uint64_t measurement = 0;
    for (auto _ : state) {
        renderScene(scene, sampling, ++measurement, out);
        benchmark::DoNotOptimize(out.z.data());
    }
    state.counters["objects_in_view"] = double(sceneTruth(scene, sampling, measurement).objects.size());
}
BENCHMARK(BM_SceneProfile1280Points20Objects)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

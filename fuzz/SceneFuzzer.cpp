// Arbitrary bytes as a scene file, or (as one byte after the sampling says)
// as the choices of a scene built to pass the parser, whose numbers reach everywhere it takes,
// its limits included. A refused file names the file; a read one stays
// within its bounds and renders, twice alike, profiles whose points are in
// the measuring range or unseen, and truths only of its own objects.
#include "FuzzCheck.h"
#include "scene/SceneGeometry.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits>
#include <string>

namespace {

constexpr double kLength = kMaxSceneLength;
constexpr double kTiny = std::numeric_limits<double>::min();

// Either end of [low, high], a whole number in it, or anything in it.
double number(FuzzedDataProvider& in, double low, double high) {
    if (!(low < high))
        return low;
    const double any = in.ConsumeFloatingPointInRange(low, high);
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return low;
    case 1: return high;
    case 2: return std::clamp(std::round(any), low, high);
    default: return any;
    }
}
double positive(FuzzedDataProvider& in) { return number(in, kTiny, kLength); }
double above(FuzzedDataProvider& in, double least) { return number(in, std::nextafter(least, kLength), kLength); }

QJsonObject object(FuzzedDataProvider& in) {
    static const char* const kinds[] = {"box", "cylinder", "step", "vgroove", "tread"};
    const int kind = in.ConsumeIntegralInRange(0, 4);
    const double height = positive(in), width = positive(in);
    QJsonObject o{{"kind", kinds[kind]}, {"x", number(in, -kLength, kLength)}, {"y", number(in, -kLength, kLength)},
                  {"length", positive(in)}, {"height", height}, {"width", width}};
    if (kind == 1) {  // a cylinder along the belt has no width, one across it no length
        o = QJsonObject{{"kind", "cylinder"}, {"x", o["x"]}, {"y", o["y"]}, {"diameter", height},
                        {in.ConsumeBool() ? "width" : "length", width}};
        o["axis"] = o.contains("width") ? "across" : "along";
    } else if (kind == 2) {
        o.remove("width");
        o["rises"] = in.ConsumeBool() ? "left" : "right";
    } else if (kind == 3) {
        const double bevel = number(in, 0, 80), gap = number(in, 0, kLength);
        o["bevel"] = bevel;
        o["gap"] = gap;
        o["misalignment"] = number(in, -height, height);
        o["width"] = above(in, gap + 2 * height * std::tan(bevel * M_PI / 180));
    } else if (kind == 4) {
        const int grooves = in.ConsumeIntegralInRange(1, kMaxTreadGrooves);
        o["grooves"] = grooves;
        o["grooveWidth"] = number(in, kTiny, kLength / grooves);
        o["grooveDepth"] = number(in, kTiny, height);
        o["width"] = above(in, o["grooveWidth"].toDouble() * grooves);
    }
    return o;
}

QByteArray builtScene(FuzzedDataProvider& in) {
    QJsonArray objects;
    for (int i = in.ConsumeIntegralInRange(0, 8); i > 0; --i)
        objects.append(object(in));
    const bool loop = in.ConsumeBool();
    QJsonObject belt{{"laserY", number(in, -kLength, kLength)}, {"z", number(in, 0, kMaxSceneRange)}};
    const bool stepped = in.ConsumeBool();
    belt[stepped ? "stepPerMeasurement" : "speed"] = stepped ? number(in, -1e4, 1e4) : number(in, -1e6, 1e6);
    if (loop)
        belt["loopLength"] = positive(in);
    const QJsonObject scanner{{"xemr", std::round(number(in, 1, kMaxSceneRange))},
                              {"zdiap", std::round(number(in, 1, kMaxSceneRange))},
                              {"cameraAngle", number(in, -80, 80)}};
    const QJsonObject noise{{"sigma", number(in, 0, kMaxSceneRange)}, {"dropout", number(in, 0, 1)},
                            {"spikes", number(in, 0, 1)}, {"spikeHeight", number(in, 0, kMaxSceneRange)}};
    const QJsonObject scene{{"objects", objects}, {"belt", belt},   {"loop", loop},
                            {"scanner", scanner}, {"noise", noise}, {"seed", std::round(number(in, 0, 0x1p53))}};
    return QJsonDocument(scene).toJson(QJsonDocument::Compact);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    SceneSampling sampling;
    sampling.points = 80 << in.ConsumeIntegralInRange<int>(0, 4);
    sampling.xemr = in.ConsumeIntegralInRange<int>(1, kMaxSceneRange);
    sampling.zdiap = in.ConsumeIntegralInRange<int>(1, kMaxSceneRange);
    const uint64_t measurement = in.ConsumeIntegral<uint32_t>();
    const bool built = in.ConsumeBool();
    const std::string text = built ? std::string() : in.ConsumeRemainingBytesAsString();

    const SceneParse parse =
        parseScene(built ? builtScene(in) : QByteArray(text.data(), int(text.size())), QStringLiteral("f.json"));
    if (!parse.ok()) {
        require(messageOf(parse.failure).startsWith(QLatin1String("f.json: ")), "a refusal names the file");
        return 0;
    }
    require(parse.scene.objects.size() <= size_t(kMaxSceneObjects), "objects bounded");
    // As the scanner plays it: the scene's own ranges where it gives them.
    sampling.xemr = parse.scene.xemr > 0 ? parse.scene.xemr : sampling.xemr;
    sampling.zdiap = parse.scene.zdiap > 0 ? parse.scene.zdiap : sampling.zdiap;
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

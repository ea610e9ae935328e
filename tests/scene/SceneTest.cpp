#include "scene/SceneGeometry.h"
#include "scene/SceneProfileSource.h"
#include "support/TestUtil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr double kBelt = 20;
const SceneSampling kSampling{1280, 4.032258, 70, 170};
const double kStep = 70.0 / 1280;

// A still scene with one object in view at measurement 0 and no noise unless asked.
Scene sceneWith(const QString& object, const QString& rest = QString()) {
    const QString json = QStringLiteral(R"({"belt": {"z": %1}, "objects": [%2] %3})").arg(kBelt).arg(object, rest);
    const SceneParse parse = parseScene(json.toUtf8(), QStringLiteral("test.json"));
    EXPECT_TRUE(parse.ok()) << messageOf(parse.failure).toStdString();
    return parse.scene;
}

SceneProfileMm profileOf(const Scene& scene, uint64_t measurement = 0) {
    SceneProfileMm p;
    sampleScene(scene, kSampling, measurement, p);
    return p;
}

struct Seen {
    double left = NAN, right = NAN, top = 0;
};

// Where the profile stands above the belt, and its highest point there.
Seen raised(const SceneProfileMm& p) {
    Seen s;
    for (size_t i = 0; i < p.x.size(); ++i)
        if (p.z[i] > kBelt + 1e-9) {
            s.left = std::isnan(s.left) ? p.x[i] : s.left;
            s.right = p.x[i];
            s.top = std::max(s.top, p.z[i] - kBelt);
        }
    return s;
}

struct ObjectCase {
    const char* name;
    const char* json;
    double left, right, top, topWidth;  // topWidth: how much of the profile is at the top
    const char* truthOfItsKind;  // what the truth adds for the kind
};

class ObjectInView : public testing::TestWithParam<ObjectCase> {};

}  // namespace

TEST_P(ObjectInView, ProfileAndTruthAgreeOnEdgesAndTop) {
    const ObjectCase& c = GetParam();
    const Scene scene = sceneWith(QString::fromUtf8(c.json));
    const SceneProfileMm profile = profileOf(scene);
    const Seen seen = raised(profile);
    EXPECT_NEAR(seen.left, c.left, kStep);
    EXPECT_NEAR(seen.right, c.right, kStep);
    EXPECT_NEAR(seen.top, c.top, 0.01);
    EXPECT_NEAR(kStep * std::count_if(profile.z.begin(), profile.z.end(), [&](double z) { return z > kBelt + c.top - 1e-6; }),
                c.topWidth, 0.2);
    const SceneTruth truth = sceneTruth(scene, kSampling, 1000000);  // still: the same at any time
    ASSERT_EQ(truth.objects.size(), 1u);
    EXPECT_EQ(std::pair(truth.objects[0].left, truth.objects[0].right), std::pair(c.left, c.right));
    EXPECT_NEAR(truth.objects[0].top, c.top, 1e-9);

    QJsonObject json = truthJson(truth).value("objects").toArray().at(0).toObject();
    const QList<QByteArray> header = truthCsvHeader().trimmed().split(',');
    const QList<QByteArray> line = truthCsvLine(truth).trimmed().split(',');
    for (int i = 5; i < line.size(); ++i)  // the CSV holds what the JSON does, 0 for what it leaves out
        EXPECT_EQ(line[i], QByteArray::number(json.value(header[i]).toDouble(), 'g', 10)) << header[i].data();
    for (const char* common : {"id", "kind", "left", "right", "top"})
        json.remove(common);
    EXPECT_EQ(json, QJsonDocument::fromJson(c.truthOfItsKind).object());
}

// A lower object across the whole range, listed first, must not hide any of the object's top.
TEST_P(ObjectInView, ItsTopShowsAboveALowerBoxAcrossTheRange) {
    const ObjectCase& c = GetParam();
    constexpr double kBelowTheTop = 0.5;
    const QString box = QStringLiteral(R"({"kind": "box", "y": -5, "length": 10, "width": 70, "height": %1})")
                            .arg(c.top - kBelowTheTop);
    EXPECT_NEAR(raised(profileOf(sceneWith(box + ',' + QString::fromUtf8(c.json)))).top, c.top, 0.01);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ObjectInView,
    testing::Values(
        ObjectCase{"Box", R"({"kind": "box", "x": 5, "y": -1, "length": 2, "width": 20, "height": 30})", -5, 15, 30, 20, "{}"},
        ObjectCase{"CylinderAlong", R"({"kind": "cylinder", "x": -10, "y": -1, "length": 5, "diameter": 12})", -16, -4, 12, 0,
                   R"({"diameter": 12})"},
        // Measurement 0 cuts an across-axis cylinder 3 mm before its middle.
        ObjectCase{"CylinderAcross", R"({"kind": "cylinder", "axis": "across", "y": -2, "width": 40, "diameter": 10})", -20, 20,
                   5 + 4, 40, R"({"diameter": 10})"},
        ObjectCase{"Step", R"({"kind": "step", "x": 12.5, "y": -1, "length": 2, "height": 7})", 12.5, 35, 7, 22.5, "{}"},
        ObjectCase{"Tread", R"({"kind": "tread", "y": -1, "length": 2, "width": 60, "height": 12, "grooves": 4,
                       "grooveWidth": 5, "grooveDepth": 8})",
                   -30, 30, 12, 60 - 4 * 5, R"({"depth": 8, "pitch": 15, "grooves": 4, "grooveWidth": 5})"}),
    [](const testing::TestParamInfo<ObjectCase>& info) { return std::string(info.param.name); });

// Within the file's limits, yet millions of samples past either end of a 1 mm range.
class ObjectOutsideTheRange : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(ObjectOutsideTheRange, LeavesTheBeltAlone) {
    SceneProfileMm p;
    sampleScene(sceneWith(GetParam().second), SceneSampling{1280, 4.032258, 1, 170}, 0, p);
    EXPECT_EQ(std::count(p.z.begin(), p.z.end(), kBelt), 1280);
}

INSTANTIATE_TEST_SUITE_P(
    FarAway, ObjectOutsideTheRange,
    testing::Values(std::pair{"BoxRight", R"({"x": 5e6, "y": -1, "length": 2, "width": 1, "height": 1})"},
                    std::pair{"BoxLeft", R"({"x": -1e7, "y": -1, "length": 2, "width": 1e7, "height": 1})"},
                    std::pair{"StepRight", R"({"kind": "step", "x": 1e7, "y": -1, "length": 2, "height": 1})"},
                    std::pair{"StepLeft", R"({"kind": "step", "rises": "left", "x": -1e7, "y": -1, "length": 2,
                                 "height": 1})"}),
    [](const auto& info) { return std::string(info.param.first); });

TEST(SceneOcclusion, ShadowBehindAStepIsItsHeightTimesTheCameraAngle) {
    const struct {
        double height, angle, shadow;
    } cases[] = {{10, 20, 10 * std::tan(20 * M_PI / 180)}, {5, 45, 5}, {20, 30, 20 * std::tan(30 * M_PI / 180)},
                 {10, -30, 0}};
    for (const auto& c : cases) {
        const Scene scene = sceneWith(QStringLiteral(R"({"kind": "step", "y": -1, "length": 2, "height": %1})")
                                          .arg(c.height),
                                      QStringLiteral(R"(, "scanner": {"cameraAngle": %1})").arg(c.angle));
        const SceneProfileMm p = profileOf(scene);
        const long hidden = std::count_if(p.z.begin(), p.z.end(), [](double z) { return std::isnan(z); });
        EXPECT_NEAR(hidden * kStep, c.shadow, kStep) << c.height << " mm at " << c.angle << " degrees";
    }
}

TEST(SceneVGroove, GapBevelAndMisalignmentAreRecoveredFromTheProfile) {
    // Centred half a step off, so that both root edges fall on a point: the right plate starts at its edge.
    const Scene scene = sceneWith(R"({"kind": "vgroove", "y": -1, "length": 2, "width": 80, "height": 10, "bevel": 30,
                                      "gap": 7, "misalignment": 1, "x": 0.02734375})");
    const SceneProfileMm p = profileOf(scene);
    double rootLeft = NAN, rootRight = NAN, faceLow = NAN, faceHigh = NAN;
    for (size_t i = 0; i < p.x.size(); ++i) {
        if (p.x[i] > -20 && p.x[i] < 20 && p.z[i] <= kBelt + 1e-9) {
            rootLeft = std::isnan(rootLeft) ? p.x[i] : rootLeft;
            rootRight = p.x[i];
        }
        if (p.x[i] < 0 && p.z[i] > kBelt + 2 && p.z[i] < kBelt + 8) {  // the left face, away from its ends
            faceLow = std::isnan(faceLow) ? p.x[i] : faceLow;
            faceHigh = p.x[i];
        }
    }
    EXPECT_EQ(rootRight - rootLeft + kStep, 7);
    EXPECT_NEAR(std::atan((faceHigh - faceLow) / 6) * 180 / M_PI, 30, 0.6) << "the bevel, within a step of the face";
    EXPECT_NEAR(p.z.back() - p.z.front(), 1, 1e-9);  // the plates' outer ends, both beyond the range
    EXPECT_NEAR(sceneTruth(scene, kSampling, 0).objects.at(0).top, 11, 1e-12);
}

TEST(SceneBelt, PositionAfterMMeasurements) {
    const struct {
        const char* belt;
        bool loop;
        double periodMs;
        uint64_t m;
        double y;
    } cases[] = {{R"("speed": 100)", false, 4.032258, 1000, 403.2258},
                 {R"("speed": 100, "laserY": -50)", false, 2.03666, 1000, 153.666},
                 {R"("stepPerMeasurement": 0.5)", false, 4.032258, 7, 3.5},
                 {R"("stepPerMeasurement": 0.5, "loopLength": 3)", true, 4.032258, 6, 0},
                 {R"("speed": -100, "loopLength": 300)", true, 4.032258, 1000, 300 - 103.2258}};
    for (const auto& c : cases) {
        const QString json = QStringLiteral(R"({"belt": {%1}, "loop": %2, "objects": []})")
                                 .arg(QLatin1String(c.belt), c.loop ? "true" : "false");
        const SceneParse parse = parseScene(json.toUtf8(), "belt.json");
        ASSERT_TRUE(parse.ok()) << messageOf(parse.failure).toStdString();
        EXPECT_NEAR(beltPosition(parse.scene, c.m, c.periodMs), c.y, 1e-9) << c.belt;
    }
}

TEST(SceneNoise, SameSeedSameProfileInAnyOrderAndAnotherSeedDiffers) {
    const QString box = R"({"kind": "box", "y": -1, "length": 2, "width": 20, "height": 30})";
    const QString noise = R"(, "noise": {"sigma": 0.1, "dropout": 0.05, "spikes": 0.01, "spikeHeight": 3})";
    const Scene scene = sceneWith(box, R"(, "seed": 7)" + noise);
    const Scene other = sceneWith(box, R"(, "seed": 8)" + noise);
    ProfileSnapshot first, again, later, otherSeed;
    renderScene(scene, kSampling, 3, first);
    renderScene(scene, kSampling, 9, later);
    renderScene(scene, kSampling, 3, again);
    renderScene(other, kSampling, 3, otherSeed);
    EXPECT_EQ(first.z, again.z);
    EXPECT_NE(first.z, later.z);
    EXPECT_NE(first.z, otherSeed.z);
}

TEST(SceneNoise, SigmaDropoutAndSpikesAsTheFileSays) {
    const QString farBox = R"({"kind": "box", "y": 100, "length": 1, "width": 1, "height": 1})";
    const Scene scene = sceneWith(farBox, R"(, "noise": {"sigma": 0.2, "dropout": 0.1})");
    double sum = 0, squares = 0;
    long points = 0, dropped = 0;
    for (uint64_t m = 0; m < 8; ++m)
        for (double z : profileOf(scene, m).z) {
            dropped += std::isnan(z);
            if (!std::isnan(z)) {
                sum += z - kBelt;
                squares += (z - kBelt) * (z - kBelt);
                ++points;
            }
        }
    EXPECT_NEAR(std::sqrt(squares / points - (sum / points) * (sum / points)), 0.2, 0.2 * 0.05);
    EXPECT_NEAR(double(dropped) / (points + dropped), 0.1, 0.01);

    const Scene spiky = sceneWith(farBox, R"(, "noise": {"spikes": 0.1, "spikeHeight": 3})");
    double spiked = 0, rise = 0;
    for (uint64_t m = 0; m < 8; ++m)
        for (double z : profileOf(spiky, m).z) {
            spiked += z != kBelt;
            rise += z - kBelt;
        }
    EXPECT_NEAR(spiked / (8 * kSampling.points), 0.1, 0.01) << "spikes alone";
    EXPECT_NEAR(rise / spiked, 0, 0.3) << "spikes as high as deep";
}

TEST(SceneFile, TakesASeedUpToTwoToThe53) {
    const SceneParse parse = parseScene(R"({"objects": [], "seed": 9007199254740992})", QStringLiteral("f.json"));
    EXPECT_EQ(parse.scene.seed, uint64_t(1) << 53) << messageOf(parse.failure).toStdString();
}

TEST(SceneFile, IsRefusedNamingThePathAndTheFault) {
    const struct {
        QByteArray json;
        const char* error;
    } cases[] = {
        {R"({"objects": [{"kind": "box", "width": 1, "height": 1, "length": 1}, {"kind": "box", "width": 0}]})",
         "f.json: objects[1].width: must be > 0"},
        {R"({})", "f.json: objects: is missing"},
        {R"({"objects": [{"kind": "step", "length": 1}]})", "f.json: objects[0].height: is missing"},
        {R"({"objects": [{"kind": "cone"}]})", "f.json: objects[0].kind: must be one of"},
        {R"({"objects": [], "belt": {"speed": 1, "stepPerMeasurement": 1}})", "f.json: belt.speed: give speed or"},
        {R"({"objects": [], "no is": {}})", "f.json: no is: is not a known key"},  // a space is no control character
        {R"({"objects": [], "noise": {"sigm": 1}})", "noise.sigm: is not a known key"},
        {R"({"objects": [], "belt": {"sped": 1}})", "belt.sped: is not a known key"},
        {R"({"objects": [], "scanner": {"xmr": 1}})", "scanner.xmr: is not a known key"},
        {R"({"objects": [{"kind": "step", "height": 1, "length": 1, "hight": 1}]})", "[0].hight: is not a known key"},
        {R"({"objects": [], "seed": -1})", "f.json: seed: must be from 0"},
        {R"({"objects": [], "seed": 9007199254740994})", "f.json: seed: must be from 0 to 9007199254740992"},
        {R"({"objects": [], "noise": {"spikes": 1.5}})", "f.json: noise.spikes: must be from 0 to 1"},
        {R"({"objects": [], "scanner": {"xemr": 1.5}})", "f.json: scanner.xemr: must be a whole number"},
        {R"({"objects": [], "loop": true})", "f.json: belt.loopLength: must be > 0"},
        {R"({"objects": [{"kind": "box", "width": 1e300, "height": 1, "length": 1}]})", "objects[0].width: must be within"},
        {R"({"objects": [{"kind": "vgroove", "width": 10, "height": 10, "bevel": 45, "gap": 1, "length": 1}]})",
         "objects[0].width: must be wider than the groove"},
        {R"({"objects": [{"kind": "tread", "width": 9, "height": 5, "grooveWidth": 9, "grooveDepth": 1, "length": 1}]})",
         "objects[0].grooveWidth: leaves no tread between 1 grooves"},  // one unless given
        {R"({"objects": [{"id": 4, "kind": "step", "height": 1, "length": 1}, {"id": 4, "kind": "step",
             "height": 1, "length": 1}]})", "objects[1].id: 4 is used twice"},
        {R"([1, 2])", "f.json: the scene must be a JSON object"},
        {R"({"objects": ["\\"], "belt": {}, "b\u0065lt": {}})", R"(f.json: the key "belt" is given twice)"},
        {QByteArray(1023, '[') + R"({"a": 1, "a": 2})" + QByteArray(1023, ']'), R"(the key "a" is given twice)"},
        {QByteArray("{\"\0a\": {}, \"\0b\": 1}", 19), "f.json: byte 2 is a control character in a string"},
        {R"({"objects": [)", "f.json: not JSON at byte 13: "},
        {R"({"objects": [{"kind": "box", "width": "1", "height": 1, "length": 1}]})", "objects[0].width: must be a number"},
        {R"({"objects": [{"kind": "tread", "width": 10, "height": 5, "grooves": 1, "grooveWidth": 2, "grooveDepth": 6,
             "length": 1}]})",
         "objects[0].grooveDepth: must be at most the height 5"},
        {R"({"objects": [], "loop": 1})", "f.json: loop: must be true or false"},
        {R"({"objects": [], "belt": []})", "f.json: belt: must be an object"},
        {R"({"objects": {}})", "f.json: objects: must be an array"},
        {R"({"objects": [)" + QByteArray("1,").repeated(kMaxSceneObjects) + "1]}",
         "f.json: objects: holds more than 1000 objects"},
        {R"({"objects": [)" + QByteArray("1,").repeated(kMaxSceneObjects - 1) + "1]}", "f.json: objects[0]: must be"},
    };
    for (const auto& c : cases) {
        const SceneParse parse = parseScene(c.json, QStringLiteral("f.json"));
        EXPECT_TRUE(messageOf(parse.failure).contains(QLatin1String(c.error))) << messageOf(parse.failure).toStdString();
    }
}

int outsideWarnings = 0;

void countOutsideWarnings(QtMsgType type, const QMessageLogContext&, const QString& text) {
    outsideWarnings += type == QtWarningMsg && text.contains(QLatin1String("every object lies outside the X range"));
}

TEST(SceneFile, WhoseObjectsAllLieOutsideTheRangeIsWarnedOfOnceNotPerProfile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("s.json");
    ASSERT_TRUE(writeFile(path, R"({"objects": [{"x": 5e6, "width": 1, "height": 1, "length": 1}]})"));
    const QtMessageHandler previous = qInstallMessageHandler(countOutsideWarnings);
    const UserParamsStore record;
    const auto source = SceneProfileSource::open(path, CsvScale{1, 170}, record);
    ProfileSnapshot frame;
    for (uint64_t m = 0; source.ok() && m < 3; ++m)
        (*source)->copyProfile(m, frame, kMaxProfilePoints);
    qInstallMessageHandler(previous);
    EXPECT_EQ(outsideWarnings, 1) << source.failure().message.toStdString();
}

// A scale the file leaves out is the scanner's, and both must be known.
TEST(SceneFile, TakesTheScannersScaleWhereItGivesNone) {
    QTemporaryDir dir;
    const QString path = dir.filePath("s.json");
    const UserParamsStore record;
    for (const auto& [given, scanner, unknown, refusal] :
         {std::tuple{"zdiap", CsvScale{1, 170}, CsvScale{0, 170}, "0 and 170"},
          {"xemr", CsvScale{170, 1}, CsvScale{170, 0}, "170 and 0"}}) {
        ASSERT_TRUE(writeFile(path, QByteArray(R"({"objects": [], "scanner": {")") + given + R"(": 1}})"));
        const auto opened = SceneProfileSource::open(path, scanner, record);
        ASSERT_TRUE(opened.ok()) << opened.failure().message.toStdString();
        const auto& source = *opened;
        EXPECT_EQ(std::make_pair(source->sampling().xemr, source->sampling().zdiap), std::make_pair(1, 1));
        ProfileSnapshot frame;  // the belt, at 0 unless given, lies at the range's near end and is seen
        source->copyProfile(0, frame, 1);
        EXPECT_TRUE(frame.x[0] < 0 && frame.z[0] == 0) << frame.x[0] << ", " << frame.z[0];
        const QString error = SceneProfileSource::open(path, unknown, record).failure().message;
        EXPECT_TRUE(error.endsWith(QString("give xemr and zdiap, the scanner's are ") + refusal)) << error.toStdString();
    }
}

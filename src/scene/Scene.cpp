#include "scene/Scene.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <cerrno>
#include <cmath>

namespace {

// The first thing wrong with a file; thrown from deep in the checks and
// caught once, so every check is one line.
struct SceneError {
    QString path;
    QString what;
};

constexpr double kMaxBevel = 80;  // steeper bevels leave no groove to see
constexpr double kMaxSeed = 9007199254740992.0;  // 2^53: every integer up to it is exact in JSON

// One JSON object and where it sits in the file. Every key read is noted, so
// that a misspelt key is refused rather than ignored.
class Node {
public:
    Node(QJsonObject object, QString path) : object_(std::move(object)), path_(std::move(path)) {}

    QString pathOf(const QString& key) const { return path_.isEmpty() ? key : path_ + QLatin1Char('.') + key; }
    [[noreturn]] void fail(const QString& key, const QString& what) const { throw SceneError{pathOf(key), what}; }
    bool has(const QString& key) {
        read_.insert(key);
        return object_.contains(key);
    }

    double number(const QString& key, double fallback) { return has(key) ? presentNumber(key) : fallback; }
    double anyNumber(const QString& key) const {
        const QJsonValue value = object_.value(key);
        if (!value.isDouble())
            fail(key, QStringLiteral("must be a number"));
        return value.toDouble();
    }
    double presentNumber(const QString& key) const {
        const double n = anyNumber(key);
        if (!(std::fabs(n) <= kMaxSceneLength))
            fail(key, QStringLiteral("must be within +-%1").arg(kMaxSceneLength));
        return n;
    }
    double required(const QString& key) {
        if (!has(key))
            fail(key, QStringLiteral("is missing"));
        return presentNumber(key);
    }
    double positive(const QString& key) {
        const double n = required(key);
        if (!(n > 0))
            fail(key, QStringLiteral("must be > 0"));
        return n;
    }
    double within(const QString& key, double fallback, double low, double high) {
        if (!has(key))
            return fallback;
        const double n = anyNumber(key);  // its own range, which may reach past a length's (the seed's)
        if (n < low || n > high)
            fail(key, QStringLiteral("must be from %1 to %2").arg(low, 0, 'g', 16).arg(high, 0, 'g', 16));
        return n;
    }
    int integer(const QString& key, int fallback, int low, int high) {
        const double n = within(key, fallback, low, high);
        if (n != std::floor(n))
            fail(key, QStringLiteral("must be a whole number"));
        return int(n);
    }
    bool flag(const QString& key, bool fallback) {
        if (!has(key))
            return fallback;
        if (!object_.value(key).isBool())
            fail(key, QStringLiteral("must be true or false"));
        return object_.value(key).toBool();
    }
    QString choice(const QString& key, const QStringList& choices) {
        const QString text = has(key) ? object_.value(key).toString() : choices.front();
        if (!choices.contains(text))
            fail(key, QStringLiteral("must be one of %1").arg(choices.join(QStringLiteral(", "))));
        return text;
    }
    Node child(const QString& key) {
        if (!has(key))
            return Node({}, pathOf(key));
        if (!object_.value(key).isObject())
            fail(key, QStringLiteral("must be an object"));
        return Node(object_.value(key).toObject(), pathOf(key));
    }
    QJsonArray array(const QString& key) {
        if (!has(key))
            fail(key, QStringLiteral("is missing"));
        if (!object_.value(key).isArray())
            fail(key, QStringLiteral("must be an array"));
        return object_.value(key).toArray();
    }
    void refuseUnknownKeys() const {
        for (auto it = object_.begin(); it != object_.end(); ++it)
            if (!read_.contains(it.key()))
                fail(it.key(), QStringLiteral("is not a known key"));
    }

private:
    QJsonObject object_;
    QString path_;
    QSet<QString> read_;
};

const QStringList kKindNames = {QStringLiteral("box"), QStringLiteral("cylinder"), QStringLiteral("step"),
                                QStringLiteral("vgroove"), QStringLiteral("tread")};

void readVGroove(Node& node, SceneObject& o) {
    o.width = node.positive(QStringLiteral("width"));
    o.height = node.positive(QStringLiteral("height"));
    o.bevel = node.within(QStringLiteral("bevel"), 0, 0, kMaxBevel);
    o.gap = node.within(QStringLiteral("gap"), 0, 0, kMaxSceneLength);
    o.misalignment = node.within(QStringLiteral("misalignment"), 0, -o.height, o.height);
    o.bevelSlope = std::tan(o.bevel * M_PI / 180);
    const double groove = o.gap + 2 * o.height * o.bevelSlope;
    if (o.width <= groove)
        node.fail(QStringLiteral("width"), QStringLiteral("must be wider than the groove's %1 mm").arg(groove));
}

void readTread(Node& node, SceneObject& o) {
    o.width = node.positive(QStringLiteral("width"));
    o.height = node.positive(QStringLiteral("height"));
    o.grooves = node.integer(QStringLiteral("grooves"), 1, 1, kMaxTreadGrooves);
    o.grooveWidth = node.positive(QStringLiteral("grooveWidth"));
    o.grooveDepth = node.positive(QStringLiteral("grooveDepth"));
    if (o.grooveDepth > o.height)
        node.fail(QStringLiteral("grooveDepth"), QStringLiteral("must be at most the height %1").arg(o.height));
    if (o.grooveWidth * o.grooves >= o.width)
        node.fail(QStringLiteral("grooveWidth"), QStringLiteral("leaves no tread between %1 grooves").arg(o.grooves));
}

SceneObject readObject(Node& node, int index) {
    SceneObject o;
    o.id = node.integer(QStringLiteral("id"), index + 1, 0, 1 << 30);
    o.kind = ObjectKind(kKindNames.indexOf(node.choice(QStringLiteral("kind"), kKindNames)));
    o.x = node.number(QStringLiteral("x"), 0);
    o.y = node.number(QStringLiteral("y"), 0);
    switch (o.kind) {
    case ObjectKind::Box:
        o.width = node.positive(QStringLiteral("width"));
        o.height = node.positive(QStringLiteral("height"));
        break;
    case ObjectKind::Cylinder:
        o.diameter = node.positive(QStringLiteral("diameter"));
        o.axisAlong = node.choice(QStringLiteral("axis"), {QStringLiteral("along"), QStringLiteral("across")}) ==
                      QLatin1String("along");
        if (!o.axisAlong) {
            o.width = node.positive(QStringLiteral("width"));
            o.length = o.diameter;
        }
        break;
    case ObjectKind::Step:
        o.height = node.positive(QStringLiteral("height"));
        o.stepsUpRight = node.choice(QStringLiteral("rises"), {QStringLiteral("right"), QStringLiteral("left")}) ==
                         QLatin1String("right");
        break;
    case ObjectKind::VGroove: readVGroove(node, o); break;
    case ObjectKind::Tread: readTread(node, o); break;
    }
    if (o.kind != ObjectKind::Cylinder || o.axisAlong)
        o.length = node.positive(QStringLiteral("length"));
    node.refuseUnknownKeys();
    return o;
}

void readObjects(Node& root, Scene& scene) {
    const QJsonArray objects = root.array(QStringLiteral("objects"));
    if (objects.size() > kMaxSceneObjects)
        root.fail(QStringLiteral("objects"), QStringLiteral("holds more than %1 objects").arg(kMaxSceneObjects));
    QSet<int> ids;
    for (int i = 0; i < objects.size(); ++i) {
        const QString path = QStringLiteral("objects[%1]").arg(i);
        if (!objects[i].isObject())
            throw SceneError{path, QStringLiteral("must be an object")};
        Node node(objects[i].toObject(), path);
        SceneObject o = readObject(node, i);
        if (ids.contains(o.id))
            node.fail(QStringLiteral("id"), QStringLiteral("%1 is used twice").arg(o.id));
        ids.insert(o.id);
        scene.objects.push_back(o);
    }
}

double endOfObjects(const Scene& scene) {
    double end = 0;
    for (const SceneObject& o : scene.objects)
        end = std::max(end, o.y + o.length);
    return end;
}

void readBelt(Node& root, Scene& scene) {
    Node belt = root.child(QStringLiteral("belt"));
    const bool stepped = belt.has(QStringLiteral("stepPerMeasurement"));
    if (stepped && belt.has(QStringLiteral("speed")))
        belt.fail(QStringLiteral("speed"), QStringLiteral("give speed or stepPerMeasurement, not both"));
    scene.speed = belt.within(QStringLiteral("speed"), 0, -1e6, 1e6);
    if (stepped)
        scene.stepPerMeasurement = belt.within(QStringLiteral("stepPerMeasurement"), 0, -1e4, 1e4);
    scene.laserY = belt.number(QStringLiteral("laserY"), 0);
    scene.beltZ = belt.within(QStringLiteral("z"), 0, 0, kMaxSceneRange);
    scene.loop = root.flag(QStringLiteral("loop"), false);
    scene.loopLength = belt.number(QStringLiteral("loopLength"), endOfObjects(scene));
    if (scene.loop && !(scene.loopLength > 0))
        belt.fail(QStringLiteral("loopLength"), QStringLiteral("must be > 0 for a scene that loops"));
    belt.refuseUnknownKeys();
}

void readScanner(Node& root, Scene& scene) {
    Node scanner = root.child(QStringLiteral("scanner"));
    scene.xemr = scanner.integer(QStringLiteral("xemr"), 0, 1, kMaxSceneRange);
    scene.zdiap = scanner.integer(QStringLiteral("zdiap"), 0, 1, kMaxSceneRange);
    scene.cameraAngle = scanner.within(QStringLiteral("cameraAngle"), 0, -kMaxBevel, kMaxBevel);
    scanner.refuseUnknownKeys();
}

void readNoise(Node& root, Scene& scene) {
    Node noise = root.child(QStringLiteral("noise"));
    scene.noise.sigma = noise.within(QStringLiteral("sigma"), 0, 0, kMaxSceneRange);
    scene.noise.dropout = noise.within(QStringLiteral("dropout"), 0, 0, 1);
    scene.noise.spikes = noise.within(QStringLiteral("spikes"), 0, 0, 1);
    scene.noise.spikeHeight = noise.within(QStringLiteral("spikeHeight"), 0, 0, kMaxSceneRange);
    noise.refuseUnknownKeys();
}

Scene readScene(Node& root) {
    Scene scene;
    readObjects(root, scene);
    readBelt(root, scene);
    readScanner(root, scene);
    readNoise(root, scene);
    scene.seed = uint64_t(root.within(QStringLiteral("seed"), 0, 0, kMaxSeed));
    root.refuseUnknownKeys();
    return scene;
}

// A JSON string's text, or nothing when `quoted` is no valid string.
std::optional<QString> decodedString(const QByteArray& quoted) {
    QJsonParseError error{};
    const QJsonDocument wrapped = QJsonDocument::fromJson('[' + quoted + ']', &error);
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    return wrapped.array().at(0).toString();
}

// Qt 5's JSON parser loses the nested objects and arrays of a key given twice
// in one object, and it compares keys only up to a raw NUL. So a repeated key,
// and a control character that JSON takes only escaped, are refused before the
// document is built. Deeper nesting than the parser takes is left to it to refuse.
std::optional<QString> shapeError(const QByteArray& json) {
    constexpr size_t kMaxDepth = 1024;
    struct Level {
        bool object;
        bool keyNext;
        QSet<QString> keys;
    };
    std::vector<Level> levels;
    for (int i = 0; i < json.size() && levels.size() <= kMaxDepth; ++i) {
        const char c = json[i];
        if (c == '{' || c == '[') {
            levels.push_back({c == '{', c == '{', {}});
        } else if ((c == '}' || c == ']') && !levels.empty()) {
            levels.pop_back();
        } else if (c == ',' && !levels.empty()) {
            levels.back().keyNext = levels.back().object;
        } else if (c == '"') {
            int end = i + 1;
            for (; end < json.size() && json[end] != '"'; end += json[end] == '\\' ? 2 : 1) {
                if (uchar(json[end]) < 0x20)
                    return QStringLiteral("byte %1 is a control character in a string, which JSON takes only escaped")
                        .arg(end);
            }
            const std::optional<QString> key = !levels.empty() && levels.back().keyNext
                                                   ? decodedString(json.mid(i, end + 1 - i))
                                                   : std::nullopt;
            if (key && levels.back().keys.contains(*key))
                return QStringLiteral("the key \"%1\" is given twice in one object").arg(*key);
            if (key) {
                levels.back().keys.insert(*key);
                levels.back().keyNext = false;
            }
            i = end;
        }
    }
    return std::nullopt;
}

}  // namespace

const char* objectKindName(ObjectKind kind) {
    static const char* const names[] = {"box", "cylinder", "step", "vgroove", "tread"};
    return names[int(kind)];
}

SceneParse parseScene(const QByteArray& json, const QString& name) {
    SceneParse result;
    if (const std::optional<QString> error = shapeError(json)) {
        result.failure = inputFailure(QStringLiteral("%1: %2").arg(name, *error));
        return result;
    }
    QJsonParseError jsonError{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &jsonError);
    if (jsonError.error != QJsonParseError::NoError) {
        result.failure = inputFailure(
            QStringLiteral("%1: not JSON at byte %2: %3").arg(name).arg(jsonError.offset).arg(jsonError.errorString()));
        return result;
    }
    if (!document.isObject()) {
        result.failure = inputFailure(QStringLiteral("%1: the scene must be a JSON object").arg(name));
        return result;
    }
    try {
        Node root(document.object(), QString());
        result.scene = readScene(root);
    } catch (const SceneError& e) {
        result.failure = inputFailure(QStringLiteral("%1: %2: %3").arg(name, e.path, e.what));
    }
    return result;
}

SceneParse readSceneFile(const QString& path) {
    SceneParse result;
    QFile file(path);
    if (!QFileInfo(path).isFile()) {
        result.failure = refusedFailure(QStringLiteral("no scene file %1").arg(path));
        return result;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        const int systemError = errno;
        result.failure = systemFailure(systemError, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return result;
    }
    const QByteArray bytes = file.read(kMaxSceneFileBytes + 1);
    if (bytes.size() > kMaxSceneFileBytes) {
        result.failure = refusedFailure(QStringLiteral("%1: larger than %2 bytes").arg(path).arg(kMaxSceneFileBytes));
        return result;
    }
    return parseScene(bytes, path);
}

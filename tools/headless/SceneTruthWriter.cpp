#include "SceneTruthWriter.h"

SceneTruthWriter::SceneTruthWriter(const Scanner& scanner, const QString& path, QObject* parent)
    : QObject(parent), scanner_(scanner), file_(path) {
    timer_.setInterval(kPollMs);
    connect(&timer_, &QTimer::timeout, this, &SceneTruthWriter::poll);
}

MaybeFailure SceneTruthWriter::open() {
    if (!file_.open() || !file_.write(truthCsvHeader()))
        return file_.failure();
    timer_.start();
    return std::nullopt;
}

void SceneTruthWriter::poll() {
    const uint32_t now = scanner_.streamedMeasurement();
    if (now < written_)
        written_ = 0;  // the counters were reset
    if (now - written_ > kMaxLinesPerPoll) {
        skipped_ += now - written_ - kMaxLinesPerPoll;
        written_ = now - kMaxLinesPerPoll;
    }
    const std::shared_ptr<const SceneProfileSource> scene = scanner_.scene();
    for (; written_ < now; ++written_)
        if (scene)
            file_.write(truthCsvLine(scene->truth(written_ + 1)));
}

MaybeFailure SceneTruthWriter::finish() {
    timer_.stop();
    poll();
    return file_.commit() ? MaybeFailure() : file_.failure();
}

#include "profile/ProfileSource.h"

#include <QDir>
#include <algorithm>

namespace {

ProfileSnapshot snapshotOf(const std::vector<ProfilePoint>& points) {
    ProfileSnapshot frame;
    frame.x.reserve(points.size());
    frame.z.reserve(points.size());
    for (const ProfilePoint& p : points) {
        frame.x.push_back(p.x);
        frame.z.push_back(p.z);
    }
    return frame;
}

}  // namespace

void copyFrame(const ProfileSnapshot& frame, ProfileSnapshot& out, int maxPoints) {
    const size_t n = std::min(frame.x.size(), size_t(std::max(0, maxPoints)));
    out.x.assign(frame.x.begin(), frame.x.begin() + long(n));
    out.z.assign(frame.z.begin(), frame.z.begin() + long(n));
}

void HeldFramesSource::copyProfile(uint64_t measurement, ProfileSnapshot& out, int maxPoints) {
    copyFrame(frames_[frameOfMeasurement(measurement, frames_.size(), playback_)], out, maxPoints);
}

RecordingFrame HeldFramesSource::frameOf(uint64_t measurement) const {
    const auto frames = static_cast<long long>(frames_.size());
    return {static_cast<long long>(frameOfMeasurement(measurement, frames_.size(), playback_)) + 1, frames};
}

Outcome<std::unique_ptr<ProfileSource>> openCsvFolder(const QString& folder, CsvScale scale, Playback playback,
                                                      long long maxPoints) {
    const QDir dir(folder);
    const QStringList names = dir.entryList({QStringLiteral("*.csv")}, QDir::Files | QDir::Readable, QDir::Name);
    if (!dir.exists() || names.isEmpty())
        return inputFailure(QStringLiteral("no CSV files in %1").arg(folder));
    std::vector<ProfileSnapshot> frames;
    long long total = 0;
    for (const QString& name : names) {
        CsvImport import = readCsvProfile(dir.filePath(name), scale);
        total += static_cast<long long>(import.points.size());
        if (!import.ok())
            return *import.failure;
        if (total > maxPoints)
            return refusedFailure(QStringLiteral("%1 holds more than %2 points").arg(folder).arg(maxPoints));
        frames.push_back(snapshotOf(import.points));
    }
    return std::unique_ptr<ProfileSource>(std::make_unique<HeldFramesSource>(std::move(frames), playback));
}

#include "profile/ProfileSource.h"

#include <QDir>
#include <algorithm>

std::unique_ptr<CsvFolderProfileSource> CsvFolderProfileSource::open(const QString& folder, CsvScale scale,
                                                                     Playback playback, QString& error) {
    const QDir dir(folder);
    const QStringList names = dir.entryList({QStringLiteral("*.csv")}, QDir::Files | QDir::Readable, QDir::Name);
    if (!dir.exists() || names.isEmpty()) {
        error = QStringLiteral("no CSV files in %1").arg(folder);
        return nullptr;
    }
    std::vector<std::vector<ProfilePoint>> frames;
    long long total = 0;
    for (const QString& name : names) {
        CsvImport import = readCsvProfile(dir.filePath(name), scale);
        total += static_cast<long long>(import.points.size());
        if (!import.ok() || total > kMaxFolderPoints) {
            error = import.ok() ? QStringLiteral("%1 holds more than %2 points").arg(folder).arg(kMaxFolderPoints)
                                : import.error;
            return nullptr;
        }
        frames.push_back(std::move(import.points));
    }
    return std::unique_ptr<CsvFolderProfileSource>(new CsvFolderProfileSource(std::move(frames), playback));
}

void CsvFolderProfileSource::copyProfile(uint64_t measurement, ProfileSnapshot& out, int maxPoints) {
    const std::vector<ProfilePoint>& frame = frames_[frameOfMeasurement(measurement, frames_.size(), playback_)];
    const size_t n = std::min(frame.size(), size_t(std::max(0, maxPoints)));
    out.x.resize(n);
    out.z.resize(n);
    for (size_t i = 0; i < n; ++i) {
        out.x[i] = frame[i].x;
        out.z[i] = frame[i].z;
    }
}

#include "profile/CsvProfile.h"

#include <QFile>
#include <QSaveFile>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// Scanner units across the full measuring range.
constexpr double kUnitsPerRange = 16384.0;

QString scaleError(CsvScale scale) {
    if (scale.xemr <= 0) return QStringLiteral("XEMR is %1: set it above 0 to load a CSV profile").arg(scale.xemr);
    if (scale.zdiap <= 0) return QStringLiteral("ZDIAP is %1: set it above 0 to load a CSV profile").arg(scale.zdiap);
    return QString();
}

// A field that is missing, empty or not a number reads as 0. The parser is
// locale-independent and takes "." as the decimal mark.
double fieldValue(const QList<QByteArray>& fields, int index) {
    if (index >= fields.size()) return 0.0;
    bool ok = false;
    const double value = fields[index].trimmed().toDouble(&ok);
    return ok && !std::isnan(value) ? value : 0.0;
}

// Millimetres to units, truncated toward zero and held within the type's range
// so that an outlying value stays at its side of the profile.
template <typename Unit>
Unit toUnits(double millimetres, int millimetresPerRange, int& saturated) {
    const double units = std::trunc(millimetres * kUnitsPerRange / millimetresPerRange);
    constexpr double lowest = std::numeric_limits<Unit>::min();
    constexpr double highest = std::numeric_limits<Unit>::max();
    if (units < lowest || units > highest) {
        ++saturated;
        return static_cast<Unit>(units < lowest ? lowest : highest);
    }
    return static_cast<Unit>(units);
}

ProfilePoint parseLine(QByteArray line, CsvScale scale, int& saturated) {
    line.replace(',', '.');
    const QList<QByteArray> fields = line.split(';');
    return ProfilePoint{toUnits<int16_t>(fieldValue(fields, 0), scale.xemr, saturated),
                        toUnits<uint16_t>(fieldValue(fields, 1), scale.zdiap, saturated)};
}

QByteArray number(double value) { return QByteArray::number(value, 'g', 6); }

}  // namespace

CsvImport parseCsvProfile(const QByteArray& bytes, CsvScale scale) {
    CsvImport result;
    result.error = scaleError(scale);
    if (!result.ok()) return result;

    const int end = bytes.indexOf('\0');
    const QByteArray text = end < 0 ? bytes : bytes.left(end);
    for (const QByteArray& line : text.split('\n')) {
        // A line of white space only (a CR of a blank CRLF line) is blank too.
        if (line.trimmed().isEmpty()) continue;
        if (static_cast<int>(result.points.size()) == kMaxProfilePoints) {
            ++result.droppedLines;
            continue;
        }
        result.points.push_back(parseLine(line, scale, result.saturatedValues));
    }
    return result;
}

QByteArray formatCsvProfile(const std::vector<ProfilePoint>& points, CsvScale scale, CsvX x) {
    const double xSign = x == CsvX::Mirrored ? -1.0 : 1.0;
    QByteArray text;
    for (const ProfilePoint& point : points) {
        text += number(xSign * point.x * scale.xemr / kUnitsPerRange);
        text += ';';
        text += number(double(point.z) * scale.zdiap / kUnitsPerRange);
        text += '\n';
    }
    return text;
}

CsvImport readCsvProfile(const QString& path, CsvScale scale) {
    CsvImport refused;
    refused.error = scaleError(scale);
    if (!refused.ok()) return refused;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        refused.error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return refused;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        refused.error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return refused;
    }
    return parseCsvProfile(bytes, scale);
}

QString writeCsvProfile(const QString& path, const std::vector<ProfilePoint>& points, CsvScale scale, CsvX x) {
    const QByteArray text = formatCsvProfile(points, scale, x);
    // Written beside the target and renamed over it; an unfinished write is
    // discarded, so a failure never leaves a truncated file.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit()) return QString();
    return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
}

QString csvImportSummary(const CsvImport& import, const QString& path) {
    if (!import.ok()) return QStringLiteral("profile not loaded: %1").arg(import.error);
    QString summary = QStringLiteral("loaded %1 points from %2").arg(import.points.size()).arg(path);
    if (import.droppedLines > 0)
        summary += QStringLiteral("; %1 lines past the first %2 dropped").arg(import.droppedLines).arg(kMaxProfilePoints);
    if (import.saturatedValues > 0)
        summary += QStringLiteral("; %1 values beyond the measuring range held at its ends").arg(import.saturatedValues);
    return summary;
}

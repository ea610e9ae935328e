#include "profile/CsvProfile.h"

#include "files/OutputFile.h"
#include "profile/RegularFile.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Scanner units across the full measuring range.
constexpr double kUnitsPerRange = 16384.0;
// Only this much of a line is read: the two numbers at its start.
constexpr int kMaxLineBytes = 4096;
constexpr qint64 kReadChunkBytes = 64 * 1024;

MaybeFailure scaleError(CsvScale scale) {
    if (scale.xemr <= 0)
        return refusedFailure(QStringLiteral("XEMR is %1: set it above 0 to load a CSV profile").arg(scale.xemr));
    if (scale.zdiap <= 0)
        return refusedFailure(QStringLiteral("ZDIAP is %1: set it above 0 to load a CSV profile").arg(scale.zdiap));
    return std::nullopt;
}

// A field that is missing, empty or not a number reads as 0. The parser is
// locale-independent and takes "." as the decimal mark. A number too large for
// a double reads as infinite (Qt's own parsers differ there between versions):
// it is still a number, held at the range's end like any other outlier.
double fieldValue(const QList<QByteArray>& fields, int index) {
    if (index >= fields.size()) return 0.0;
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const QByteArray text = fields[index].trimmed();
    char* end = nullptr;
    const double value = strtod_l(text.constData(), &end, cLocale);
    const bool whole = !text.isEmpty() && end == text.constData() + text.size();
    return whole && !std::isnan(value) ? value : 0.0;
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

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Takes the text in pieces of any size. Memory stays with what is kept: at
// most kMaxLineBytes of the current line, and once the points are full the
// further lines are only counted.
class CsvLines {
public:
    explicit CsvLines(CsvScale scale) : scale_(scale) {}

    // False once the text has ended at a zero byte: the rest is not read.
    bool feed(const char* data, qint64 size) {
        const char* zero = static_cast<const char*>(std::memchr(data, '\0', size_t(size)));
        const char* end = zero ? zero : data + size;
        while (data < end) {
            const char* lf = static_cast<const char*>(std::memchr(data, '\n', size_t(end - data)));
            append(data, (lf ? lf : end) - data);
            if (!lf)
                break;
            endLine();
            data = lf + 1;
        }
        return !zero;
    }

    CsvImport finish() {
        endLine();
        return std::move(result_);
    }

private:
    bool full() const { return static_cast<int>(result_.points.size()) == kMaxProfilePoints; }

    void append(const char* data, qint64 size) {
        if (blank_ && !std::all_of(data, data + size, isSpace))
            blank_ = false;
        if (!full())
            line_.append(data, int(std::min<qint64>(size, kMaxLineBytes - line_.size())));
    }

    // A line of white space only (a CR of a blank CRLF line) is blank too.
    void endLine() {
        if (!blank_) {
            if (full())
                ++result_.droppedLines;
            else
                result_.points.push_back(parseLine(line_, scale_, result_.saturatedValues));
        }
        line_.clear();
        blank_ = true;
    }

    CsvScale scale_;
    CsvImport result_;
    QByteArray line_;
    bool blank_ = true;
};

}  // namespace

CsvImport parseCsvProfile(const QByteArray& bytes, CsvScale scale) {
    CsvImport refused;
    refused.failure = scaleError(scale);
    if (!refused.ok()) return refused;
    CsvLines lines(scale);
    lines.feed(bytes.constData(), bytes.size());
    return lines.finish();
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
    refused.failure = scaleError(scale);
    if (!refused.ok()) return refused;

    const Outcome<int> fd = openRegularFile(path);
    if (!fd.ok()) {
        refused.failure = fd.failure();
        return refused;
    }
    QFile file;
    if (!file.open(*fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        const int systemError = errno;
        ::close(*fd);
        refused.failure = systemFailure(systemError, QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
        return refused;
    }
    CsvLines lines(scale);
    QByteArray chunk(int(kReadChunkBytes), Qt::Uninitialized);
    qint64 got = 0;
    while ((got = file.read(chunk.data(), kReadChunkBytes)) > 0 && lines.feed(chunk.constData(), got)) {
    }
    if (got < 0) {
        const int systemError = errno;
        refused.failure = systemFailure(systemError, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return refused;
    }
    return lines.finish();
}

MaybeFailure writeCsvProfile(const QString& path, const std::vector<ProfilePoint>& points, CsvScale scale, CsvX x) {
    return writeWholeFile(path, formatCsvProfile(points, scale, x));
}

QString csvImportSummary(const CsvImport& import, const QString& path) {
    if (!import.ok()) return QStringLiteral("profile not loaded: %1").arg(import.failure->message);
    QString summary = QStringLiteral("loaded %1 points from %2").arg(import.points.size()).arg(path);
    if (import.droppedLines > 0)
        summary += QStringLiteral("; %1 lines past the first %2 dropped").arg(import.droppedLines).arg(kMaxProfilePoints);
    if (import.saturatedValues > 0)
        summary += QStringLiteral("; %1 values beyond the measuring range held at its ends").arg(import.saturatedValues);
    return summary;
}

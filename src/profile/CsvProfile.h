#pragma once

#include "log/Failure.h"
#include "profile/ProfileStore.h"

#include <QByteArray>
#include <QString>
#include <vector>

// CSV profile files: one point per line, "x;z" in millimetres. The scale is
// the panel's XEMR and ZDIAP: 16384 scanner units span that many millimetres.
struct CsvScale {
    int xemr = 0;
    int zdiap = 0;
};

struct CsvImport {
    std::vector<ProfilePoint> points;
    int droppedLines = 0;    // lines past kMaxProfilePoints, not loaded
    int saturatedValues = 0;  // values beyond the 16-bit range, held at its ends
    MaybeFailure failure;     // set when nothing was loaded: keep the profile as it is
    bool ok() const { return !failure; }
};

// Parses the bytes of a CSV file. The text ends at the first zero byte; lines
// are split at LF and blank ones skipped; "," counts as a decimal mark; fields
// are split at ";", further fields ignored, and only the first 4096 bytes of a
// line are read; a field that is missing or not a number reads as 0. X = trunc(x * 16384 / XEMR), Z = trunc(z * 16384 / ZDIAP),
// held within int16 / uint16. Refused when XEMR or ZDIAP is not positive.
CsvImport parseCsvProfile(const QByteArray& bytes, CsvScale scale);

// The window's Save mirrors X, so a saved profile loads back mirrored; a
// client that records measured points writes X as it is.
enum class CsvX { Mirrored, AsMeasured };

// The text of a CSV file: "-X*XEMR/16384;Z*ZDIAP/16384\n" per point (X not
// negated for AsMeasured), numbers in 'g' format with 6 significant digits.
// Empty for no points.
QByteArray formatCsvProfile(const std::vector<ProfilePoint>& points, CsvScale scale, CsvX x = CsvX::Mirrored);

// The same on files, read in pieces: memory stays with the points kept. The
// reader's error says when the file is not a regular one or cannot be read;
// the writer replaces the file atomically and returns nothing on success,
// otherwise "cannot write <path>: <reason>".
CsvImport readCsvProfile(const QString& path, CsvScale scale);

// One line for the log and the status bar: what an import from `path` did.
QString csvImportSummary(const CsvImport& import, const QString& path);
MaybeFailure writeCsvProfile(const QString& path, const std::vector<ProfilePoint>& points, CsvScale scale,
                        CsvX x = CsvX::Mirrored);

#include "profile/CsvProfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cstdlib>

namespace {

constexpr CsvScale kScale{70, 170};

std::vector<ProfilePoint> parsed(const QByteArray& text, CsvScale scale = kScale) {
    const CsvImport result = parseCsvProfile(text, scale);
    EXPECT_TRUE(result.ok()) << result.error.toStdString();
    return result.points;
}

TEST(CsvProfileFormat, WorkedExampleGoesBothWays) {
    EXPECT_EQ(formatCsvProfile({{4096, 8192}}, kScale), "-17.5;85\n");
    EXPECT_EQ(parsed("-17.5;85"), (std::vector<ProfilePoint>{{-4096, 8192}}));
}

TEST(CsvProfileFormat, ExportWritesShortGeneralNumbers) {
    EXPECT_EQ(formatCsvProfile({{0, 16384}}, kScale), "0;170\n");  // whole numbers have no point, X 0 no sign
    EXPECT_EQ(formatCsvProfile({{0, 8192}}, CsvScale{1, 100}), "0;50\n");
    EXPECT_EQ(formatCsvProfile({{0, 1000}}, CsvScale{1, 1}), "0;0.0610352\n");
    EXPECT_EQ(formatCsvProfile({{0, 1}}, CsvScale{1, 1}), "0;6.10352e-05\n");
    EXPECT_EQ(formatCsvProfile({{-32768, 65535}, {32767, 0}}, CsvScale{1000, 1000}),
              "2000;3999.94\n-1999.94;0\n");
    EXPECT_EQ(formatCsvProfile({}, kScale), "");
}

TEST(CsvProfileParse, LinesAndFieldsFollowTheFileRules) {
    // "," and "." both mark decimals.
    EXPECT_EQ(parsed("1,5;2,5\n"), parsed("1.5;2.5\n"));
    // Blank lines (also CRLF ones) are no points; CR before LF is harmless.
    EXPECT_EQ(parsed("\n1;1\n\n\n2;2\r\n\r\n  \n3;3\n\n").size(), 3u);
    EXPECT_EQ(parsed("17.5;85\r\n"), (std::vector<ProfilePoint>{{4096, 8192}}));
    // Extra fields are ignored.
    EXPECT_EQ(parsed("17.5;85;9;x\n"), parsed("17.5;85\n"));
    // Non-numbers, empty and missing fields read as 0: a header is the point (0, 0).
    EXPECT_EQ(parsed("x;z\n"), (std::vector<ProfilePoint>{{0, 0}}));
    EXPECT_EQ(parsed("17.5\n"), (std::vector<ProfilePoint>{{4096, 0}}));
    EXPECT_EQ(parsed(";85\n"), (std::vector<ProfilePoint>{{0, 8192}}));
    EXPECT_EQ(parsed("17.5abc;nan\n"), (std::vector<ProfilePoint>{{0, 0}}));
    EXPECT_EQ(parsed(" 17.5 ; 85 \n"), (std::vector<ProfilePoint>{{4096, 8192}}));
    // The text ends at the first zero byte.
    EXPECT_EQ(parsed(QByteArray("1;1\n2;2\0\n3;3\n", 13)).size(), 2u);
    EXPECT_TRUE(parsed("").empty());
    // Truncation toward zero: 1 mm is 234.06 units at XEMR 70, 96.38 at ZDIAP 170.
    EXPECT_EQ(parsed("1;1\n-1;1\n"), (std::vector<ProfilePoint>{{234, 96}, {-234, 96}}));
}

TEST(CsvProfileParse, OutOfRangeValuesSaturateInsteadOfWrapping) {
    const CsvImport result = parseCsvProfile("1000;-5\n-1000;1000\n1e300;inf\n140;0\n1e400;-1e400\n", kScale);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.points, (std::vector<ProfilePoint>{
                                 {32767, 0}, {-32768, 65535}, {32767, 65535}, {32767, 0}, {32767, 0}}));
    EXPECT_EQ(result.saturatedValues, 9);  // 140 mm is 32768 units, one past the top
}

TEST(CsvProfileParse, ZeroScaleIsRefusedWithAReason) {
    for (CsvScale scale : {CsvScale{0, 170}, CsvScale{70, 0}, CsvScale{-1, 170}}) {
        const CsvImport result = parseCsvProfile("1;1\n", scale);
        EXPECT_FALSE(result.ok());
        EXPECT_TRUE(result.points.empty());
    }
    const CsvImport refused = parseCsvProfile("1;1\n", CsvScale{0, 170});
    EXPECT_TRUE(refused.error.contains("XEMR"));
    EXPECT_TRUE(csvImportSummary(refused, "a.csv").contains("not loaded"));
    EXPECT_TRUE(parseCsvProfile("1;1\n", CsvScale{70, 0}).error.contains("ZDIAP"));
}

TEST(CsvProfileParse, KeepsTheFirst65535PointsAndCountsTheRest) {
    QByteArray text;
    for (int i = 0; i < 70000; ++i) text += QByteArray::number(i % 100) + ";1\n";
    const CsvImport result = parseCsvProfile(text, CsvScale{16384, 16384});
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result.points.size(), size_t(kMaxProfilePoints));
    EXPECT_EQ(result.droppedLines, 70000 - kMaxProfilePoints);
    EXPECT_EQ(result.points.back().x, (kMaxProfilePoints - 1) % 100);
    const QString summary = csvImportSummary(result, "big.csv");
    EXPECT_TRUE(summary.contains("65535 points")) << summary.toStdString();
    EXPECT_TRUE(summary.contains("4465 lines")) << summary.toStdString();
}

TEST(CsvProfileFile, ReadInPiecesAsTheParserReadsItAndAFifoIsRefused) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray text;
    for (int i = 0; i < 70000; ++i)
        text += QByteArray::number(i % 1000 - 500) + (i % 3 ? ";1.5\r\n" : ",25;7\n\n");
    const QString path = dir.filePath("long.csv");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    file.close();
    const CsvImport fromFile = readCsvProfile(path, kScale);
    const CsvImport fromBytes = parseCsvProfile(text, kScale);
    EXPECT_EQ(fromFile.points, fromBytes.points);
    EXPECT_EQ(fromFile.droppedLines, 70000 - kMaxProfilePoints);

    const QString fifo = dir.filePath("profile.csv");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const CsvImport result = readCsvProfile(fifo, kScale);
    EXPECT_TRUE(result.error.contains("not a regular file")) << result.error.toStdString();
}

TEST(CsvProfileRoundTrip, ExportThenImportMirrorsXWithinOneUnit) {
    std::vector<ProfilePoint> points;
    for (int x = -32768; x <= 32767; x += 97) points.push_back({int16_t(x), uint16_t((x + 32768) * 7 / 5 % 65536)});
    points.push_back({-32768, 65535});
    points.push_back({32767, 0});
    for (CsvScale scale : {kScale, CsvScale{1, 1}, CsvScale{333, 7}, CsvScale{1000, 1000}}) {
        const std::vector<ProfilePoint> back = parsed(formatCsvProfile(points, scale), scale);
        ASSERT_EQ(back.size(), points.size());
        for (size_t i = 0; i < points.size(); ++i) {
            const int mirrored = points[i].x == -32768 ? 32767 : -points[i].x;  // +32768 does not fit
            EXPECT_LE(std::abs(back[i].x - mirrored), 1) << i << " scale " << scale.xemr;
            EXPECT_LE(std::abs(back[i].z - points[i].z), 1) << i << " scale " << scale.zdiap;
        }
    }
}

}  // namespace

#include "profile/CsvProfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cstdlib>

namespace {

constexpr CsvScale kScale{70, 170};
using Points = std::vector<ProfilePoint>;

Points parsed(const QByteArray& text, CsvScale scale = kScale) {
    const CsvImport result = parseCsvProfile(text, scale);
    EXPECT_TRUE(result.ok()) << result.error.toStdString();
    return result.points;
}

TEST(CsvProfileFormat, WritesShortGeneralNumbersWithXMirrored) {
    EXPECT_EQ(formatCsvProfile({{4096, 8192}}, kScale), "-17.5;85\n");
    EXPECT_EQ(formatCsvProfile({{0, 16384}}, kScale), "0;170\n");
    EXPECT_EQ(formatCsvProfile({{0, 1000}, {0, 1}}, CsvScale{1, 1}), "0;0.0610352\n0;6.10352e-05\n");
    EXPECT_EQ(formatCsvProfile({{-32768, 65535}, {32767, 0}}, CsvScale{1000, 1000}), "2000;3999.94\n-1999.94;0\n");
}

// Text, the points it reads as at XEMR 70 and ZDIAP 170 (17.5 mm is 4096
// units, 85 mm 8192; values truncate toward zero).
class CsvProfileParse : public ::testing::TestWithParam<std::pair<QByteArray, Points>> {};

TEST_P(CsvProfileParse, LinesAndFieldsFollowTheFileRules) {
    EXPECT_EQ(parsed(GetParam().first), GetParam().second) << GetParam().first.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CsvProfileParse,
    ::testing::Values(std::make_pair(QByteArray("-17.5;85"), Points{{-4096, 8192}}),
                      std::make_pair(QByteArray("17,5;85,0\r\n"), Points{{4096, 8192}}),        // "," marks decimals too
                      std::make_pair(QByteArray("\n1;1\n\n\r\n  \n-1;1\n\n"), Points{{234, 96}, {-234, 96}}),  // blank lines
                      std::make_pair(QByteArray("17.5;85;9;x\n"), Points{{4096, 8192}}),        // extra fields
                      std::make_pair(QByteArray("x;z\n17.5\n;85\n"), Points{{0, 0}, {4096, 0}, {0, 8192}}),
                      std::make_pair(QByteArray("17.5abc;nan\n"), Points{{0, 0}}),
                      std::make_pair(QByteArray(" 17.5 ; 85 \n"), Points{{4096, 8192}}),
                      std::make_pair(QByteArray("1;1\n0;0\0\n3;3\n", 13), Points{{234, 96}, {0, 0}}),  // ends at a zero byte
                      std::make_pair(QByteArray(""), Points{})));

TEST(CsvProfileParseLimits, OutOfRangeValuesSaturateAndAZeroScaleIsRefused) {
    const CsvImport result = parseCsvProfile("1000;-5\n-1000;1000\n1e300;inf\n140;0\n1e400;-1e400\n", kScale);
    EXPECT_EQ(result.points, (Points{{32767, 0}, {-32768, 65535}, {32767, 65535}, {32767, 0}, {32767, 0}}));
    EXPECT_EQ(result.saturatedValues, 9);  // 140 mm is 32768 units, one past the top
    EXPECT_TRUE(csvImportSummary(result, "a.csv").contains("9 values beyond"));
    for (CsvScale scale : {CsvScale{0, 170}, CsvScale{70, 0}, CsvScale{-1, 170}}) {
        const CsvImport refused = parseCsvProfile("1;1\n", scale);
        EXPECT_TRUE(refused.points.empty());
        EXPECT_TRUE(csvImportSummary(refused, "a.csv").contains(scale.xemr > 0 ? "ZDIAP" : "XEMR"));
    }
}

TEST(CsvProfileFile, ReadInPiecesKeepsTheFirst65535PointsCountsTheRestAndRefusesAFifo) {
    QTemporaryDir dir;
    QByteArray text;
    for (int i = 0; i < 70000; ++i)
        text += QByteArray::number(i % 1000 - 500) + (i % 3 ? ";1.5\r\n" : ",25;7\n\n");
    const QString path = dir.filePath("long.csv");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    file.close();
    const CsvImport fromFile = readCsvProfile(path, kScale);
    EXPECT_EQ(fromFile.points, parseCsvProfile(text, kScale).points);
    EXPECT_EQ(fromFile.points.size(), size_t(kMaxProfilePoints));
    EXPECT_EQ(fromFile.droppedLines, 70000 - kMaxProfilePoints);
    const QString summary = csvImportSummary(fromFile, "big.csv");
    EXPECT_TRUE(summary.contains("65535 points") && summary.contains("4465 lines")) << summary.toStdString();

    const QString fifo = dir.filePath("profile.csv");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    EXPECT_TRUE(readCsvProfile(fifo, kScale).error.contains("not a regular file"));
}

TEST(CsvProfileRoundTrip, ExportThenImportMirrorsXWithinOneUnit) {
    Points points;
    for (int x = -32768; x <= 32767; x += 97) points.push_back({int16_t(x), uint16_t((x + 32768) * 7 / 5 % 65536)});
    points.push_back({-32768, 65535});
    for (CsvScale scale : {kScale, CsvScale{1, 1}, CsvScale{333, 7}, CsvScale{1000, 1000}}) {
        const Points back = parsed(formatCsvProfile(points, scale), scale);
        ASSERT_EQ(back.size(), points.size());
        for (size_t i = 0; i < points.size(); ++i) {
            const int mirrored = points[i].x == -32768 ? 32767 : -points[i].x;  // +32768 does not fit
            EXPECT_LE(std::abs(back[i].x - mirrored), 1) << i << " scale " << scale.xemr;
            EXPECT_LE(std::abs(back[i].z - points[i].z), 1) << i << " scale " << scale.zdiap;
        }
    }
}

}  // namespace

#include "profile/ProfileSource.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr CsvScale kScale{16384, 16384};  // one unit per millimetre

int firstZ(ProfileSource& source, uint64_t measurement) {
    ProfileSnapshot out;
    source.copyProfile(measurement, out, kMaxProfilePoints);
    return out.z.empty() ? -1 : out.z[0];
}

// Files named out of their writing order; Z of the first point names each.
class CsvFolderSourceTest : public testing::Test {
protected:
    void SetUp() override {
        for (auto [name, z] : {std::pair{"b.csv", 2}, {"c.csv", 3}, {"a.csv", 1}, {"notes.txt", 9}}) {
            QFile file(dir_.filePath(name));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(QByteArray::number(z) + ";" + QByteArray::number(z) + "\n5;5\n");
        }
    }
    QTemporaryDir dir_;
};

TEST_F(CsvFolderSourceTest, PlaysInNameOrderAndLoops) {
    QString error;
    auto source = CsvFolderProfileSource::open(dir_.path(), kScale, Playback::Loop, error);
    ASSERT_TRUE(source) << error.toStdString();
    EXPECT_EQ(source->frameCount(), 3);
    std::vector<int> seen;
    for (uint64_t n = 1; n <= 7; ++n)
        seen.push_back(firstZ(*source, n));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 1, 2, 3, 1}));
}

TEST(CsvFolderSourceOpenTest, RefusesAFolderWithoutCsvFiles) {
    QTemporaryDir dir;
    QString error;
    EXPECT_FALSE(CsvFolderProfileSource::open(dir.path(), kScale, Playback::Loop, error));
    EXPECT_TRUE(error.contains("no CSV files")) << error.toStdString();
}

}  // namespace

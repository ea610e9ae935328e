#include "capture/PcapRecorder.h"
#include "files/OutputFile.h"
#include "params/DataPlaces.h"
#include "params/UserParamsIni.h"
#include "profile/CameraPicture.h"
#include "profile/CsvProfile.h"
#include "profile/ProfileSource.h"

#include "support/TestUtil.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <tuple>

namespace {

constexpr int kNamedBytes = offsetof(USER_PARAMS, reserved);

USER_PARAMS filledRecord(uint8_t named, uint8_t reserved) {
    USER_PARAMS p;
    std::memset(&p, named, kNamedBytes);
    std::memset(p.reserved, reserved, sizeof p.reserved);
    return p;
}

auto extrasOf(const UserParamsIniLoad& load) {
    return std::make_tuple(load.extras.serial, load.extras.xsmr, load.extras.zbase);
}

class UserParamsIniFile : public ::testing::Test {
protected:
    QTemporaryDir dir;
    const QString path = dir.filePath("user_params.ini");
};

TEST_F(UserParamsIniFile, SaveThenLoadGivesBackEveryNamedByteAndThePanelValuesOrSaysWhyNot) {
    USER_PARAMS saved = filledRecord(0, 0);
    for (int i = 0; i < kNamedBytes; ++i)
        reinterpret_cast<uint8_t*>(&saved)[i] = static_cast<uint8_t>(i * 37 + 200);
    saved.interpolation_u8 = 2;  // must be a valid list index to survive the load
    ipv4TextToField("192.168.0.10", saved.tcp_ip_address_u8);
    // The old file is not read (it may be huge): nothing of it stays.
    ASSERT_TRUE(writeFile(path, "[Other]\nkept=" + QByteArray(2 << 20, 'x') + "\n"));
    ASSERT_FALSE(saveUserParamsIni(path, saved, PanelExtras{987654, 17, 1000}));
    EXPECT_FALSE(saveUserParamsIni(dir.filePath("new/p.ini"), saved, {})) << "a new folder is made for it";

    USER_PARAMS loaded = filledRecord(0, 0xA5);
    const UserParamsIniLoad result = loadUserParamsIni(path, loaded);
    EXPECT_TRUE(std::memcmp(&saved, &loaded, kNamedBytes) == 0 && loaded.reserved[0] == 0xA5) << "named bytes only";
    EXPECT_EQ(extrasOf(result), std::make_tuple(987654, 17, 1000));
    EXPECT_TRUE(result.warnings.isEmpty()) << result.warnings.join("; ").toStdString();
    // Addresses are dotted text, the serial decimal text, the keys in the order QSettings keeps.
    const QByteArray text = readFile(path);
    EXPECT_TRUE(text.contains("tcp_ip_address_u8=192.168.0.10") && text.contains("serial=987654"));
    EXPECT_TRUE(text.startsWith("[UserParams]\nSDChannels=") && text.endsWith("\nxsmr=17\nzbase=1000\n"));
}

TEST_F(UserParamsIniFile, HandWrittenValuesAreReadWithTheFieldRules) {
    ASSERT_TRUE(writeFile(path,
                          "[UserParams]\n"
                          "laser_level_u8=300\n"     // u8: low 8 bits
                          "udp_port_u16=70000\n"     // low 16 bits: 4464
                          "tcp_port_u16=12x\n"       // not a number
                          "interpolation_u8=5\n"     // one past the list
                          "serial=1234567\n"
                          "xsmr=0\n"
                          "zbase=5000\n"));
    USER_PARAMS p = filledRecord(0xEE, 0x5A);
    const UserParamsIniLoad result = loadUserParamsIni(path, p);
    EXPECT_EQ(std::pair(int(p.laser_level_u8), int(p.udp_port_u16)), std::pair(44, 4464));
    EXPECT_EQ(int(p.tcp_port_u16) + p.SDChannels, 0);  // SDChannels is absent from the file
    const QStringList zeroPorts = result.warnings.filter("port_u16 is 0");
    EXPECT_TRUE(zeroPorts.size() == 1 && zeroPorts[0].startsWith("tcp_port_u16")) << zeroPorts.join(';').toStdString();
    EXPECT_EQ(p.interpolation_u8, kDefaultPointCountIndex);
    EXPECT_EQ(extrasOf(result), std::make_tuple(999999, 1, 1000));
}

TEST_F(UserParamsIniFile, MissingOrUnreadableFileGivesZerosAndTheSpinBoxMinimums) {
    const QString headerOnly = dir.filePath("header.ini");
    const QString fifo = dir.filePath("fifo.ini");
    const QString huge = dir.filePath("huge.ini");  // read whole, it would cost memory many times its size
    ASSERT_TRUE(writeFile(headerOnly, "[UserParams]\n"));
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QByteArray settings = "[UserParams]\nudp_port_u16=5\n";
    ASSERT_TRUE(writeFile(huge, settings + QByteArray((1 << 20) + 1 - settings.size(), ';')));

    const USER_PARAMS zeros = filledRecord(0, 0x5A);
    for (const QString& file : {path, headerOnly, fifo, huge}) {
        USER_PARAMS p = filledRecord(0xEE, 0x5A);
        const UserParamsIniLoad result = loadUserParamsIni(file, p);
        EXPECT_EQ(std::memcmp(&p, &zeros, sizeof p), 0) << file.toStdString();
        EXPECT_EQ(extrasOf(result), std::make_tuple(kSerialRange.min, kXsmrRange.min, kZbaseRange.min));
    }
    USER_PARAMS p = filledRecord(0, 0);
    EXPECT_TRUE(loadUserParamsIni(huge, p).warnings.join('\n').contains("not read"));
    ASSERT_TRUE(::truncate(QFile::encodeName(huge).constData(), 1 << 20) == 0);
    loadUserParamsIni(huge, p);
    EXPECT_EQ(int(p.udp_port_u16), 5) << "a file of exactly 1 MiB is read";
    const QString zeroPorts = loadUserParamsIni(headerOnly, p).warnings.join('\n');
    EXPECT_TRUE(zeroPorts.contains("tcp_port_u16 is 0") && zeroPorts.contains("udp_port_u16 is 0"));
}

TEST(DataPlaces, ABuildTreeKeepsItsParameterFileBesideTheProgramAndTakesDataFilesFromThereFirst) {
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "relative/config");  // ignored, as the XDG rules say
    EXPECT_EQ(DataPlaces::ofThisProgram().configDir, QDir::homePath() + "/.config/px310-emulator");
    qputenv("XDG_CONFIG_HOME", xdg);
    QTemporaryDir root;
    const DataPlaces p{root.path() + "/bin", root.path() + "/share", root.path() + "/config"};
    const QString ini = p.programDir + "/user_params.ini";
    ASSERT_TRUE(QDir().mkpath(ini) && QDir(root.path()).mkpath("share"));
    EXPECT_EQ(userParamsSavePath(p), p.configDir + "/user_params.ini") << "a folder in its place is not written";
    ASSERT_TRUE(QDir().rmdir(ini));
    EXPECT_EQ(userParamsSavePath(p), ini);
    ASSERT_TRUE(writeFile(ini, ""));
    EXPECT_EQ(userParamsLoadPath(p), ini);
    ASSERT_TRUE(writeFile(p.dataDir + "/kelvora.jpg", "") && writeFile(p.programDir + "/kelvora.jpg", ""));
    EXPECT_EQ(dataFilePath(p, "kelvora.jpg"), p.programDir + "/kelvora.jpg");
    // Installed, with the defaults in the data folder: no file is started beside the program.
    ASSERT_TRUE(QFile::remove(ini) && writeFile(p.dataDir + "/user_params.ini", ""));
    EXPECT_EQ(userParamsSavePath(p), p.configDir + "/user_params.ini");
}

constexpr CsvScale kScale{70, 170};
using Points = std::vector<ProfilePoint>;

TEST(CsvProfileFormat, WritesShortGeneralNumbersWithXMirrored) {
    EXPECT_EQ(formatCsvProfile({{4096, 8192}}, kScale), "-17.5;85\n");
    EXPECT_EQ(formatCsvProfile({{0, 1000}, {0, 1}}, CsvScale{1, 1}), "0;0.0610352\n0;6.10352e-05\n");
    EXPECT_EQ(formatCsvProfile({{-32768, 65535}, {32767, 0}}, CsvScale{1000, 1000}), "2000;3999.94\n-1999.94;0\n");
}

// Text, the points it reads as at XEMR 70 and ZDIAP 170 (17.5 mm is 4096
// units, 85 mm 8192; values truncate toward zero).
class CsvProfileParse : public ::testing::TestWithParam<std::pair<QByteArray, Points>> {};

TEST_P(CsvProfileParse, LinesAndFieldsFollowTheFileRules) {
    const CsvImport result = parseCsvProfile(GetParam().first, kScale);
    EXPECT_TRUE(result.ok()) << messageOf(result.failure).toStdString();
    EXPECT_EQ(result.points, GetParam().second) << GetParam().first.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CsvProfileParse,
    ::testing::Values(std::make_pair(QByteArray("17,5;85,0\r\n"), Points{{4096, 8192}}),  // "," marks decimals too
                      std::make_pair(QByteArray("\n1;1\n\n\r\n  \n-1;1\n\n"), Points{{234, 96}, {-234, 96}}),
                      std::make_pair(QByteArray("17.5;85;9;x\n"), Points{{4096, 8192}}),  // extra fields
                      std::make_pair(QByteArray("x;z\n17.5\n;85\n"), Points{{0, 0}, {4096, 0}, {0, 8192}}),
                      std::make_pair(QByteArray("17.5abc;nan\n"), Points{{0, 0}}),
                      std::make_pair(QByteArray(" 17.5 ; 85 \n"), Points{{4096, 8192}}),
                      std::make_pair(QByteArray("1;1\n0;0\0\n3;3\n", 13), Points{{234, 96}, {0, 0}})),
    [](const auto& info) { return "Text" + std::to_string(info.index); });

TEST(CsvProfileParseLimits, OutOfRangeValuesSaturateAndAZeroScaleIsRefused) {
    const CsvImport result = parseCsvProfile("1000;-5\n-1000;1000\n1e300;inf\n140;0\n1e400;-1e400\n", kScale);
    EXPECT_EQ(result.points, (Points{{32767, 0}, {-32768, 65535}, {32767, 65535}, {32767, 0}, {32767, 0}}));
    EXPECT_EQ(result.saturatedValues, 9);  // 140 mm is 32768 units, one past the top
    EXPECT_TRUE(csvImportSummary(result, "a.csv").contains("9 values beyond"));
    // The limits themselves (X -32768 and 32767 units, Z 0 and 65535) are not beyond.
    const CsvImport top = parseCsvProfile("139.9957275390625;679.9896240234375\n-140;0\n140;0\n", kScale);
    EXPECT_TRUE(csvImportSummary(top, "a.csv").contains("a.csv; 1 values beyond"));
    for (CsvScale scale : {CsvScale{0, 170}, CsvScale{70, 0}, CsvScale{-1, 170}}) {
        const CsvImport refused = parseCsvProfile("1;1\n", scale);
        EXPECT_TRUE(refused.points.empty() && csvImportSummary(refused, "a.csv").contains(scale.xemr > 0 ? "ZDIAP" : "XEMR"));
    }
}

TEST(CsvProfileFile, ReadInPiecesKeepsTheFirst65535PointsCountsTheRestRefusesAFifoAndAFolderPastItsBound) {
    QTemporaryDir dir;
    QByteArray text;
    for (int i = 0; i <= kMaxProfilePoints; ++i)  // one line too many
        text += QByteArray::number(i % 1000 - 500) + (i % 3 ? ";1.5\r\n" : ",25;7\n\n");
    ASSERT_TRUE(writeFile(dir.filePath("long.csv"), text));
    const CsvImport fromFile = readCsvProfile(dir.filePath("long.csv"), kScale);
    EXPECT_EQ(fromFile.points, parseCsvProfile(text, kScale).points);
    EXPECT_EQ(std::pair(int(fromFile.points.size()), fromFile.droppedLines), std::pair(kMaxProfilePoints, 1));
    const QString summary = csvImportSummary(fromFile, "big.csv");
    EXPECT_TRUE(summary.contains("65535 points") && summary.contains("; 1 lines past")) << summary.toStdString();
    EXPECT_TRUE(openCsvFolder(dir.path(), kScale, Playback::Loop, kMaxProfilePoints).ok());
    const QString error = openCsvFolder(dir.path(), kScale, Playback::Loop, kMaxProfilePoints - 1).failure().message;
    EXPECT_TRUE(error.endsWith("holds more than 65534 points")) << error.toStdString();

    const QString fifo = dir.filePath("profile.csv");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const int openFiles = openDescriptorCount();
    EXPECT_TRUE(readCsvProfile(fifo, kScale).failure->message.contains("not a regular file"));
    EXPECT_EQ(openDescriptorCount(), openFiles) << "the refused file is closed";
}

// Every writer, each with more bytes than the file size limit of the test lets through.
TEST(OutputFiles, AFailedWriteNamesTheFileAndLeavesTheOldOneAndNoOtherBehind) {
    QTemporaryDir dir;
    const QString path = dir.filePath("out.png");
    QImage noise(64, 64, QImage::Format_Grayscale8);  // does not compress to 512 bytes
    std::generate_n(noise.bits(), noise.sizeInBytes(), std::minstd_rand(1));
    const std::function<MaybeFailure()> writers[] = {
        [&] { return writeCsvProfile(path, rampProfile(100), kScale); },
        [&] { return writeImageFile(path, noise); },
        [&] { return saveUserParamsIni(path, filledRecord(7, 0), PanelExtras{}); },
        [&] {
            PcapRecorder recorder;
            recorder.open(path);
            for (int i = 0; i < 10; ++i)
                recorder.write(QByteArray(100, 'p'), DatagramAddresses{}, i);
            recorder.close();
            return recorder.failure();
        },
    };
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, small{512, RLIM_INFINITY};  // small: a nearly full disk
    std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& write : writers) {
        ASSERT_TRUE(writeFile(path, "old"));
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const QString error = messageOf(write());
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        EXPECT_TRUE(error.startsWith("cannot write " + path + ": ")) << error.toStdString();
        EXPECT_EQ(readFile(path), "old");
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"out.png"});
    }
}

// A link is not followed, a folder, device or FIFO is not replaced, a missing folder not made.
TEST(OutputFiles, OnlyARegularFileIsReplaced) {
    QTemporaryDir dir;
    ASSERT_TRUE(writeFile(dir.filePath("target"), "old") && QFile::link(dir.filePath("target"), dir.filePath("link")));
    ASSERT_EQ(::mkfifo(dir.filePath("fifo").toLocal8Bit().constData(), 0600), 0);
    for (const char* name : {"link", "fifo", "missing/out", ""}) {
        const QString error = messageOf(writeWholeFile(dir.filePath(name), "new"));
        EXPECT_TRUE(error.startsWith("cannot write " + dir.filePath(name))) << error.toStdString();
    }
    // Never a device of the system: a fault here would replace it.
    EXPECT_TRUE(writeWholeFile(dir.filePath("fifo"), "new")->message.contains("fifo: it exists and is not a regular file"));
    EXPECT_EQ(readFile(dir.filePath("target")), "old");
    EXPECT_TRUE(QFileInfo(dir.filePath("link")).isSymLink());
    OutputFile late(dir.filePath("late"));  // a folder put in the way while it is written
    ASSERT_TRUE(late.open() && late.write("new") && QDir(dir.path()).mkdir("late"));
    EXPECT_FALSE(late.commit());
}

TEST(OutputFiles, AMissingFolderIsReportedWithTheSystemsErrno) {
    QTemporaryDir dir;
    const MaybeFailure failure = writeWholeFile(dir.filePath("missing/out"), "new");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, FailureCode::System);
    EXPECT_EQ(failure->systemError, ENOENT);
}

TEST(OutputFiles, ARefusedTargetCarriesNoErrno) {
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    const MaybeFailure failure = writeWholeFile(dir.filePath("folder"), "new");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, FailureCode::Refused);
    EXPECT_EQ(failure->systemError, 0);
}

// The picture is large: keep it off the stack.
std::unique_ptr<CameraPicture> pictureOf(uint8_t value) {
    auto picture = std::make_unique<CameraPicture>();
    picture->fill(value);
    return picture;
}

QImage blankImage(int width, int height, QRgb colour = 0xFFFFFFFF) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

TEST(CameraPicture, DarkBelow0x888888AsAWholeNumberAlphaIgnoredColumnAfterColumn) {
    // Where, what colour, and what the picture holds there.
    const std::tuple<int, int, QRgb, uint8_t> cases[] = {
        {0, 1, 0xFF888887, 255}, {1, 0, 0xFF888888, 0},   {479, 639, 0xFF900000, 0},
        {2, 3, 0xFF70FFFF, 255}, {3, 2, 0x00000000, 255}, {10, 600, 0x80FFFFFF, 0},
    };
    QImage image = blankImage(480, 640);
    for (const auto& [x, y, colour, expected] : cases)
        image.setPixel(x, y, colour);
    auto picture = pictureOf(7);
    EXPECT_FALSE(binarizePicture(blankImage(640, 480), *picture));
    ASSERT_TRUE(binarizePicture(image, *picture));
    for (const auto& [x, y, colour, expected] : cases)
        EXPECT_EQ((*picture)[x * kPictureHeight + y], expected) << std::hex << colour;
}

// Each of these would otherwise hang start-up, cost gigabytes or serve another picture.
TEST(CameraPicture, TheLoaderRefusesBadFilesWithTheReasonAndKeepsThePicture) {
    QTemporaryDir dir;
    ASSERT_TRUE(blankImage(480, 640, 0xFF000000).save(dir.filePath("whole.jpg")));
    const QByteArray whole = readFile(dir.filePath("whole.jpg"));
    QByteArray huge = whole;  // the start-of-frame header announces 65500 x 65500
    huge.replace(huge.indexOf("\xFF\xC0") + 5, 4, QByteArray("\xFF\xDC\xFF\xDC", 4));
    ASSERT_TRUE(writeFile(dir.filePath("huge.jpg"), huge) && writeFile(dir.filePath("cut.jpg"), whole.left(whole.size() / 2)));
    ASSERT_TRUE(blankImage(640, 480).save(dir.filePath("wide.png")));
    ASSERT_EQ(::mkfifo(dir.filePath("fifo.jpg").toLocal8Bit().constData(), 0600), 0);

    auto picture = pictureOf(7);
    for (const auto& [name, says] : {std::pair{"absent.jpg", "absent.jpg"}, {"wide.png", "640 wide"},
                                     {"fifo.jpg", "not a regular file"}, {"huge.jpg", "65500 wide"},
                                     {"cut.jpg", "cut short"}}) {
        const QString error = messageOf(loadCameraPicture(dir.filePath(name), *picture));
        EXPECT_TRUE(error.contains(says)) << error.toStdString();
    }
    EXPECT_EQ((*picture)[0], 7);
    EXPECT_FALSE(loadCameraPicture(dir.filePath("whole.jpg"), *picture));
    EXPECT_EQ((*picture)[0], 255);
}

}  // namespace

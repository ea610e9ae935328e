#include "CaptureTestSupport.h"

#include "capture/CaptureProfileSource.h"
#include "capture/CaptureReader.h"
#include "capture/PcapRecorder.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <thread>

namespace {

constexpr int kFragmentedPoints = 1280;  // 5144 bytes: four fragments on a 1500-byte link

struct LinkCase {
    const char* name;
    int linkType;
    std::vector<uint8_t> header;
};

class CaptureLinkTest : public testing::TestWithParam<LinkCase> {};

// A whole datagram, a fragmented one whose fragments arrive last first, a
// datagram that is no profile packet, and another whole one.
TEST_P(CaptureLinkTest, ReadsWholeAndReassembledProfilesInOrder) {
    QTemporaryDir dir;
    const QString path = dir.filePath("c.pcap");
    const ProfileSnapshot large = numberedProfile(2, kFragmentedPoints);
    std::vector<std::vector<uint8_t>> packets = ipv4Packets(profileDatagram(numberedProfile(1, 50)), "127.0.0.2", 6003, 1);
    std::vector<std::vector<uint8_t>> fragments = ipv4Packets(profileDatagram(large), "127.0.0.2", 6003, 2, 1480);
    ASSERT_EQ(fragments.size(), 4u);
    packets.insert(packets.end(), fragments.rbegin(), fragments.rend());
    for (auto& p : ipv4Packets(QByteArray("hello, not a profile"), "127.0.0.2", 6001, 3))
        packets.push_back(p);
    for (auto& p : ipv4Packets(profileDatagram(numberedProfile(3, 10)), "127.0.0.2", 6003, 4))
        packets.push_back(p);
    writeCapture(path, GetParam().linkType, GetParam().header, packets);

    CaptureReader reader;
    ASSERT_TRUE(reader.open(path)) << reader.error().toStdString();
    CapturedProfile profile;
    std::vector<int> numbers;
    while (reader.next(profile)) {
        numbers.push_back(profile.points.x[0]);
        if (numbers.back() == 2) {
            EXPECT_EQ(profile.points.x, large.x);
            EXPECT_EQ(profile.points.z, large.z);
        }
    }
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(reader.error().isEmpty()) << reader.error().toStdString();
    EXPECT_EQ(reader.counts().otherDatagrams, 1);
    EXPECT_EQ(reader.counts().droppedFragments, 0);
}

const std::vector<uint8_t> kEthernet{0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 6, 0x08, 0x00};
const std::vector<uint8_t> kCooked{0, 0, 3, 4, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x00};
const std::vector<uint8_t> kCooked2{0x08, 0x00, 0, 0, 0, 0, 0, 1, 3, 4, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(LinkTypes, CaptureLinkTest,
                         testing::Values(LinkCase{"Loopback", DLT_NULL, {2, 0, 0, 0}},
                                         LinkCase{"LoopbackBigEndian", DLT_NULL, {0, 0, 0, 2}},
                                         LinkCase{"Ethernet", DLT_EN10MB, kEthernet},
                                         LinkCase{"LinuxCooked", DLT_LINUX_SLL, kCooked},
                                         LinkCase{"LinuxCooked2", DLT_LINUX_SLL2, kCooked2},
                                         LinkCase{"RawIpv4", DLT_RAW, {}}),
                         [](const testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

TEST(CaptureReaderTest, FilterKeepsOneSourceOrOnePort) {
    QTemporaryDir dir;
    const QString path = dir.filePath("c.pcap");
    std::vector<std::vector<uint8_t>> packets;
    for (auto [number, source, port] : {std::tuple{1, "127.0.0.2", 6003}, {2, "127.0.0.3", 6003}, {3, "127.0.0.2", 7003}})
        packets.push_back(ipv4Packets(profileDatagram(numberedProfile(number, 5)), source, uint16_t(port), 1)[0]);
    writeCapture(path, DLT_RAW, {}, packets);

    auto read = [&](CaptureFilter filter) {
        CaptureReader reader;
        CapturedProfile profile;
        std::vector<int> numbers;
        EXPECT_TRUE(reader.open(path, filter));
        while (reader.next(profile))
            numbers.push_back(profile.points.x[0]);
        return numbers;
    };
    EXPECT_EQ(read({0x7f000002, 0}), (std::vector<int>{1, 3}));
    EXPECT_EQ(read({0, 6003}), (std::vector<int>{1, 2}));
}

TEST(PcapRecorderTest, RecordedDatagramsReadBackInOrderWithTheirTime) {
    QTemporaryDir dir;
    const QString path = dir.filePath("r.pcap");
    PcapRecorder recorder;
    QString error;
    ASSERT_TRUE(recorder.open(path, error)) << error.toStdString();
    for (int n = 1; n <= 20; ++n)
        ASSERT_TRUE(recorder.write(profileDatagram(numberedProfile(n, n * 40)), {0x7f000001, 5000, 0x7f000001, 6003},
                                   1700000000000000LL + n * 2000));
    ASSERT_TRUE(recorder.close());

    CaptureReader reader;
    ASSERT_TRUE(reader.open(path));
    CapturedProfile profile;
    for (int n = 1; n <= 20; ++n) {
        ASSERT_TRUE(reader.next(profile));
        EXPECT_EQ(profile.points.x, numberedProfile(n, n * 40).x);
        EXPECT_EQ(profile.seconds * 1000000LL + profile.microseconds, 1700000000000000LL + n * 2000);
    }
    EXPECT_FALSE(reader.next(profile));
}

// A capture of three profiles, then spoilt.
struct DamageCase {
    const char* name;
    void (*damage)(QByteArray& file);
    bool opens;
    int profiles;
    const char* error;  // part of the reader's error
};

class CaptureDamageTest : public testing::TestWithParam<DamageCase> {};

TEST_P(CaptureDamageTest, GivesWhatItCanAndSaysWhy) {
    QTemporaryDir dir;
    const QString path = dir.filePath("c.pcap");
    std::vector<std::vector<uint8_t>> packets;
    for (int n = 1; n <= 3; ++n)
        packets.push_back(ipv4Packets(profileDatagram(numberedProfile(n, 100)), "127.0.0.2", 6003, uint16_t(n))[0]);
    writeCapture(path, DLT_RAW, {}, packets);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    GetParam().damage(bytes);
    file.resize(0);
    file.write(bytes);
    file.close();

    CaptureReader reader;
    ASSERT_EQ(reader.open(path), GetParam().opens) << reader.error().toStdString();
    CapturedProfile profile;
    int profiles = 0;
    while (reader.next(profile))
        ++profiles;
    EXPECT_EQ(profiles, GetParam().profiles);
    EXPECT_TRUE(reader.error().contains(GetParam().error)) << reader.error().toStdString();
}

constexpr int kFileHeader = 24, kRecordHeader = 16;

INSTANTIATE_TEST_SUITE_P(
    Damage, CaptureDamageTest,
    testing::Values(
        DamageCase{"Empty", [](QByteArray& b) { b.clear(); }, false, 0, "cannot read"},
        DamageCase{"NotACapture", [](QByteArray& b) { b.replace(0, 4, "GIF8"); }, false, 0, "cannot read"},
        DamageCase{"LinkWithoutIpv4", [](QByteArray& b) { b[20] = char(DLT_IEEE802_11); }, false, 0, "link type"},
        DamageCase{"CutInTheLastRecord", [](QByteArray& b) { b.chop(50); }, true, 2, "record 3"},
        DamageCase{"RecordLengthPastTheSnapLength",
                   [](QByteArray& b) { b[kFileHeader + 8 + 3] = char(0x7f); }, true, 0, "record 1"},
        DamageCase{"BrokenIpv4Header",  // header length below 20 bytes
                   [](QByteArray& b) { b[kFileHeader + kRecordHeader] = char(0x41); }, true, 2, ""}),
    [](const testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

// More frames than the read-ahead window holds, numbered 0 .. 599.
class CaptureSourceTest : public testing::Test {
protected:
    static constexpr int kFrames = 600;
    void SetUp() override {
        std::vector<std::vector<uint8_t>> packets;
        for (int n = 0; n < kFrames; ++n)
            packets.push_back(ipv4Packets(profileDatagram(numberedProfile(n, 20)), "127.0.0.2", 6003, uint16_t(n))[0]);
        writeCapture(path(), DLT_RAW, {}, packets);
    }
    QString path() const { return dir_.filePath("c.pcap"); }
    static int frameOf(ProfileSource& source, uint64_t measurement) {
        ProfileSnapshot out;
        source.copyProfile(measurement, out, kMaxProfilePoints);
        return out.x.empty() ? -1 : out.x[0];
    }

private:
    QTemporaryDir dir_;
};

TEST_F(CaptureSourceTest, TwoCallersLoopThroughTheCaptureAndStartOverAfterAReset) {
    QString error;
    auto source = CaptureProfileSource::open(path(), {}, Playback::Loop, error);
    ASSERT_TRUE(source) << error.toStdString();
    auto walk = [&](int step, std::vector<int>& wrong) {
        for (uint64_t n = 1; n <= 3 * kFrames; n += step)
            if (frameOf(*source, n) != int((n - 1) % kFrames))
                wrong.push_back(int(n));
    };
    std::vector<int> wrongA, wrongB;
    std::thread other([&] { walk(3, wrongB); });
    walk(1, wrongA);
    other.join();
    EXPECT_TRUE(wrongA.empty() && wrongB.empty()) << wrongA.size() << " " << wrongB.size();
    EXPECT_EQ(source->frameCount(), kFrames);
    EXPECT_EQ(frameOf(*source, 1), 0);
    EXPECT_EQ(frameOf(*source, 450), 449);
}

TEST_F(CaptureSourceTest, OnceHoldsTheLastFrame) {
    QString error;
    auto source = CaptureProfileSource::open(path(), {}, Playback::Once, error);
    ASSERT_TRUE(source);
    EXPECT_EQ(frameOf(*source, 0), 0);
    EXPECT_EQ(frameOf(*source, 100000), kFrames - 1);
    EXPECT_EQ(frameOf(*source, 2), 1);
}

TEST(CaptureSourceOpenTest, RefusesACaptureWithoutProfiles) {
    QTemporaryDir dir;
    const QString path = dir.filePath("c.pcap");
    writeCapture(path, DLT_RAW, {}, ipv4Packets(QByteArray("no profile"), "127.0.0.2", 6003, 1));
    QString error;
    EXPECT_FALSE(CaptureProfileSource::open(path, {}, Playback::Loop, error));
    EXPECT_TRUE(error.contains("no profile packets")) << error.toStdString();
}

}  // namespace

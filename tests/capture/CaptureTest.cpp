#include "CaptureTestSupport.h"

#include "capture/CaptureProfileSource.h"
#include "capture/CaptureReplay.h"
#include "support/TestUtil.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <cerrno>
#include <cstdio>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>

namespace {

struct LinkCase {
    const char* name;
    int linkType;
    std::vector<uint8_t> header;
};

class CaptureLinkTest : public testing::TestWithParam<LinkCase> {};

// A whole datagram, a frame of the link header alone (read where the datagram
// was: none of it may show through), a fragmented datagram whose fragments
// arrive last first, a datagram that is no profile packet, another whole one,
// and one cut off by the end of the file.
TEST_P(CaptureLinkTest, ReadsWholeAndReassembledProfilesInOrder) {
    Frames packets{ipv4Packets(profileDatagram(1, 50))[0], {}};
    const Frames fragments = ipv4Packets(profileDatagram(2, 1280), 6003, 1480);
    ASSERT_EQ(fragments.size(), 4u);
    packets.insert(packets.end(), fragments.rbegin(), fragments.rend());
    packets.push_back(ipv4Packets("hello, not a profile", 6001)[0]);
    for (int number : {3, 4})
        packets.push_back(ipv4Packets(profileDatagram(number, 10))[0]);
    QTemporaryDir dir;
    const QString path = dir.filePath("c.pcap");
    writeCapture(path, GetParam().linkType, GetParam().header, packets);
    QFile::resize(path, QFile(path).size() - 20);

    CaptureReader reader;
    ASSERT_TRUE(reader.open(path)) << messageOf(reader.failure()).toStdString();
    CapturedProfile profile;
    std::vector<std::pair<int, int>> profiles;  // first X, points
    while (reader.next(profile))
        profiles.emplace_back(profile.points.x[0], profile.points.count());
    EXPECT_EQ(profiles, (std::vector<std::pair<int, int>>{{1, 50}, {2, 1280}, {3, 10}}));
    const QString error = messageOf(reader.failure());
    EXPECT_TRUE(error.contains("record 9 cannot be read")) << error.toStdString();
    EXPECT_EQ((std::pair{reader.counts().otherDatagrams, reader.counts().skippedRecords}), std::pair(1LL, 1LL));
    EXPECT_FALSE(reader.open(path, {0, 6001}) && reader.next(profile)) << "the one datagram to that port is no profile";
}

INSTANTIATE_TEST_SUITE_P(
    LinkTypes, CaptureLinkTest,
    testing::Values(LinkCase{"Loopback", DLT_NULL, {2, 0, 0, 0}},
                    LinkCase{"LoopbackBigEndian", DLT_NULL, {0, 0, 0, 2}},
                    LinkCase{"LoopbackAlwaysBigEndian", DLT_LOOP, {0, 0, 0, 2}},
                    LinkCase{"Ethernet", DLT_EN10MB, {2, 2, 2, 2, 2, 2, 4, 4, 4, 4, 4, 4, 8, 0}},
                    LinkCase{"EthernetVlan", DLT_EN10MB, {2, 2, 2, 2, 2, 2, 4, 4, 4, 4, 4, 4, 0x81, 0, 0, 5, 8, 0}},
                    LinkCase{"Sll", DLT_LINUX_SLL, {0, 0, 3, 4, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0}},
                    LinkCase{"Sll2", DLT_LINUX_SLL2, {8, 0, 0, 0, 0, 0, 0, 1, 3, 4, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0}},
                    LinkCase{"RawIpv4", DLT_RAW, {}}),
    [](const testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

// First fragments of `datagrams` datagrams that never complete, `each` fragments apiece.
Frames unfinishedFragments(int datagrams, int each) {
    Frames frames;
    for (int d = 0; d < datagrams; ++d) {
        const Frames all = ipv4Packets(QByteArray(8 * each, 0), 6003, 8, uint16_t(1000 + d));
        frames.insert(frames.end(), all.begin(), all.end() - 1);
    }
    return frames;
}

// A fragmented profile packet whose fragments have other unfinished datagrams
// between them completes only while those stay under the bounds on what
// waits: by datagrams, and by memory however small each fragment.
TEST(CaptureFragmentTest, WaitingFragmentsAreBoundedByDatagramsAndMemoryAndDroppedPastIt) {
    QTemporaryDir dir;
    const QString path = dir.filePath("c.pcap");
    const Frames split = ipv4Packets(profileDatagram(2, 100), 6003, 200);
    for (const auto& [datagrams, each, completes] : {std::tuple{10, 10, true}, {1023, 1, true}, {1024, 1, false}, {10, 8000, false}}) {
        SCOPED_TRACE(testing::Message() << datagrams << " x " << each);
        Frames packets = {split.front()};
        const Frames flood = unfinishedFragments(datagrams, each);
        packets.insert(packets.end(), flood.begin(), flood.end());
        packets.insert(packets.end(), split.begin() + 1, split.end());
        packets.push_back(ipv4Packets(profileDatagram(3, 10))[0]);
        writeCapture(path, DLT_RAW, {}, packets);
        CaptureReader reader;
        ASSERT_TRUE(reader.open(path)) << messageOf(reader.failure()).toStdString();
        std::vector<int> profiles;
        for (CapturedProfile profile; reader.next(profile);)
            profiles.push_back(profile.points.x[0]);
        EXPECT_EQ(profiles, completes ? std::vector<int>({2, 3}) : std::vector<int>({3}));
        EXPECT_EQ(reader.counts().droppedFragments, datagrams * each + (completes ? 0 : int(split.size())));
    }
    // A stop between records ends the pass.
    const std::atomic<bool> stop{true};
    CaptureReader stopped;
    stopped.setStopFlag(&stop);
    CapturedProfile profile;
    EXPECT_TRUE(stopped.open(path) && !stopped.next(profile));
}

// CPU time the whole process takes while this thread sleeps.
double processCpuMsOver(std::chrono::milliseconds sleep) {
    const auto cpuMs = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
    };
    const double before = cpuMs();
    std::this_thread::sleep_for(sleep);
    return cpuMs() - before;
}

int frameOf(ProfileSource& source, uint64_t measurement) {
    ProfileSnapshot out{{-7}, {7}};  // a stream reuses its snapshot: whatever it held must go
    source.copyProfile(measurement, out, kMaxProfilePoints);
    return out.x.empty() ? -1 : out.x[0];
}

TEST(CaptureSourceTest, AMissingCaptureIsReportedWithTheSystemsErrno) {
    QTemporaryDir dir;
    const Failure failure = openCaptureReplay(dir.filePath("missing.pcap"), {}, Playback::Loop).failure();
    EXPECT_EQ(failure.code, FailureCode::System);
    EXPECT_EQ(failure.systemError, ENOENT);
}

// Refused without profiles (of a link without IPv4, none at all, loopback
// frames of another address family); then more frames than the read-ahead
// window holds, numbered 0 .. 599.
TEST(CaptureSourceTest, OpensOnlyCapturesWithProfilesAndPlaysFrameKAtMeasurementKToTwoCallers) {
    constexpr int kFrames = 600;
    QTemporaryDir dir;
    const QString path = dir.filePath("c.pcap");
    Frames packets;
    for (int n = 0; n < kFrames; ++n)
        packets.push_back(ipv4Packets(profileDatagram(n, 20))[0]);
    for (auto [linkType, header, message] : {std::tuple{DLT_IEEE802_11, std::vector<uint8_t>{}, "as a capture: link type"},
                                              {DLT_RAW, {}, "1 records, 0 profile packets;"},
                                              {DLT_NULL, {2, 0, 0, 2}, "no profile packets"}}) {
        writeCapture(path, linkType, header, linkType == DLT_RAW ? ipv4Packets("not a profile") : packets);
        const QString error = openCaptureReplay(path, {}, Playback::Loop).failure().message;
        EXPECT_TRUE(error.contains(message)) << error.toStdString();
    }
    ASSERT_TRUE(writeFile(path, "not a capture"));
    EXPECT_TRUE(CaptureProfileSource::open(path, {}, Playback::Loop).failure().message.contains("capture: unknown file format"));
    writeCapture(path, DLT_RAW, {}, packets);
    const int threads = processThreadCount();
    const auto held = openCaptureReplay(path, {}, Playback::Loop);
    EXPECT_TRUE(held.ok() && frameOf(**held, 450) == 449) << held.failure().message.toStdString();
    EXPECT_EQ(processThreadCount(), threads) << "a capture that fits is held, with no reader";
    writeCapture(dir.filePath("large.pcap"), DLT_RAW, {}, Frames(1100, ipv4Packets(profileDatagram(1, 8000))[0]));
    EXPECT_GT(openCaptureReplay(dir.filePath("large.pcap"), {}, Playback::Loop).ok() ? processThreadCount() : 0, threads)
        << "one of more than 32 MiB of points is read as it plays (and its reader goes with it)";
    auto loopOpened = CaptureProfileSource::open(path, {}, Playback::Loop);
    auto onceOpened = CaptureProfileSource::open(path, {}, Playback::Once);
    ASSERT_TRUE(loopOpened.ok() && onceOpened.ok());
    const std::unique_ptr<CaptureProfileSource> loop = std::move(*loopOpened), once = std::move(*onceOpened);

    const int filesBefore = openDescriptorCount();
    int wrongA = 0, wrongB = 0;
    const auto walk = [&](int step, int& wrong) {
        for (uint64_t n = 1; n <= 3 * kFrames; n += step)
            wrong += frameOf(*loop, n) != int((n - 1) % kFrames);
    };
    std::thread other([&] { walk(3, wrongB); });
    walk(1, wrongA);
    other.join();
    EXPECT_EQ(wrongA + wrongB, 0);
    EXPECT_LE(openDescriptorCount(), filesBefore) << "every pass closes the file it read";
    EXPECT_EQ((std::pair{loop->frameCount(), frameOf(*loop, 450)}), std::pair(kFrames * 1LL, 449));
    EXPECT_EQ(frameOf(*once, 2), 1) << "a later frame asked first";
    EXPECT_EQ((std::pair{frameOf(*once, 0), frameOf(*once, 100000)}), std::pair(0, kFrames - 1));  // braces: in order
    EXPECT_LT(processCpuMsOver(std::chrono::milliseconds(300)), 30) << "a reader at the end of its file is idle";

    // A FIFO is refused, not waited for, also when renamed over the file under the loop.
    const QByteArray fifo = QFile::encodeName(dir.filePath("fifo"));
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);
    const QString error = CaptureProfileSource::open(dir.filePath("fifo"), {}, Playback::Loop).failure().message;
    EXPECT_TRUE(error.contains("not a regular file")) << error.toStdString();
    ASSERT_EQ(std::rename(fifo.constData(), QFile::encodeName(path).constData()), 0);
    EXPECT_EQ(frameOf(*loop, 1), -1);
}

}  // namespace

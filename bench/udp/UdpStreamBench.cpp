// Measures the profile stream on loopback and prints a table:
//  1. the paced stream at 491 Hz: achieved rate, worst gap, worker CPU;
//  2. the stream at the highest frequency against a plain sendto loop;
//  3. the cost of encoding one 1280-point packet.
#include "params/UserParams.h"
#include "profile/ProfileSource.h"
#include "udp/ProfilePacket.h"
#include "scanner/Engine.h"
#include "udp/UdpTransport.h"
#include "../support/LoopbackReceiver.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPoints = 1280;

double secondsBetween(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

using Arrival = LoopbackReceiver::Arrival;

// What the receiver took from its only sender, the stream.
std::vector<Arrival> arrivalsOf(LoopbackReceiver& receiver) {
    auto bySource = receiver.take();
    return bySource.empty() ? std::vector<Arrival>() : std::move(bySource.begin()->second);
}

// Packets counted by their 16-bit counters, which wrap.
uint64_t packetsSpanned(const std::vector<Arrival>& arrivals) {
    uint64_t span = 0;
    for (size_t i = 1; i < arrivals.size(); ++i)
        span += uint16_t(arrivals[i].counter - arrivals[i - 1].counter);
    return span;
}

std::vector<ProfilePoint> benchProfile() {
    std::vector<ProfilePoint> points;
    for (int i = 0; i < kPoints; ++i)
        points.push_back({static_cast<int16_t>(i * 12 - 7680), static_cast<uint16_t>(4000 + i % 300)});
    return points;
}

// One stream on an engine of its own, as a scanner runs it.
class RunningStream {
public:
    RunningStream(ScannerState& state, ProfileStore& profile)
        : feed_(profile), worker_(nullptr, &state, &feed_) {
        engine_.startSending(&worker_);
    }
    ~RunningStream() {
        engine_.stopSending(&worker_);
        worker_.finish();
    }

private:
    Engine engine_;
    ProfileFeed feed_;
    UdpTransport worker_;
};

void setStream(ScannerState& state, uint16_t port, uint16_t frequency) {
    state.record().update([&](USER_PARAMS& p) {
        p.wUDP = 1;
        p.udp_port_u16 = port;
        p.udp_frequency_u16 = frequency;
    });
}

void pacedStream(ScannerState& state, ProfileStore& profile) {
    constexpr int kFrequency = 491;
    constexpr double kSeconds = 10.0;
    LoopbackReceiver receiver;
    setStream(state, receiver.port(), kFrequency);
    double workerCpu = 0;
    {
        RunningStream stream(state, profile);
        const double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - receiver.use().cpu;
        std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
        workerCpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - receiver.use().cpu - cpuBefore;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<Arrival> arrivals = arrivalsOf(receiver);
    // Packets 0 and 1 leave together; the rate is measured from packet 1 on.
    if (arrivals.size() < 3) {
        std::printf("paced stream: only %zu packets received\n", arrivals.size());
        return;
    }
    arrivals.erase(arrivals.begin());
    const double span = arrivals.back().at - arrivals.front().at;
    const double rate = packetsSpanned(arrivals) / span;
    double worstGapMs = 0;
    for (size_t i = 1; i < arrivals.size(); ++i)
        worstGapMs = std::max(worstGapMs, (arrivals[i].at - arrivals[i - 1].at) * 1000);
    const uint64_t lost = packetsSpanned(arrivals) + 1 - arrivals.size();

    std::printf("1. Paced stream, %d points, %d Hz, %.0f s\n", kPoints, kFrequency, kSeconds);
    std::printf("   %-34s %12.3f Hz\n", "achieved rate", rate);
    std::printf("   %-34s %12.4f %%   (goal < 0.1 %%)\n", "rate error", 100.0 * (rate - kFrequency) / kFrequency);
    std::printf("   %-34s %12.3f ms  (period %.3f ms)\n", "worst inter-packet gap", worstGapMs, 1000.0 / kFrequency);
    std::printf("   %-34s %12llu\n", "packets lost", static_cast<unsigned long long>(lost));
    std::printf("   %-34s %12.3f %%   (goal < 3 %%)\n", "emulator CPU (receiver excluded)", 100.0 * workerCpu / kSeconds);
}

double plainSendRate(const QByteArray& datagram, uint16_t port, double seconds) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = loopback(port);
    uint64_t sent = 0;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end)
        if (sendto(fd, datagram.constData(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0)
            ++sent;
    const double elapsed = secondsBetween(start, Clock::now());
    close(fd);
    return sent / elapsed;
}

double streamSendRate(ScannerState& state, ProfileStore& profile, double seconds) {
    LoopbackReceiver receiver;
    setStream(state, receiver.port(), 65535);  // a period far below 1 ms: no pacing at all
    {
        RunningStream stream(state, profile);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::vector<Arrival> arrivals = arrivalsOf(receiver);
    if (arrivals.size() < 2)
        return 0;
    return packetsSpanned(arrivals) / (arrivals.back().at - arrivals.front().at);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Rounds alternate between the two senders so that a change in the machine's
// load hits both alike.
void unpacedStream(ScannerState& state, ProfileStore& profile, const QByteArray& datagram) {
    constexpr int kRounds = 5;
    constexpr double kSeconds = 1.0;
    std::vector<double> streamRates, plainRates;
    for (int round = 0; round < kRounds; ++round) {
        streamRates.push_back(streamSendRate(state, profile, kSeconds));
        LoopbackReceiver receiver;
        plainRates.push_back(plainSendRate(datagram, receiver.port(), kSeconds));
    }
    const double streamRate = median(streamRates);
    const double plainRate = median(plainRates);
    std::printf("2. Unpaced stream (udp_frequency_u16 = 65535) vs plain sendto, %d-byte datagram, median of %d x %.0f s\n",
                datagram.size(), kRounds, kSeconds);
    std::printf("   %-34s %12.0f /s\n", "stream worker datagrams", streamRate);
    std::printf("   %-34s %12.0f /s\n", "plain sendto loop", plainRate);
    std::printf("   %-34s %12.3f      (goal >= 0.8)\n", "ratio", plainRate > 0 ? streamRate / plainRate : 0.0);
}

QByteArray encodeOnce(const ProfileSnapshot& snapshot, uint32_t counter) {
    PacketFields fields;
    fields.packetCounter = counter;
    fields.serial = encodeSerialNumber(123);
    fields.xemr = 160;
    fields.zdiap = 175;
    QByteArray out;
    encodeProfilePacket(snapshot, fields, out);
    return out;
}

void encodeCost(const ProfileStore& profile) {
    constexpr int kRounds = 200000;
    ProfileSnapshot snapshot;
    profile.copySnapshot(snapshot, kMaxPacketPoints);
    PacketFields fields;
    fields.serial = encodeSerialNumber(123);
    QByteArray out;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        fields.packetCounter = i;
        encodeProfilePacket(snapshot, fields, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double encodeNs = secondsBetween(start, Clock::now()) * 1e9 / kRounds;

    const Clock::time_point copyStart = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        profile.copySnapshot(snapshot, kMaxPacketPoints);
        benchmark::DoNotOptimize(snapshot.z.data());
        benchmark::ClobberMemory();
    }
    const double copyNs = secondsBetween(copyStart, Clock::now()) * 1e9 / kRounds;
    std::printf("3. Packet building, %d points (%d bytes)\n", kPoints, out.size());
    std::printf("   %-34s %12.0f ns\n", "encode with checksum", encodeNs);
    std::printf("   %-34s %12.0f ns\n", "profile snapshot copy", copyNs);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    ScannerState state;
    ProfileStore profile;
    profile.replace(benchProfile());
    ProfileSnapshot snapshot;
    profile.copySnapshot(snapshot);

    pacedStream(state, profile);
    unpacedStream(state, profile, encodeOnce(snapshot, 0));
    encodeCost(profile);
    return 0;
}

// Rigs of scanners on one engine in this process, each streaming 1280 points
// from 127.0.0.k, against two plain reference senders run right after in the
// same program: one thread per stream sleeping to an absolute schedule, and
// one thread for all streams that sleeps to the last deadline within 250 us
// of the earliest and sends everything due by then. A receiving thread, left
// out of every figure, takes kernel time stamps. Per rig: CPU, context
// switches per datagram, threads, the worst scanner's rate error
// (least-squares fit of arrival time on packet counter) and the worst
// scanner's lateness p99 against its fitted schedule, each beside each
// reference's and as a ratio. Besides: an idle rig's wake-ups (streams off,
// no client) and the memory a started scanner takes.
//
//   rig_bench [--window SECONDS] [RIG...]
// RIG: N@HZ (a streaming rig), idle, rss; by default all of them.
#include "scanner/Engine.h"
#include "scanner/Scanner.h"
#include "udp/ProfilePacket.h"
#include "../support/LoopbackReceiver.h"

#include <QCoreApplication>
#include <QDir>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kPoints = 1280;
constexpr double kWarmUpS = 1.0;
constexpr double kDefaultWindowS = 3.0;
constexpr double kCoalesceS = 250e-6;  // the one-thread reference's lateness
constexpr int kPerStreamThreadsUpTo = 128;  // beyond, the thread-per-stream reference is left out
constexpr int kIdleRig = 64;
constexpr int kIdleFrequency = 491;  // in the record, the stream being off
constexpr double kIdleSettleS = 10.0;
constexpr double kIdleWindowS = 10.0;
constexpr int kRssRig = 254;
constexpr int kRssFrequency = 249;
constexpr double kRssSettleS = 1.0;
constexpr long kNsPerS = 1000000000L;
// The receiver takes what arrived this often: no sender pays for waking it.
constexpr std::chrono::milliseconds kReceiverPoll{1};

struct RigShape {
    int size;
    int frequency;
};

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

long processContextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

QStringList taskIds() { return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot); }

int threadCount() { return taskIds().size(); }

// Voluntary and involuntary switches of every thread alive now.
long liveThreadsContextSwitches() {
    long switches = 0;
    for (const QString& tid : taskIds())
        switches += useOf(pid_t(tid.toInt()), CLOCK_THREAD_CPUTIME_ID).switches;
    return switches;
}

double vmRssMb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    return 0;
}

double loadAverage() {
    QFile load(QStringLiteral("/proc/loadavg"));
    return load.open(QIODevice::ReadOnly) ? load.readAll().split(' ').first().toDouble() : 0;
}

uint32_t rigAddress(int k) { return (127u << 24) | uint32_t(k); }

using Receiver = LoopbackReceiver;

struct StreamFigures {
    double rateError = 0;  // relative, from the fitted period
    double p99LatenessMs = 0;
};

// Least squares of arrival time on the unwrapped packet counter; lateness is
// the distance above the fitted schedule, the earliest arrival taken as on time.
StreamFigures figuresOf(const std::vector<Receiver::Arrival>& arrivals, double periodS) {
    StreamFigures f;
    if (arrivals.size() < 10)
        return f;
    std::vector<double> k(arrivals.size());
    double unwrapped = 0;
    for (size_t i = 1; i < arrivals.size(); ++i)
        k[i] = unwrapped += uint16_t(arrivals[i].counter - arrivals[i - 1].counter);
    const double n = double(arrivals.size());
    double sk = 0, st = 0, skk = 0, skt = 0;
    const double t0 = arrivals.front().at;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        const double t = arrivals[i].at - t0;
        sk += k[i];
        st += t;
        skk += k[i] * k[i];
        skt += k[i] * t;
    }
    const double period = (n * skt - sk * st) / (n * skk - sk * sk);
    const double offset = (st - period * sk) / n;
    f.rateError = std::abs(period - periodS) / periodS;
    std::vector<double> late(arrivals.size());
    for (size_t i = 0; i < arrivals.size(); ++i)
        late[i] = arrivals[i].at - t0 - (offset + period * k[i]);
    const double earliest = *std::min_element(late.begin(), late.end());
    for (double& l : late)
        l -= earliest;
    std::sort(late.begin(), late.end());
    f.p99LatenessMs = late[size_t(late.size() * 0.99)] * 1e3;
    return f;
}

struct RunFigures {
    double cpu = 0;  // of one core
    double switchesPerDatagram = 0;
    int threads = 0;
    double worstRateError = 0;
    double worstP99Ms = 0;
    int silent = 0;
};

void sleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Measures one window of whatever sends to `receiver` now.
RunFigures measureWindow(Receiver& receiver, const RigShape& rig, int baseThreads, double windowS) {
    RunFigures r;
    r.threads = threadCount() - baseThreads;
    const ThreadUse receiverBefore = receiver.use();
    const double cpuBefore = processCpuSeconds();
    const long switchesBefore = processContextSwitches();
    const uint64_t datagramsBefore = receiver.datagrams();
    receiver.record(true);
    sleepFor(windowS);
    receiver.record(false);
    const ThreadUse receiverAfter = receiver.use();
    r.cpu = (processCpuSeconds() - cpuBefore - (receiverAfter.cpu - receiverBefore.cpu)) / windowS;
    const double datagrams = double(receiver.datagrams() - datagramsBefore);
    r.switchesPerDatagram =
        (processContextSwitches() - switchesBefore - (receiverAfter.switches - receiverBefore.switches)) /
        std::max(datagrams, 1.0);
    const auto arrivals = receiver.take();
    r.silent = rig.size - int(arrivals.size());
    for (const auto& stream : arrivals) {
        const StreamFigures f = figuresOf(stream.second, 1.0 / rig.frequency);
        r.worstRateError = std::max(r.worstRateError, f.rateError);
        r.worstP99Ms = std::max(r.worstP99Ms, f.p99LatenessMs);
    }
    return r;
}

std::vector<ProfilePoint> profileOf(int n) {
    std::vector<ProfilePoint> points;
    for (int i = 0; i < n; ++i)
        points.push_back({static_cast<int16_t>(i * 12 - 7680), static_cast<uint16_t>(4000 + i % 300)});
    return points;
}

ProfileSnapshot snapshotOf(int n) {
    ProfileSnapshot profile;
    for (const ProfilePoint& p : profileOf(n)) {
        profile.x.push_back(p.x);
        profile.z.push_back(p.z);
    }
    return profile;
}

// Scanners on `engine` at 127.0.0.1..size, started; streaming to `streamPort` unless it is 0.
std::vector<std::unique_ptr<Scanner>> startRig(Engine& engine, int size, int frequency, uint16_t streamPort,
                                               uint16_t helloPort) {
    std::vector<std::unique_ptr<Scanner>> rig;
    for (int k = 1; k <= size; ++k) {
        auto scanner = std::make_unique<Scanner>(engine);
        ScannerSettings settings = scanner->settings();
        settings.localAddress = QHostAddress(rigAddress(k)).toString();
        settings.sendFromLocalAddress = true;
        settings.helloPort = helloPort;
        scanner->applySettings(settings);
        scanner->params().update([&](USER_PARAMS& p) {
            p.tcp_port_u16 = 0;
            p.udp_port_u16 = streamPort;
            p.wUDP = streamPort != 0;
        });
        scanner->setFrequency(frequency);
        scanner->profile().replace(profileOf(kPoints));
        scanner->start();
        rig.push_back(std::move(scanner));
    }
    return rig;
}

void stopRig(std::vector<std::unique_ptr<Scanner>>& rig) {
    for (auto& scanner : rig)
        scanner->stop();
}

RunFigures runEmulator(const RigShape& rig, int baseThreads, double windowS) {
    Receiver receiver(false, kReceiverPoll);
    const int receiverThreads = 1;
    Engine engine;
    // Hellos go to the receiver too, which tells them apart by their size.
    auto scanners = startRig(engine, rig.size, rig.frequency, receiver.port(), receiver.port());
    sleepFor(kWarmUpS);
    const RunFigures r = measureWindow(receiver, rig, baseThreads + receiverThreads, windowS);
    stopRig(scanners);
    return r;
}

int boundSocket(int k) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from = loopback(0);
    from.sin_addr.s_addr = htonl(rigAddress(k));
    bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    return fd;
}

void advance(timespec& t, long ns) {
    t.tv_nsec += ns;
    t.tv_sec += t.tv_nsec / kNsPerS;
    t.tv_nsec %= kNsPerS;
}

long long nanosOf(const timespec& t) { return t.tv_sec * (long long)kNsPerS + t.tv_nsec; }

timespec timespecOf(long long ns) { return {time_t(ns / kNsPerS), long(ns % kNsPerS)}; }

// One reference stream's socket, datagram and counter.
struct ReferenceStream {
    explicit ReferenceStream(int k) : fd(boundSocket(k)) {}
    void send(const ProfileSnapshot& profile, const sockaddr_in& to) {
        fields.packetCounter = counter++;
        encodeProfilePacket(profile, fields, datagram);
        sendto(fd, datagram.constData(), size_t(datagram.size()), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    int fd;
    uint32_t counter = 0;
    PacketFields fields;
    QByteArray datagram;
};

// Per stream a thread that sleeps to an absolute schedule and sends.
RunFigures runPerStreamReference(const RigShape& rig, int baseThreads, double windowS) {
    Receiver receiver(false, kReceiverPoll);
    const ProfileSnapshot profile = snapshotOf(kPoints);
    const sockaddr_in to = loopback(receiver.port());
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int k = 1; k <= rig.size; ++k)
        senders.emplace_back([&, k] {
            ReferenceStream stream(k);
            timespec next{};
            clock_gettime(CLOCK_MONOTONIC, &next);
            while (!stop) {
                stream.send(profile, to);
                advance(next, kNsPerS / rig.frequency);
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            }
            close(stream.fd);
        });
    sleepFor(kWarmUpS);
    const RunFigures r = measureWindow(receiver, rig, baseThreads + 1, windowS);
    stop = true;
    for (std::thread& sender : senders)
        sender.join();
    return r;
}

// The latest deadline within kCoalesceS of the earliest.
long long coalescedWakeUp(const std::vector<long long>& due) {
    const long long earliest = *std::min_element(due.begin(), due.end());
    long long wakeUp = earliest;
    for (long long d : due)
        if (d <= earliest + (long long)(kCoalesceS * 1e9))
            wakeUp = std::max(wakeUp, d);
    return wakeUp;
}

// One thread for all streams, their phases spread at random over a period.
RunFigures runOneThreadReference(const RigShape& rig, int baseThreads, double windowS) {
    Receiver receiver(false, kReceiverPoll);
    const ProfileSnapshot profile = snapshotOf(kPoints);
    const sockaddr_in to = loopback(receiver.port());
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        const long periodNs = kNsPerS / rig.frequency;
        std::vector<ReferenceStream> streams;
        streams.reserve(size_t(rig.size));
        std::vector<long long> due;
        std::mt19937 random(rig.size);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        for (int k = 1; k <= rig.size; ++k) {
            streams.emplace_back(k);
            due.push_back(nanosOf(now) + std::uniform_int_distribution<long>(0, periodNs - 1)(random));
        }
        while (!stop) {
            const timespec wakeUp = timespecOf(coalescedWakeUp(due));
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wakeUp, nullptr);
            clock_gettime(CLOCK_MONOTONIC, &now);
            for (size_t i = 0; i < streams.size(); ++i)
                if (due[i] <= nanosOf(now)) {
                    streams[i].send(profile, to);
                    due[i] += periodNs;
                }
        }
        for (const ReferenceStream& stream : streams)
            close(stream.fd);
    });
    sleepFor(kWarmUpS);
    const RunFigures r = measureWindow(receiver, rig, baseThreads + 1, windowS);
    stop = true;
    sender.join();
    return r;
}

double ratio(double a, double b) { return b > 0 ? a / b : 0; }

void printComparison(const char* label, const RunFigures& e, const RunFigures& r) {
    std::printf("  %-11s CPU %6.1f%% / %6.1f%% = %5.2f   csw/dgram %5.3f / %5.3f = %5.2f   threads %4d / %4d   "
                "rate err %7.4f%% / %7.4f%%   worst p99 %6.3f / %6.3f ms = %5.2f   silent %d / %d\n",
                label, e.cpu * 100, r.cpu * 100, ratio(e.cpu, r.cpu), e.switchesPerDatagram, r.switchesPerDatagram,
                ratio(e.switchesPerDatagram, r.switchesPerDatagram), e.threads, r.threads, e.worstRateError * 100,
                r.worstRateError * 100, e.worstP99Ms, r.worstP99Ms, ratio(e.worstP99Ms, r.worstP99Ms), e.silent,
                r.silent);
}

void runStreamingRig(const RigShape& rig, int baseThreads, double windowS) {
    const double loadBefore = loadAverage();
    const RunFigures emulator = runEmulator(rig, baseThreads, windowS);
    const RunFigures oneThread = runOneThreadReference(rig, baseThreads, windowS);
    std::printf("%4d scanners at %d Hz (load average %.1f to %.1f)\n", rig.size, rig.frequency, loadBefore,
                loadAverage());
    printComparison("one thread", emulator, oneThread);
    if (rig.size <= kPerStreamThreadsUpTo)
        printComparison("per stream", emulator, runPerStreamReference(rig, baseThreads, windowS));
    std::fflush(stdout);
}

// A socket for the hellos that nobody reads.
struct HelloSink {
    HelloSink() { fd = openLoopbackReceiver(4096, port); }
    ~HelloSink() { close(fd); }
    int fd;
    uint16_t port = 0;
};

// Streams off, no client: what wakes the process is the engine's own doing.
void runIdleRig() {
    HelloSink hellos;
    Engine engine;
    auto rig = startRig(engine, kIdleRig, kIdleFrequency, 0, hellos.port);
    sleepFor(kIdleSettleS);
    const long before = liveThreadsContextSwitches();
    sleepFor(kIdleWindowS);
    const long switches = liveThreadsContextSwitches() - before;
    std::printf("idle rig of %d scanners (streams off, no client): %.1f context switches/s over %.0f s\n", kIdleRig,
                switches / kIdleWindowS, kIdleWindowS);
    std::fflush(stdout);
    stopRig(rig);
}

void runRssRig() {
    HelloSink hellos;
    Receiver receiver(false, kReceiverPoll);
    Engine engine;
    const double before = vmRssMb();
    auto rig = startRig(engine, kRssRig, kRssFrequency, 0, hellos.port);
    sleepFor(kRssSettleS);
    const double idle = vmRssMb();
    for (auto& scanner : rig)
        scanner->params().update([&](USER_PARAMS& p) {
            p.udp_port_u16 = receiver.port();
            p.wUDP = 1;
        });
    sleepFor(kRssSettleS);
    const double streaming = vmRssMb();
    std::printf("RSS of %d started scanners: %.3f MB each idle, %.3f MB each streaming at %d Hz (%.1f MB before)\n",
                kRssRig, (idle - before) / kRssRig, (streaming - before) / kRssRig, kRssFrequency, before);
    std::fflush(stdout);
    stopRig(rig);
}

// "N@HZ"; a zero size when the text is not one.
RigShape rigShapeOf(const char* text) {
    RigShape rig{0, 0};
    if (std::sscanf(text, "%d@%d", &rig.size, &rig.frequency) != 2 || rig.size < 1 || rig.size > 254 ||
        rig.frequency < 1)
        rig.size = 0;
    return rig;
}

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    double windowS = kDefaultWindowS;
    std::vector<std::string> rigs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--window") == 0 && i + 1 < argc)
            windowS = std::atof(argv[++i]);
        else
            rigs.push_back(argv[i]);
    }
    if (rigs.empty())
        rigs = {"rss", "idle", "1@491", "16@491", "64@491", "128@491", "254@249", "254@491"};
    std::printf("rigs streaming %d points, %.1f s windows; each figure emulator / reference (= ratio)\n", kPoints,
                windowS);
    const int baseThreads = threadCount();
    for (const std::string& name : rigs) {
        if (name == "rss") {
            runRssRig();
        } else if (name == "idle") {
            runIdleRig();
        } else if (const RigShape rig = rigShapeOf(name.c_str()); rig.size > 0) {
            runStreamingRig(rig, baseThreads, windowS);
        } else {
            std::fprintf(stderr, "usage: rig_bench [--window SECONDS] [N@HZ | idle | rss]...\n");
            return 2;
        }
    }
    return 0;
}

// Rigs of 1, 16, 64 and 128 scanners on one engine in this process, each
// streaming 1280 points at 491 Hz from 127.0.0.k, against a plain reference
// sender run right after in the same program (one thread per stream sleeping
// to an absolute schedule and calling sendto). A receiving thread, left out
// of every figure, takes kernel time stamps. Per rig: CPU, context switches
// per datagram, threads, the worst scanner's rate error (least-squares fit of
// arrival time on packet counter) and the worst scanner's lateness p99
// against its fitted schedule, each beside the reference's and as a ratio.
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
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kPoints = 1280;
constexpr int kFrequency = 491;
constexpr double kPeriodS = 1.0 / kFrequency;
constexpr double kWarmUpS = 1.0;
constexpr double kWindowS = 10.0;

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

int threadCount() { return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); }

using Receiver = LoopbackReceiver;

struct StreamFigures {
    double rateError = 0;  // relative, from the fitted period
    double p99LatenessMs = 0;
};

// Least squares of arrival time on the unwrapped packet counter; lateness is
// the distance above the fitted schedule, the earliest arrival taken as on time.
StreamFigures figuresOf(const std::vector<Receiver::Arrival>& arrivals) {
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
    f.rateError = std::abs(period - kPeriodS) / kPeriodS;
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

// Measures one window of whatever sends to `receiver` now.
RunFigures measureWindow(Receiver& receiver, int streams, int baseThreads) {
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpS));
    RunFigures r;
    r.threads = threadCount() - baseThreads;
    const ThreadUse receiverBefore = receiver.use();
    const double cpuBefore = processCpuSeconds();
    const long switchesBefore = processContextSwitches();
    const uint64_t datagramsBefore = receiver.datagrams();
    receiver.record(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(kWindowS));
    receiver.record(false);
    const ThreadUse receiverAfter = receiver.use();
    r.cpu = (processCpuSeconds() - cpuBefore - (receiverAfter.cpu - receiverBefore.cpu)) / kWindowS;
    const double datagrams = double(receiver.datagrams() - datagramsBefore);
    r.switchesPerDatagram =
        (processContextSwitches() - switchesBefore - (receiverAfter.switches - receiverBefore.switches)) /
        std::max(datagrams, 1.0);
    const auto arrivals = receiver.take();
    r.silent = streams - int(arrivals.size());
    for (const auto& stream : arrivals) {
        const StreamFigures f = figuresOf(stream.second);
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

RunFigures runEmulator(int size, int baseThreads) {
    Receiver receiver(false);
    const int receiverThreads = 1;
    Engine engine;
    std::vector<std::unique_ptr<Scanner>> rig;
    for (int k = 1; k <= size; ++k) {
        auto scanner = std::make_unique<Scanner>(engine);
        ScannerSettings settings = scanner->settings();
        settings.localAddress = QStringLiteral("127.0.0.%1").arg(k);
        settings.sendFromLocalAddress = true;
        settings.helloPort = receiver.port();  // hellos are told apart by their size
        scanner->applySettings(settings);
        scanner->params().update([&](USER_PARAMS& p) {
            p.tcp_port_u16 = 0;
            p.udp_port_u16 = receiver.port();
        });
        scanner->setFrequency(kFrequency);
        scanner->profile().replace(profileOf(kPoints));
        scanner->start();
        rig.push_back(std::move(scanner));
    }
    const RunFigures r = measureWindow(receiver, size, baseThreads + receiverThreads);
    for (auto& scanner : rig)
        scanner->stop();
    return r;
}

// The reference: per stream a thread that sleeps to an absolute schedule and sends.
RunFigures runReference(int size, int baseThreads) {
    Receiver receiver(false);
    ProfileSnapshot profile;
    for (const ProfilePoint& p : profileOf(kPoints)) {
        profile.x.push_back(p.x);
        profile.z.push_back(p.z);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int k = 1; k <= size; ++k)
        senders.emplace_back([&, k] {
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in from = loopback(0);
            from.sin_addr.s_addr = htonl((127u << 24) | uint32_t(k));
            bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
            const sockaddr_in to = loopback(receiver.port());
            PacketFields fields;
            QByteArray datagram;
            timespec next{};
            clock_gettime(CLOCK_MONOTONIC, &next);
            for (uint32_t counter = 0; !stop; ++counter) {
                fields.packetCounter = counter;
                encodeProfilePacket(profile, fields, datagram);
                sendto(fd, datagram.constData(), size_t(datagram.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to);
                next.tv_nsec += long(kPeriodS * 1e9);
                if (next.tv_nsec >= 1000000000L) {
                    next.tv_nsec -= 1000000000L;
                    ++next.tv_sec;
                }
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            }
            close(fd);
        });
    const RunFigures r = measureWindow(receiver, size, baseThreads + 1);
    stop = true;
    for (std::thread& sender : senders)
        sender.join();
    return r;
}

double ratio(double a, double b) { return b > 0 ? a / b : 0; }

void printRow(int size, const RunFigures& e, const RunFigures& r) {
    std::printf("%5d  CPU %6.1f%% / %6.1f%% = %5.2f   csw/dgram %5.2f / %5.2f = %5.2f   threads %4d / %4d   "
                "rate err %7.4f%% / %7.4f%%   worst p99 %7.3f / %7.3f ms = %5.2f   silent %d / %d\n",
                size, e.cpu * 100, r.cpu * 100, ratio(e.cpu, r.cpu), e.switchesPerDatagram, r.switchesPerDatagram,
                ratio(e.switchesPerDatagram, r.switchesPerDatagram), e.threads, r.threads, e.worstRateError * 100,
                r.worstRateError * 100, e.worstP99Ms, r.worstP99Ms, ratio(e.worstP99Ms, r.worstP99Ms), e.silent,
                r.silent);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    std::printf("rigs streaming %d points at %d Hz, %.0f s windows; each figure emulator / reference (= ratio)\n",
                kPoints, kFrequency, kWindowS);
    std::vector<int> sizes{1, 16, 64, 128};
    if (argc > 1)
        sizes = {std::atoi(argv[1])};
    const int baseThreads = threadCount();
    for (int size : sizes) {
        const RunFigures emulator = runEmulator(size, baseThreads);
        const RunFigures reference = runReference(size, baseThreads);
        printRow(size, emulator, reference);
    }
    return 0;
}

// Runs rigs of 1, 4, 16 and 64 scanners in this process, each streaming 1280
// points at 491 Hz from 127.0.0.k to one receiver, and prints per rig size the
// process CPU, the thread count, the worst rate error of any scanner and the
// p99 and worst lateness of its datagrams against an exact schedule.
#include "scanner/Scanner.h"
#include "../support/LoopbackSockets.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPoints = 1280;
constexpr int kFrequency = 491;
constexpr double kPeriodS = 1.0 / kFrequency;
constexpr double kWarmUpS = 1.0;
constexpr double kMeasureS = 4.0;

double seconds(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

int threadCount() { return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); }

// Arrival times per source address, taken on a thread of its own.
class Receiver {
public:
    Receiver() {
        fd_ = openLoopbackReceiver(64 << 20, port_);
        thread_ = std::thread([this] { receive(); });
    }
    ~Receiver() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }
    void record(bool on) { recording_ = on; }
    // Only after the receiving has been switched off.
    const std::map<uint32_t, std::vector<double>>& arrivals() const { return arrivals_; }

private:
    void receive() {
        std::vector<char> buffer(65536);
        while (!stop_) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n > kHelloPacketSize && recording_)  // profile datagrams only
                arrivals_[ntohl(from.sin_addr.s_addr)].push_back(seconds(Clock::now()));
        }
    }

    int fd_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> recording_{false};
    std::map<uint32_t, std::vector<double>> arrivals_;
    std::thread thread_;
};

std::vector<ProfilePoint> profileOf(int n) {
    std::vector<ProfilePoint> points;
    for (int i = 0; i < n; ++i)
        points.push_back({static_cast<int16_t>(i * 12 - 7680), static_cast<uint16_t>(4000 + i % 300)});
    return points;
}

struct ScannerFigures {
    double rateError = 0;  // relative
    std::vector<double> lateness;
};

// Lateness against the schedule that starts with the earliest arrival
// relative to an exact period: arrival - (t0 + n * period), shifted so the
// earliest is 0.
ScannerFigures figuresOf(const std::vector<double>& times) {
    ScannerFigures f;
    if (times.size() < 2)
        return f;
    const double rate = (times.size() - 1) / (times.back() - times.front());
    f.rateError = std::abs(rate - kFrequency) / kFrequency;
    double earliest = 1e9;
    for (size_t n = 0; n < times.size(); ++n)
        earliest = std::min(earliest, times[n] - n * kPeriodS);
    for (size_t n = 0; n < times.size(); ++n)
        f.lateness.push_back(times[n] - n * kPeriodS - earliest);
    return f;
}

void runRig(int size) {
    Receiver receiver;
    std::vector<std::unique_ptr<Scanner>> rig;
    for (int k = 1; k <= size; ++k) {
        auto scanner = std::make_unique<Scanner>();
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
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpS));
    const int threads = threadCount();
    const double cpuBefore = processCpuSeconds();
    receiver.record(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(kMeasureS));
    receiver.record(false);
    const double cpu = (processCpuSeconds() - cpuBefore) / kMeasureS;
    for (auto& scanner : rig)
        scanner->stop();

    double worstRateError = 0;
    std::vector<double> lateness;
    int silent = size - int(receiver.arrivals().size());
    for (const auto& [address, times] : receiver.arrivals()) {
        const ScannerFigures f = figuresOf(times);
        worstRateError = std::max(worstRateError, f.rateError);
        lateness.insert(lateness.end(), f.lateness.begin(), f.lateness.end());
    }
    std::sort(lateness.begin(), lateness.end());
    const double p99 = lateness.empty() ? 0 : lateness[size_t(lateness.size() * 0.99)];
    const double worst = lateness.empty() ? 0 : lateness.back();
    std::printf("%8d %10.0f %8d %16.4f %12.2f %12.2f %8d\n", size, cpu * 100, threads, worstRateError * 100, p99 * 1e3,
                worst * 1e3, silent);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    std::printf("rigs streaming %d points at %d Hz, %.0f s each\n", kPoints, kFrequency, kMeasureS);
    std::printf("%8s %10s %8s %16s %12s %12s %8s\n", "scanners", "CPU %", "threads", "worst rate err %",
                "p99 late ms", "worst ms", "silent");
    for (int size : {1, 4, 16, 64})
        runRig(size);
    return 0;
}

// Three scanners on one engine in this process. Scanner 1 is attacked by its
// own client (or plays a heavy scene); meanwhile scanner 2's client times
// read-params round trips one after another, and scanner 3 streams at
// kFrequency from 127.0.0.3 to a receiving thread. Per attack: scanner 2's
// round trip p50, p99 and worst, and scanner 3's largest gap between
// datagrams in periods, each beside the quiet rig's figure (= ratio).
//
// Attacks: a burst of 2048 flushes in one send; 2048 results asked at 0 Hz
// over a scene of 1000 objects all in view; that scene streamed at
// 65535 Hz; a pipelined read-params flood.
// Goals: p99 <= 10 ms, worst <= 50 ms, largest gap <= 3 periods.
#include "scanner/Engine.h"
#include "scanner/Scanner.h"
#include "scene/Scene.h"
#include "scene/SceneGeometry.h"
#include "tcp/Replies.h"
#include "tcp/RequestHeader.h"
#include "../support/LoopbackReceiver.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrequency = 400;
constexpr int kPoints = 1280;
constexpr double kPeriodS = 1.0 / kFrequency;
constexpr int kBurst = 2048;
constexpr int kSceneObjects = 1000;
constexpr uint16_t kUnpacedHz = 65535;
constexpr double kWindowS = 4.0;
constexpr auto kRoundTripSpacing = std::chrono::milliseconds(2);
constexpr uint32_t kGetResult = 1;
constexpr uint32_t kReadParams = 4;
constexpr uint32_t kWriteParams = 5;
constexpr uint32_t kFlushParams = 6;

// 1000 objects across the whole range, one over the other, all under the
// laser at once: every point of a profile meets every object.
QByteArray sceneJson() {
    QString objects;
    for (int i = 0; i < kSceneObjects; ++i) {
        const QString object =
            i % 2 ? QStringLiteral(R"({"kind": "cylinder", "x": 0, "y": 0, "length": 1000, "diameter": %1})").arg(1 + 0.1 * i)
                  : QStringLiteral(R"({"kind": "box", "x": 0, "y": 0, "length": 1000, "width": %1, "height": %2})")
                        .arg(70 - 0.06 * i)
                        .arg(1 + 0.1 * i);
        objects += (i ? "," : "") + object;
    }
    return QStringLiteral(R"({"belt": {"speed": 250, "z": 20, "loopLength": 1000}, "loop": true,
        "scanner": {"xemr": 70, "zdiap": 170, "cameraAngle": 20},
        "noise": {"sigma": 0.05, "dropout": 0.01, "spikes": 0.001, "spikeHeight": 3}, "objects": [%1]})")
        .arg(objects)
        .toUtf8();
}

double msOfOneRender(const QByteArray& json) {
    const SceneParse parse = parseScene(json, QStringLiteral("bench"));
    if (!parse.ok())
        qFatal("%s", qPrintable(messageOf(parse.failure)));
    const SceneSampling sampling{kPoints, 1000.0 / kFrequency, 70, 170};
    ProfileSnapshot out;
    constexpr int kRenders = 20;
    const Clock::time_point start = Clock::now();
    for (int m = 0; m < kRenders; ++m)
        renderScene(parse.scene, sampling, uint64_t(m), out);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kRenders;
}

// A blocking client of scanner k's command server, on 127.0.0.k.
class Client {
public:
    Client(int k, Scanner& scanner) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        const uint16_t port = scanner.listeningPort();
        sockaddr_in to = loopback(port);
        to.sin_addr.s_addr = htonl((127u << 24) | uint32_t(k));
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            qFatal("cannot connect to port %u", port);
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval timeout{0, 200000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~Client() { close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void send(const QByteArray& bytes) {
        for (qint64 done = 0; done < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += n;
        }
    }
    // False when the server fell silent for the time-out first.
    bool receive(size_t size) {
        for (size_t done = 0; done < size;) {
            const ssize_t n = recv(fd_, buffer_, std::min(sizeof buffer_, size - done), 0);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }
    // Takes whatever comes until `stop`.
    void drain(const std::atomic<bool>& stop) {
        while (!stop)
            recv(fd_, buffer_, sizeof buffer_, 0);
    }

private:
    int fd_;
    char buffer_[1 << 16];
};

std::vector<ProfilePoint> profileOf(int n) {
    std::vector<ProfilePoint> points;
    for (int i = 0; i < n; ++i)
        points.push_back({static_cast<int16_t>(i * 12 - 7680), static_cast<uint16_t>(4000 + i % 300)});
    return points;
}

struct Rig {
    Rig(LoopbackReceiver& receiver, uint16_t sinkPort) {
        for (int k = 1; k <= 3; ++k) {
            auto scanner = std::make_unique<Scanner>(engine);
            ScannerSettings settings = scanner->settings();
            settings.localAddress = QStringLiteral("127.0.0.%1").arg(k);
            settings.sendFromLocalAddress = true;
            settings.helloPort = sinkPort;
            scanner->applySettings(settings);
            scanner->params().update([&](USER_PARAMS& p) {
                p.tcp_port_u16 = 0;
                p.udp_port_u16 = k == 3 ? receiver.port() : sinkPort;
                p.wUDP = 1;
            });
            scanner->setFrequency(kFrequency);
            scanner->profile().replace(profileOf(kPoints));
            scanners.push_back(std::move(scanner));
        }
    }
    void start() {
        for (auto& scanner : scanners)
            scanner->start();
        for (auto& scanner : scanners)
            while (scanner->listeningPort() == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Rig() {
        for (auto& scanner : scanners)
            scanner->stop();
    }
    Scanner& operator[](int k) { return *scanners[size_t(k - 1)]; }

    Engine engine;
    std::vector<std::unique_ptr<Scanner>> scanners;
};

struct Figures {
    double p50Ms = 0, p99Ms = 0, worstMs = 0;
    int roundTrips = 0, unanswered = 0;
    double largestGapPeriods = 0;
    size_t datagrams = 0;
};

QByteArray recordWithRate(Scanner& scanner, uint16_t frequency) {
    USER_PARAMS record = scanner.params().snapshot();
    record.udp_frequency_u16 = frequency;
    return encodeRequest(kWriteParams, paramsImage(record));
}

// What scanner 1's client does while the window lasts; `stop` ends it.
using Attack = std::function<void(Rig& rig, const std::atomic<bool>& stop)>;

QByteArray burstOf(uint32_t command) {
    QByteArray burst;
    for (int i = 0; i < kBurst; ++i)
        burst += encodeRequest(command);
    return burst;
}

// Scanner 1's client sends `requests` in one go and takes the replies.
void sendAtOnce(Rig& rig, const QByteArray& requests, const std::atomic<bool>& stop) {
    Client attacker(1, rig[1]);
    attacker.send(requests);
    attacker.drain(stop);
}

void flushBurst(Rig& rig, const std::atomic<bool>& stop) { sendAtOnce(rig, burstOf(kFlushParams), stop); }

void resultsAtZeroHz(Rig& rig, const std::atomic<bool>& stop) {
    sendAtOnce(rig, recordWithRate(rig[1], 0) + burstOf(kGetResult), stop);
}

// The client leaves: the stream resumes, unpaced.
void sceneUnpaced(Rig& rig, const std::atomic<bool>& stop) {
    {
        Client attacker(1, rig[1]);
        attacker.send(recordWithRate(rig[1], kUnpacedHz));
        attacker.receive(2);
    }
    while (!stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void readFlood(Rig& rig, const std::atomic<bool>& stop) {
    Client attacker(1, rig[1]);
    const QByteArray burst = burstOf(kReadParams);
    std::thread reader([&] { attacker.drain(stop); });
    while (!stop)
        attacker.send(burst);
    reader.join();
}

double percentile(std::vector<double>& sorted, double p) {
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, size_t(double(sorted.size()) * p))];
}

Figures run(const Attack& attack, const QString& scenePath, const QString& paramsPath) {
    LoopbackReceiver receiver(false);
    uint16_t sinkPort = 0;
    const int sink = openLoopbackReceiver(1 << 16, sinkPort);  // never read: scanner 1's stream is dropped there
    Rig rig(receiver, sinkPort);
    rig[1].setFlushSaver([&] { return rig[1].saveParams(paramsPath); });
    if (!scenePath.isEmpty())
        if (const MaybeFailure failure = rig[1].loadScene(scenePath))
            qFatal("%s", qPrintable(failure->message));
    rig.start();
    Client timed(2, rig[2]);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::atomic<bool> stop{false};
    std::thread attacker;
    if (attack)
        attacker = std::thread([&] { attack(rig, stop); });
    receiver.record(true);
    std::vector<double> roundTrips;
    Figures f;
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kWindowS));
    const QByteArray request = encodeRequest(kReadParams);
    while (Clock::now() < end) {
        const Clock::time_point sent = Clock::now();
        timed.send(request);
        if (!timed.receive(kUserParamsSize)) {
            ++f.unanswered;
            continue;
        }
        roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        std::this_thread::sleep_for(kRoundTripSpacing);
    }
    receiver.record(false);
    stop = true;
    if (attacker.joinable())
        attacker.join();
    close(sink);

    std::sort(roundTrips.begin(), roundTrips.end());
    f.roundTrips = int(roundTrips.size());
    f.p50Ms = percentile(roundTrips, 0.50);
    f.p99Ms = percentile(roundTrips, 0.99);
    f.worstMs = roundTrips.empty() ? 0 : roundTrips.back();
    const auto arrivals = receiver.take();
    const auto third = arrivals.find((127u << 24) | 3u);
    if (third == arrivals.end() || third->second.size() < 2) {
        f.largestGapPeriods = kWindowS / kPeriodS;
        return f;
    }
    const std::vector<LoopbackReceiver::Arrival>& a = third->second;
    f.datagrams = a.size();
    for (size_t i = 1; i < a.size(); ++i)
        f.largestGapPeriods = std::max(f.largestGapPeriods, (a[i].at - a[i - 1].at) / kPeriodS);
    return f;
}

double ratio(double a, double b) { return b > 0 ? a / b : 0; }

void printRow(const char* name, const Figures& f, const Figures& quiet) {
    std::printf("%-22s p50 %7.3f / %6.3f = %6.1f  p99 %8.3f / %6.3f = %6.1f  worst %8.3f / %6.3f = %6.1f ms"
                "  (%d trips, %d unanswered)  largest gap %6.2f / %5.2f periods = %5.1f  (%zu datagrams)\n",
                name, f.p50Ms, quiet.p50Ms, ratio(f.p50Ms, quiet.p50Ms), f.p99Ms, quiet.p99Ms,
                ratio(f.p99Ms, quiet.p99Ms), f.worstMs, quiet.worstMs, ratio(f.worstMs, quiet.worstMs), f.roundTrips,
                f.unanswered, f.largestGapPeriods, quiet.largestGapPeriods,
                ratio(f.largestGapPeriods, quiet.largestGapPeriods), f.datagrams);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString scenePath = dir.filePath(QStringLiteral("thousand.json"));
    const QByteArray json = sceneJson();
    QFile scene(scenePath);
    if (!scene.open(QIODevice::WriteOnly) || scene.write(json) != json.size())
        qFatal("cannot write %s", qPrintable(scenePath));
    scene.close();
    const QString paramsPath = dir.filePath(QStringLiteral("user_params.ini"));

    std::printf("3 scanners on one engine; scanner 1 attacked, scanner 2 timed (read params every %lld ms), "
                "scanner 3 streaming at %d Hz; %.0f s windows; attacked / quiet (= ratio)\n",
                static_cast<long long>(kRoundTripSpacing.count()), kFrequency, kWindowS);
    std::printf("one profile of the %d-object scene: %.3f ms\n", kSceneObjects, msOfOneRender(json));
    std::printf("goals: p99 <= 10 ms, worst <= 50 ms, largest gap <= 3 periods\n");
    const Figures quiet = run({}, QString(), paramsPath);
    printRow("quiet", quiet, quiet);
    printRow("flush burst", run(flushBurst, QString(), paramsPath), quiet);
    printRow("0 Hz results, scene", run(resultsAtZeroHz, scenePath, paramsPath), quiet);
    printRow("65535 Hz scene", run(sceneUnpaced, scenePath, paramsPath), quiet);
    printRow("read flood", run(readFlood, QString(), paramsPath), quiet);
    return 0;
}

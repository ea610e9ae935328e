// Replays a ~1 GB capture (Ethernet, every 1280-point datagram in four
// fragments) and prints the time to the first frame, the peak RSS while
// replaying, the reader's frames/s, the longest wait of a caller at 491 Hz and
// the stream of a scanner replaying it at 491 Hz (rate error, worst gap).
//   capture_replay_bench [megabytes]   (default 1024; the file goes to /tmp and is deleted)
#include "capture/CaptureProfileSource.h"
#include "capture/CaptureReader.h"
#include "scanner/Scanner.h"
#include "udp/ProfilePacket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QUdpSocket>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <pcap/pcap.h>
#include <string>
#include <thread>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/udp.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPoints = 1280;
constexpr size_t kFragmentPayload = 1480;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

long statusKilobytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(std::string(key).size()));
    return -1;
}

void resetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

QByteArray datagram(int measurement) {
    ProfileSnapshot profile;
    for (int i = 0; i < kPoints; ++i) {
        profile.x.push_back(int16_t(i * 12 - 7680));
        profile.z.push_back(uint16_t(4000 + (i + measurement) % 500));
    }
    PacketFields fields;
    fields.measurementCounter = uint32_t(measurement);
    fields.xemr = 70;
    fields.zdiap = 170;
    QByteArray bytes;
    encodeProfilePacket(profile, fields, bytes);
    return bytes;
}

// Ethernet frames of one datagram cut into fragments.
std::vector<std::vector<uint8_t>> frames(const QByteArray& payload, uint16_t id) {
    Tins::IP whole = Tins::IP("127.0.0.1", "127.0.0.2") / Tins::UDP(6003, 40000) /
                     Tins::RawPDU(reinterpret_cast<const uint8_t*>(payload.constData()), uint32_t(payload.size()));
    const std::vector<uint8_t> bytes = whole.serialize();
    const size_t header = whole.header_size(), body = bytes.size() - header;
    std::vector<std::vector<uint8_t>> out;
    for (size_t offset = 0; offset < body; offset += kFragmentPayload) {
        const size_t size = std::min(kFragmentPayload, body - offset);
        Tins::IP fragment = Tins::IP("127.0.0.1", "127.0.0.2") / Tins::RawPDU(bytes.data() + header + offset, uint32_t(size));
        fragment.protocol(17);
        fragment.id(id);
        fragment.fragment_offset(uint16_t(offset / 8));
        fragment.flags(offset + size < body ? Tins::IP::MORE_FRAGMENTS : Tins::IP::Flags(0));
        std::vector<uint8_t> frame{0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 2, 0x08, 0x00};
        const std::vector<uint8_t> ip = fragment.serialize();
        frame.insert(frame.end(), ip.begin(), ip.end());
        out.push_back(std::move(frame));
    }
    return out;
}

long long writeCapture(const QString& path, long long bytes) {
    pcap_t* pcap = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(pcap, QFile::encodeName(path).constData());
    std::vector<std::vector<std::vector<uint8_t>>> variants;
    for (int v = 0; v < 64; ++v)
        variants.push_back(frames(datagram(v), uint16_t(v)));
    long long written = 0, datagrams = 0;
    for (; written < bytes; ++datagrams)
        for (const std::vector<uint8_t>& frame : variants[size_t(datagrams % 64)]) {
            pcap_pkthdr header{};
            header.ts.tv_sec = time_t(1700000000 + datagrams / 491);
            header.ts.tv_usec = suseconds_t(datagrams % 491 * 2036);
            header.caplen = header.len = bpf_u_int32(frame.size());
            pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
            written += 16 + static_cast<long long>(frame.size());
        }
    pcap_dump_close(dumper);
    pcap_close(pcap);
    return datagrams;
}

// A scanner streaming the capture at 491 Hz, as px310-headless --replay does:
// whether the stream keeps its rate while the source reads the file.
void streamTiming(const QString& path, int seconds) {
    constexpr int kRate = 491;
    QUdpSocket receiver;
    receiver.bind(QHostAddress(QHostAddress::LocalHost), 0);
    receiver.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 8 << 20);
    Scanner scanner;
    scanner.params().update([&](USER_PARAMS& p) {
        p.tcp_port_u16 = 0;
        p.udp_port_u16 = receiver.localPort();
    });
    scanner.setFrequency(kRate);
    if (const MaybeFailure failure = scanner.replay(path, Playback::Loop)) {
        std::printf("scanner cannot replay: %s\n", qPrintable(failure->message));
        return;
    }
    scanner.start();
    std::vector<Clock::time_point> arrivals;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end)
        if (receiver.waitForReadyRead(100))
            while (receiver.hasPendingDatagrams()) {
                receiver.readDatagram(nullptr, 0);
                arrivals.push_back(Clock::now());
            }
    scanner.stop();
    if (arrivals.size() < 2) {
        std::printf("scanner stream: %zu datagrams\n", arrivals.size());
        return;
    }
    double worstGap = 0;
    for (size_t i = 1; i < arrivals.size(); ++i)
        worstGap = std::max(worstGap, std::chrono::duration<double>(arrivals[i] - arrivals[i - 1]).count());
    const double rate = double(arrivals.size() - 1) /
                        std::chrono::duration<double>(arrivals.back() - arrivals.front()).count();
    std::printf("scanner stream replaying it at %d Hz for %d s: %.1f Hz (%+.2f %%), worst gap %.2f ms\n", kRate,
                seconds, rate, (rate - kRate) * 100.0 / kRate, worstGap * 1000);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 1024;
    const QString path = QDir::tempPath() + QStringLiteral("/px310_replay_bench_%1.pcap").arg(getpid());
    Clock::time_point start = Clock::now();
    const long long datagrams = writeCapture(path, megabytes * 1024 * 1024);
    std::printf("capture: %lld MiB, %lld datagrams of %d points (4 fragments each), written in %.1f s\n",
                (long long)(QFile(path).size() >> 20), datagrams, kPoints, secondsSince(start));

    resetPeakRss();
    std::printf("RSS before replay: %ld kB\n", statusKilobytes("VmRSS:"));
    start = Clock::now();
    auto opened = CaptureProfileSource::open(path, {}, Playback::Loop);
    ProfileSnapshot out;
    if (!opened.ok()) {
        std::printf("cannot open: %s\n", qPrintable(opened.failure().message));
        return 1;
    }
    std::unique_ptr<CaptureProfileSource> source = std::move(*opened);
    source->copyProfile(1, out, kMaxPacketPoints);
    std::printf("time to first frame: %.2f ms\n", secondsSince(start) * 1000);

    // A caller at 491 Hz for three seconds: the longest it waited for a frame.
    double longestWait = 0;
    uint64_t n = 1;
    for (Clock::time_point next = Clock::now(), end = next + std::chrono::seconds(3); next < end;
         next += std::chrono::microseconds(2036), ++n) {
        std::this_thread::sleep_until(next);
        const Clock::time_point asked = Clock::now();
        source->copyProfile(n, out, kMaxPacketPoints);
        longestWait = std::max(longestWait, secondsSince(asked));
    }
    std::printf("paced at 491 Hz: %llu frames, longest wait %.3f ms\n", (unsigned long long)n - 1, longestWait * 1000);

    // As fast as the source gives frames, through the whole file and past its end.
    start = Clock::now();
    for (; source->frameCount() < 0 || n <= uint64_t(source->frameCount()); ++n)
        source->copyProfile(n, out, kMaxPacketPoints);
    const double pass = secondsSince(start);
    std::printf("source, unpaced to the end: %.0f frames/s (%.1f s); frames %lld\n", double(n) / pass, pass,
                source->frameCount());
    start = Clock::now();
    source->copyProfile(n, out, kMaxPacketPoints);  // the loop starts over: the file is read again from its start
    std::printf("loop back to frame 1: %.2f ms (frame has %d points)\n", secondsSince(start) * 1000, out.count());
    std::printf("peak RSS while replaying: %ld kB\n", statusKilobytes("VmHWM:"));
    source.reset();
    streamTiming(path, 5);

    CaptureReader reader;
    CapturedProfile frame;
    reader.open(path);
    long long frames = 0;
    start = Clock::now();
    while (reader.next(frame))
        ++frames;
    const double readSeconds = secondsSince(start);
    std::printf("reader alone: %.0f frames/s, %.0f MiB/s; %s\n", double(frames) / readSeconds,
                double(megabytes) / readSeconds, qPrintable(reader.summary()));
    QFile::remove(path);
    return 0;
}

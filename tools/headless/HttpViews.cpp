#include "HttpViews.h"

#include "control/ControlStats.h"
#include "scanner/Scanner.h"
#include "scene/SceneGeometry.h"
#include "udp/ProfilePacketDecoder.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <algorithm>
#include <cmath>

namespace {

// Hundredths of a millimetre are finer than any screen shows.
double roundedMm(double mm) { return std::round(mm * 100.0) / 100.0; }

QJsonObject profileJson(const Scanner& scanner, CardProfile profile) {
    ProfileSnapshot frame;
    scanner.copyStreamedFrame(frame);
    const ScannerSettings settings = scanner.settings();
    const int step = profile == CardProfile::Thumbnail ? (frame.count() + kThumbnailPoints - 1) / kThumbnailPoints : 1;
    QJsonArray x;
    QJsonArray z;
    for (int i = 0; i < frame.count(); i += std::max(step, 1)) {
        x.append(roundedMm(unitsToMillimetres(frame.x[size_t(i)], settings.xemr)));
        z.append(roundedMm(unitsToMillimetres(frame.z[size_t(i)], settings.zdiap)));
    }
    return {{QStringLiteral("x"), x},
            {QStringLiteral("z"), z},
            {QStringLiteral("x_range"), settings.xemr},
            {QStringLiteral("z_range"), settings.zdiap}};
}

QString sourceOf(const Scanner& scanner) {
    if (scanner.replayedPath().isEmpty())
        return QStringLiteral("profile");
    return scanner.scene() ? QStringLiteral("scene") : QStringLiteral("replay");
}

// The figures of one scanner that /metrics reports, read once.
struct ScannerFigures {
    QByteArray labels;  // serial="…",address="…"
    FaultCounts counts;
    uint64_t late = 0;
    uint64_t refused = 0;
    uint64_t socketFailures = 0;
    uint32_t measurement = 0;
    int frequency = 0;
    bool outage = false;
};

ScannerFigures figuresOf(const Scanner& scanner) {
    const USER_PARAMS p = scanner.params().snapshot();
    return {"serial=\"" + QByteArray::number(scanner.settings().serial) + "\",address=\"" + scannerKey(scanner) + '"',
            scanner.faultCounters(),
            scanner.latePackets(),
            scanner.refusedSends(),
            scanner.socketFailures(),
            scanner.streamedMeasurement(),
            p.udp_frequency_u16,
            !scanner.isRunning()};
}

struct ScannerSeries {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const ScannerFigures&);
};

const ScannerSeries kScannerSeries[] = {
    {"px310_datagrams_sent_total", "counter", "Stream datagrams that left, copies included.",
     [](const ScannerFigures& f) { return double(f.counts.datagramsSent); }},
    {"px310_late_packets_total", "counter", "Stream packets that left more than a period after their slot.",
     [](const ScannerFigures& f) { return double(f.late); }},
    {"px310_datagrams_refused_total", "counter", "Stream datagrams and hellos the system refused to send.",
     [](const ScannerFigures& f) { return double(f.refused); }},
    {"px310_socket_failures_total", "counter", "Stream and hello sockets the system refused to make or bind.",
     [](const ScannerFigures& f) { return double(f.socketFailures); }},
    {"px310_datagrams_dropped_total", "counter", "Stream datagrams the faults dropped.",
     [](const ScannerFigures& f) { return double(f.counts.lost); }},
    {"px310_datagrams_duplicated_total", "counter", "Stream datagrams the faults sent twice.",
     [](const ScannerFigures& f) { return double(f.counts.duplicated); }},
    {"px310_datagrams_reordered_total", "counter", "Stream datagrams the faults sent out of order.",
     [](const ScannerFigures& f) { return double(f.counts.reordered); }},
    {"px310_datagrams_corrupted_total", "counter", "Stream datagrams the faults corrupted.",
     [](const ScannerFigures& f) { return double(f.counts.corrupted); }},
    {"px310_datagrams_delayed_total", "counter", "Stream datagrams the faults delayed.",
     [](const ScannerFigures& f) { return double(f.counts.delayed); }},
    {"px310_hellos_suppressed_total", "counter", "Hello packets the faults kept back.",
     [](const ScannerFigures& f) { return double(f.counts.hellosSuppressed); }},
    {"px310_replies_cut_total", "counter", "Command replies the faults cut short.",
     [](const ScannerFigures& f) { return double(f.counts.repliesCut); }},
    {"px310_connections_dropped_total", "counter", "Client connections the faults dropped.",
     [](const ScannerFigures& f) { return double(f.counts.connectionsDropped); }},
    {"px310_clients_connected", "gauge", "Command clients connected now.",
     [](const ScannerFigures& f) { return double(f.counts.clientsConnected); }},
    {"px310_outage", "gauge", "1 while the scanner is in an outage (not running).",
     [](const ScannerFigures& f) { return f.outage ? 1.0 : 0.0; }},
    {"px310_measurement", "gauge", "Measurement counter of the last packet streamed.",
     [](const ScannerFigures& f) { return double(f.measurement); }},
    {"px310_profile_rate_hertz", "gauge", "Profiles per second the scanner streams.",
     [](const ScannerFigures& f) { return double(f.frequency); }},
};

void familyHeader(QByteArray& out, const char* name, const char* type, const char* help) {
    out += QByteArrayLiteral("# HELP ") + name + ' ' + help + QByteArrayLiteral("\n# TYPE ") + name + ' ' + type + '\n';
}

void sample(QByteArray& out, const char* name, const QByteArray& labels, double value) {
    out += name;
    if (!labels.isEmpty())
        out += '{' + labels + '}';
    out += ' ' + QByteArray::number(value, 'g', 17) + '\n';
}

// A figure of /proc/self/status such as "Threads:" or "VmRSS:"; 0 when absent.
double procStatus(const QByteArray& key) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith(key))
            return line.mid(key.size()).simplified().split(' ').value(0).toDouble();
    return 0;
}

void processFigures(QByteArray& out) {
    familyHeader(out, "px310_process_threads", "gauge", "Threads of this process.");
    sample(out, "px310_process_threads", {}, procStatus("Threads:"));
    familyHeader(out, "px310_process_open_fds", "gauge", "Open file descriptors of this process.");
    sample(out, "px310_process_open_fds", {},
           double(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size()));
    familyHeader(out, "px310_process_resident_memory_bytes", "gauge", "Resident memory of this process.");
    sample(out, "px310_process_resident_memory_bytes", {}, procStatus("VmRSS:") * 1024.0);
}

void httpFigures(QByteArray& out, const HttpFigures& http) {
    familyHeader(out, "px310_http_event_streams", "gauge", "Pages listening to the live updates.");
    sample(out, "px310_http_event_streams", {}, http.eventStreams);
    familyHeader(out, "px310_http_events_dropped_total", "counter",
                 "Live updates skipped for a page still busy with the last one.");
    sample(out, "px310_http_events_dropped_total", {}, double(http.eventsDropped));
    familyHeader(out, "px310_http_requests_refused_total", "counter", "HTTP requests answered with an error.");
    sample(out, "px310_http_requests_refused_total", {}, double(http.requestsRefused));
}

}  // namespace

QByteArray scannerKey(const Scanner& scanner) {
    const int port = scanner.params().read([](const USER_PARAMS& p) { return int(p.tcp_port_u16); });
    return scanner.settings().localAddress.toUtf8() + ':' + QByteArray::number(port);
}

QJsonObject scannerCardJson(const Scanner& scanner, CardProfile profile) {
    const USER_PARAMS p = scanner.params().snapshot();
    const uint32_t measurement = scanner.streamedMeasurement();
    QJsonObject card{{QStringLiteral("serial"), scanner.settings().serial},
                     {QStringLiteral("address"), scanner.settings().localAddress},
                     {QStringLiteral("tcp_port"), p.tcp_port_u16},
                     {QStringLiteral("frequency"), p.udp_frequency_u16},
                     {QStringLiteral("measurement"), double(measurement)},
                     {QStringLiteral("outage"), !scanner.isRunning()},
                     {QStringLiteral("paused"), scanner.streamPaused()},
                     {QStringLiteral("source"), sourceOf(scanner)},
                     {QStringLiteral("path"), scanner.replayedPath()},
                     // Without the destinations: they ask the machine's interfaces again.
                     {QStringLiteral("stats"), statsJson(scanner)}};
    const RecordingFrame frame = scanner.recordingFrame();
    if (frame.frame > 0) {
        card.insert(QStringLiteral("frame"), double(frame.frame));
        card.insert(QStringLiteral("frames"), double(frame.frames));
    }
    if (const std::shared_ptr<const SceneProfileSource> scene = scanner.scene())
        card.insert(QStringLiteral("truth"), truthJson(scene->truth(measurement)));
    if (profile != CardProfile::None)
        card.insert(QStringLiteral("profile"), profileJson(scanner, profile));
    return card;
}

QByteArray metricsText(const std::vector<const Scanner*>& scanners, const HttpFigures& http) {
    std::vector<ScannerFigures> figures;
    for (const Scanner* scanner : scanners)
        figures.push_back(figuresOf(*scanner));
    QByteArray out;
    for (const ScannerSeries& series : kScannerSeries) {
        familyHeader(out, series.name, series.type, series.help);
        for (const ScannerFigures& f : figures)
            sample(out, series.name, f.labels, series.value(f));
    }
    familyHeader(out, "px310_requests_total", "counter", "Command requests served, by command code.");
    for (const ScannerFigures& f : figures)
        for (const auto& [command, count] : f.counts.requestsByCommand)
            sample(out, "px310_requests_total", f.labels + QByteArrayLiteral(",command=\"") + QByteArray::number(command) + '"',
                   double(count));
    processFigures(out);
    httpFigures(out, http);
    return out;
}

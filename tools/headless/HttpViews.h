#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <cstdint>
#include <vector>

class Scanner;

// What the HTTP front end itself counts, for /metrics.
struct HttpFigures {
    int eventStreams = 0;         // pages listening to the live updates
    uint64_t eventsDropped = 0;   // updates not sent to a page still busy with the last one
    uint64_t requestsRefused = 0; // answered with an error (4xx, 503)
};

// How much of its profile a card carries: a small card's thumbnail is
// thinned to at most kThumbnailPoints points, evenly spread.
enum class CardProfile { None, Thumbnail, Full };
constexpr int kThumbnailPoints = 128;

// One scanner as the page shows it: {"serial", "address", "tcp_port",
//  "frequency", "measurement", "outage", "paused", "source", "path", "frame" and
//  "frames" (a replay at frame k of N, -1 while N is unknown), "stats": the
//  control socket's stats without the destinations, "truth" (a scene's values at the measurement),
//  "profile": {"x": [mm...], "z": [mm...], "x_range", "z_range"} (not with CardProfile::None)}.
QJsonObject scannerCardJson(const Scanner& scanner, CardProfile profile);
// "ADDR:PORT": how the page and the control commands name a scanner.
QByteArray scannerKey(const Scanner& scanner);

// Every scanner's counters and gauges and the process's figures in the
// Prometheus text exposition format (version 0.0.4).
QByteArray metricsText(const std::vector<const Scanner*>& scanners, const HttpFigures& http);

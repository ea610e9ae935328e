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

// One scanner as the page shows it: {"serial", "address", "tcp_port",
//  "frequency", "measurement", "outage", "source", "path", "frame" and
//  "frames" (a replay at frame k of N, -1 while N is unknown), "stats": the
//  control socket's stats without the destinations, "truth" (a scene's values at the measurement),
//  "profile": {"x": [mm...], "z": [mm...]} (only with `withProfile`)}.
QJsonObject scannerCardJson(const Scanner& scanner, bool withProfile);
// "ADDR:PORT": how the page and the control commands name a scanner.
QByteArray scannerKey(const Scanner& scanner);

// Every scanner's counters and gauges and the process's figures in the
// Prometheus text exposition format (version 0.0.4).
QByteArray metricsText(const std::vector<const Scanner*>& scanners, const HttpFigures& http);

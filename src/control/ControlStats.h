#pragma once

#include "faults/FaultCounters.h"
#include "faults/FaultSpec.h"

#include <QJsonObject>
#include <QString>

class Scanner;

// One scanner's stats as the control socket reports them:
// {"datagrams_sent": n, "late_packets": n, "datagrams_refused": n, "socket_failures": n,
//  "faults": {"lost": n, ...}, "requests": {"1": n, ...}, "clients_connected": n, "current_faults": "loss=5%"}
// late_packets: stream packets that left more than a period after their slot.
QJsonObject statsJson(const Scanner& scanner);

// Adds where one scanner's stream and hello go to its stats or its
// listening line: {"stream_to": "loopback" | "record" | "ADDR[:PORT]",
//  "stream_destination": "ADDR:PORT" or "held: why", "destinations_refused": n, "hello_to": "loopback" | "broadcast" |
//  "ADDR", "hello_destinations": ["ADDR:PORT", ...]}
void addDestinations(QJsonObject& json, const Scanner& scanner);
// The answer to stats for one scanner: statsJson() with its destinations and
// "paused": whether the stream is held by a pause command.
QJsonObject scannerStatsJson(const Scanner& scanner);

class RequestJournal;

// {"requests": [{"time": "2026-12-09T14:00:00.123Z", "client": "ADDR:PORT",
//  "command": n, "name": "...", "payload_size": n, "offset": n, "length": n,
//  "digest": "hex" (with a payload), "changed": ["field: old -> new", ...]
//  (write-params)}, ...], "forgotten": n}, oldest first.
QJsonObject journalJson(const RequestJournal& journal);

// An object as one line of compact JSON.
QString jsonLine(const QJsonObject& object);

#pragma once

#include "faults/FaultSpec.h"
#include "log/Failure.h"

#include <QString>
#include <chrono>

// One line of the control protocol, without its line end:
//   [--scanner ADDR] faults SPEC | faults clear | profile FILE.csv | replay PATH
//                    | outage SECONDS | stats | requests | scene FILE.json | truth M
//                    | pause | resume
// ADDR is a scanner's IPv4 address in a rig, ADDR:PORT with its TCP port
// among scanners on one address; without it the command is for the first
// scanner. SECONDS has up to 3 decimals, at most one hour. M is a
// measurement counter (32 bits). FILE and PATH are the rest of the line and
// may hold spaces. pause holds the stream until resume, whatever clients
// connect or leave meanwhile.
struct ControlCommand {
    enum class Kind { Faults, ClearFaults, Profile, Replay, Outage, Stats, Requests, Scene, Truth, Pause, Resume };

    Kind kind = Kind::Stats;
    QString scanner;  // "ADDR" or "ADDR:PORT" in canonical form; empty: the first scanner
    FaultSpec faults;
    QString path;
    std::chrono::milliseconds outage{0};
    uint32_t measurement = 0;
};

enum class ControlError {
    None,
    Empty,
    TooLong,        // more than kMaxControlLine bytes
    BadCharacter,   // control characters inside the line
    UnknownCommand,
    BadScanner,     // --scanner without an IPv4 address (and port)
    MissingArgument,
    ExtraArgument,  // stats, requests, pause or resume with something after it
    BadFaults,      // the fault list is refused; the message is its parser's
    BadSeconds,
    BadMeasurement,
};

constexpr int kMaxControlLine = 4096;

struct ControlParse {
    ControlCommand command;
    BasicFailure<ControlError> failure;
    bool ok() const { return failure.code == ControlError::None; }
};

// Takes the line as UTF-8 bytes; checks everything before it returns a command.
ControlParse parseControlLine(const QByteArray& line);

// Whether a command's `scanner` names the scanner at `address` whose command
// server has `tcpPort`; an empty one names every scanner.
bool selectsScanner(const QString& scanner, const QString& address, int tcpPort);

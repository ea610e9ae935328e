#pragma once

#include "faults/FaultSpec.h"

#include <QString>
#include <chrono>
#include <functional>

class Scanner;

// The answer to one control command: one line of text.
struct ControlReply {
    bool ok = false;
    QString text;  // what was done (stats: the JSON), or why nothing was
};
using ControlAnswer = std::function<void(const ControlReply&)>;

// What the control socket drives: one scanner or a rig. Called on the control
// server's thread; each command calls `answer` exactly once, from any thread,
// when it has taken effect, or with an error when it changed nothing.
// `scanner` is a scanner's address, empty for the first scanner.
class ControlTarget {
public:
    virtual ~ControlTarget() = default;

    virtual void setFaults(const QString& scanner, const FaultSpec& spec, ControlAnswer answer) = 0;
    virtual void loadProfile(const QString& scanner, const QString& csvPath, ControlAnswer answer) = 0;
    virtual void replay(const QString& scanner, const QString& path, ControlAnswer answer) = 0;
    virtual void beginOutage(const QString& scanner, std::chrono::milliseconds length, ControlAnswer answer) = 0;
    // Answers with statsJson() of the scanner.
    virtual void stats(const QString& scanner, ControlAnswer answer) = 0;
    // The scanner at an address; null, with `answer` told why, when there is none.
    virtual Scanner* addressed(const QString& scanner, const ControlAnswer& answer) = 0;
};

#pragma once

#include "HeadlessOptions.h"

#include "log/Failure.h"

#include "state/ScannerSettings.h"

#include <QString>
#include <optional>
#include <vector>

// How one scanner of the headless program is to run. Values left empty come
// from its parameter file, or from the defaults.
struct ScannerPlan {
    QString name;  // names the scanner in messages
    ScannerSettings settings;
    std::optional<int> serial;
    std::optional<int> xsmr;
    std::optional<int> zbase;
    int serialOffset = 0;  // added to the serial, so that scanners of a rig differ
    QString paramsPath;      // read at start
    QString paramsSavePath;  // written by a flush
    QString profilePath;  // empty: the built-in profile
    QString replayPath;   // empty: the profile
    QString scenePath;    // empty: the profile
    std::optional<int> tcpPort;
    std::optional<int> udpPort;
    std::optional<int> frequency;
};

// The scanners the options ask for: one, --scanners N on 127.0.0.1 ... N, or
// the groups of the --rig file. The failure names the scanner and the key
// when the rig file holds a value that cannot be used.
Outcome<std::vector<ScannerPlan>> planRig(const HeadlessOptions& options);

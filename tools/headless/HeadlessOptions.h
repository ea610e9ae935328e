#pragma once

#include "capture/CaptureReader.h"
#include "faults/FaultSpec.h"
#include "params/DataPlaces.h"
#include "profile/ProfileSource.h"
#include "state/ScannerSettings.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// What px310-headless runs with. Values not given on the command line come
// from the parameter file, or from the window's panel defaults.
struct HeadlessOptions {
    QString profilePath;  // empty: the built-in profile
    QString replayPath;   // a capture file or a folder of CSV files; empty: the profile
    Playback playback = Playback::Loop;
    QString scenePath;  // a scene file; empty: the profile
    QString truthPath;  // the first scanner's scene truth, one CSV line per measurement
    CaptureFilter replayFilter;
    QString paramsPath;      // the INI file read at start
    QString paramsSavePath;  // the INI file a flush writes
    QString picturePath;
    bool pictureGiven = false;  // an unusable picture given by name is an error
    QString listenAddress = QStringLiteral("127.0.0.1");
    StreamTarget streamTo;
    HelloTarget helloTo;
    std::vector<Ipv4Net> streamAllow;
    std::optional<int> tcpPort;
    std::optional<int> udpPort;
    std::optional<int> frequency;
    int helloPort = ScannerSettings{}.helloPort;
    int xemr = ScannerSettings{}.xemr;
    int zdiap = ScannerSettings{}.zdiap;
    int noise = ScannerSettings{}.noise;
    std::optional<int> serial;
    std::optional<int> xsmr;
    std::optional<int> zbase;
    bool stepdirForward = true;
    bool verbose = false;
    bool exitWithParent = false;  // SIGTERM when the parent ends, so a killed test run leaves none behind
    bool json = false;  // the listening lines as JSON objects
    int scanners = 1;  // a rig on 127.0.0.1 ... 127.0.0.N
    QString rigPath;   // a rig described scanner by scanner
    FaultSpec faults;
    // Scanner k of a rig draws its faults from seed + k - 1. A fixed default
    // makes every run repeatable.
    static constexpr uint64_t kDefaultSeed = 1;
    uint64_t seed = kDefaultSeed;
    QString controlPath;  // empty: no control socket
    // The HTTP front end (page, API, metrics); an empty address: none.
    QString httpAddress;
    quint16 httpPort = 0;  // 0: one the system picks
    QString httpTokenPath;  // the bearer secret's file; empty: loopback only
};

struct HeadlessCommandLine {
    enum Outcome { Run, Help, Error };  // Help: print the text (help or version) and end
    Outcome outcome = Run;
    HeadlessOptions options;
    QString text;  // the help, or what is wrong
};

// `arguments` without the program name. `places` hold the default parameter
// file and camera picture, as for the window.
HeadlessCommandLine parseHeadlessCommandLine(const QStringList& arguments, const DataPlaces& places);

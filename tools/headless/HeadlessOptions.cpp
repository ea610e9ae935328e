#include "HeadlessOptions.h"

#include "ProgramConventions.h"

#include "params/UserParamsIni.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <limits>

namespace {

struct NumberOption {
    const char* name;
    const char* description;
    int min;
    int max;
};

// Ranges as the window's panel allows them.
const NumberOption kTcpPort{"tcp-port",
                            "TCP port of the command server, 0 for one the system picks (default: parameter file, "
                            "else 620).",
                            0, 65535};
const NumberOption kUdpPort{"udp-port", "UDP port of the profile stream (default: parameter file, else 6003).", 1,
                            65535};
const NumberOption kFrequency{"frequency", "Profile rate in profiles per second (default: parameter file, else 249).",
                              1, 491};
const NumberOption kHelloPort{"hello-port", "UDP port the hello packets go to (default 6001).", 1, 65535};
const NumberOption kXemr{"xemr", "XEMR, the X range in mm (default 70).", 1, 1000};
const NumberOption kZdiap{"zdiap", "ZDIAP, the Z range in mm (default 170).", 1, 1000};
const NumberOption kNoise{"noise", "Noise level 0 to 20 (default 0).", 0, 20};
const NumberOption kSerial{"serial", "Serial number (default: parameter file, else 123).", kSerialRange.min,
                           kSerialRange.max};
const NumberOption kXsmr{"xsmr", "XSMR (default: parameter file, else 1).", kXsmrRange.min, kXsmrRange.max};
const NumberOption kZbase{"zbase", "ZBASE (default: parameter file, else 1).", kZbaseRange.min, kZbaseRange.max};
const NumberOption kScanners{"scanners",
                             "Run N scanners; scanner k listens on 127.0.0.k, sends from there and has the serial "
                             "number plus k - 1 (default 1).",
                             1, 254};
const NumberOption kReplayPort{"replay-port", "Replay only the capture's datagrams to UDP port N.", 1, 65535};
const NumberOption* const kNumberOptions[] = {&kTcpPort, &kUdpPort, &kFrequency, &kHelloPort, &kXemr,    &kZdiap,
                                              &kNoise,   &kSerial,  &kXsmr,      &kZbase,     &kScanners, &kReplayPort};

// Printed as it stands: the help wraps option texts even inside a fault list.
const char* const kDescription =
    "The PX310 emulator without a window: announces itself, streams a profile over\n"
    "UDP and serves the TCP command protocol until SIGINT or SIGTERM. Without\n"
    "--profile it streams a built-in profile (a raised block on a flat floor, 640\n"
    "points).\n\n"
    "Fault lists (--faults, the control command faults):\n"
    "  loss=5%,burst=3,dup=1%,reorder=1%,corrupt=0.5%\n"
    "  delay=10ms,jitter=5ms,reply-delay=50ms\n"
    "  drop-after=100,cut=2%,stall=20,hello=off";

std::optional<int> numberOf(const QCommandLineParser& parser, const NumberOption& option, QString& error) {
    const QString name = QLatin1String(option.name);
    if (!parser.isSet(name))
        return std::nullopt;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < option.min || value > option.max) {
        error = QStringLiteral("--%1 takes a number from %2 to %3, not \"%4\"")
                    .arg(name)
                    .arg(option.min)
                    .arg(option.max)
                    .arg(parser.value(name));
        return std::nullopt;
    }
    return value;
}

struct ValueOption {
    const char* name;
    const char* description;
    const char* value;
};

const ValueOption kValueOptions[] = {
    {"profile", "CSV profile to stream (x;z in mm per line).", "FILE.csv"},
    {"replay",
     "Play a recording instead of the profile, frame k at measurement k: a capture file (pcap or pcapng) or a folder "
     "of CSV profiles in name order.",
     "PATH"},
    {"scene", "Play a scene file (JSON): objects on a moving belt, profile k the cross-section at measurement k.",
     "FILE.json"},
    {"truth", "Write the scene's true values, one line per measurement streamed, to this file when stopped.",
     "FILE.csv"},
    {"replay-source", "Replay only the capture's datagrams from this IPv4 address.", "ADDR"},
    {"params",
     "Parameter file (default user_params.ini beside the program, else in ~/.config/px310-emulator); a flush request "
     "writes it.",
     "FILE.ini"},
    {"picture",
     "Camera picture, 480 wide and 640 high (default kelvora.jpg beside the program, else in the installed data "
     "folder).",
     "FILE.jpg"},
    {"listen", "IPv4 address the command server listens on (default 127.0.0.1).", "ADDR"},
    {"stream-to",
     "Where the profile stream goes: loopback (127.0.0.1, the default), record (the record's udp_ip_address_u8, as "
     "a client sets it) or a fixed ADDR[:PORT].",
     "TARGET"},
    {"hello-to",
     "Where the hello packets go: loopback (the default), broadcast (the listen address's network; with --listen "
     "0.0.0.0, every network) or ADDR.",
     "TARGET"},
    {"stream-allow",
     "With --stream-to record: networks a client may aim the stream at besides loopback and this machine's own "
     "(needed for broadcast and multicast addresses).",
     "CIDR[,CIDR...]"},
    {"rig",
     "Rig file: one group per scanner with address, serial, tcp_port, udp_port, frequency, profile, replay, scene, "
     "xemr, zdiap, stream_to, hello_to.",
     "FILE.ini"},
    {"faults", "Network faults to inject, a comma-separated KEY=VALUE list (default none; examples above).", "SPEC"},
    {"seed", "Seed of the faults; the same seed gives the same faults (default 1).", "N"},
    {"control",
     "Open a control socket (a Unix socket only this user can use) at PATH, relative to the working folder, for "
     "px310-client control.",
     "PATH"},
    {"http",
     "Serve a web page, a control API and Prometheus metrics at ADDR:PORT (port 0: one the system picks); only "
     "loopback without --http-token.",
     "ADDR:PORT"},
    {"http-token",
     "File holding the secret every HTTP request but /healthz must bring as a bearer token; needed to serve HTTP "
     "off loopback.",
     "FILE"},
};

void addOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(QLatin1String(kDescription));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("version"), QStringLiteral("Print the version and end.")});
    for (const ValueOption& option : kValueOptions)
        parser.addOption({QLatin1String(option.name), QLatin1String(option.description), QLatin1String(option.value)});
    for (const NumberOption* option : kNumberOptions)
        parser.addOption({QLatin1String(option->name), QLatin1String(option->description), QStringLiteral("N")});
    parser.addOption({QStringLiteral("once"), QStringLiteral("Play the recording once and hold its last frame "
                                                             "(default: loop).")});
    parser.addOption({QStringLiteral("backward"), QStringLiteral("Step/dir direction backward (default forward).")});
    parser.addOption({QStringLiteral("verbose"), QStringLiteral("Show the workers' debug log.")});
    parser.addOption({QStringLiteral("exit-with-parent"),
                      QStringLiteral("Stop (as on SIGTERM) when the process that started this one ends.")});
    parser.addOption({QStringLiteral("json"),
                      QStringLiteral("Print the listening line as one JSON object per scanner (address, ports, serial, "
                                     "source).")});
}

bool readReplayOptions(const QCommandLineParser& parser, HeadlessOptions& o, QString& error) {
    o.replayPath = parser.value(QStringLiteral("replay"));
    o.scenePath = parser.value(QStringLiteral("scene"));
    o.truthPath = parser.value(QStringLiteral("truth"));
    if (!o.replayPath.isEmpty() && !o.scenePath.isEmpty()) {
        error = QStringLiteral("--replay and --scene exclude each other");
        return false;
    }
    o.playback = parser.isSet(QStringLiteral("once")) ? Playback::Once : Playback::Loop;
    o.replayFilter.destinationPort = static_cast<uint16_t>(numberOf(parser, kReplayPort, error).value_or(0));
    if (parser.isSet(QStringLiteral("replay-source"))) {
        const QHostAddress source(parser.value(QStringLiteral("replay-source")));
        if (source.protocol() != QAbstractSocket::IPv4Protocol) {
            error = QStringLiteral("--replay-source takes an IPv4 address, not \"%1\"")
                        .arg(parser.value(QStringLiteral("replay-source")));
            return false;
        }
        o.replayFilter.sourceAddress = source.toIPv4Address();
    }
    return error.isEmpty();
}

bool readFaultOptions(const QCommandLineParser& parser, HeadlessOptions& o, QString& error) {
    if (parser.isSet(QStringLiteral("faults"))) {
        const FaultSpecParse parse = parseFaultSpec(parser.value(QStringLiteral("faults")));
        if (!parse.ok()) {
            error = QStringLiteral("--faults: ") + parse.failure.message;
            return false;
        }
        o.faults = parse.spec;
    }
    if (parser.isSet(QStringLiteral("seed"))) {
        bool ok = false;
        o.seed = parser.value(QStringLiteral("seed")).toULongLong(&ok);
        if (!ok) {
            error = QStringLiteral("--seed takes a whole number from 0 to %1, not \"%2\"")
                        .arg(std::numeric_limits<uint64_t>::max())
                        .arg(parser.value(QStringLiteral("seed")));
            return false;
        }
    }
    return true;
}

// `into` keeps its default when the option is not given.
template <typename Value>
bool readParsed(const QCommandLineParser& parser, const char* name,
                Outcome<Value> (*parse)(const QString&), Value& into, QString& error) {
    if (!parser.isSet(QLatin1String(name)))
        return true;
    const Outcome<Value> parsed = parse(parser.value(QLatin1String(name)));
    if (parsed.ok())
        into = *parsed;
    else
        error = parsed.failure().message;
    return parsed.ok();
}

bool readDestinationOptions(const QCommandLineParser& parser, HeadlessOptions& o, QString& error) {
    return readParsed(parser, "stream-to", parseStreamTarget, o.streamTo, error) &&
           readParsed(parser, "hello-to", parseHelloTarget, o.helloTo, error) &&
           readParsed(parser, "stream-allow", parseNetList, o.streamAllow, error);
}

bool readHttpOptions(const QCommandLineParser& parser, HeadlessOptions& o, QString& error) {
    o.httpTokenPath = parser.value(QStringLiteral("http-token"));
    if (!parser.isSet(QStringLiteral("http"))) {
        if (!o.httpTokenPath.isEmpty())
            error = QStringLiteral("--http-token needs --http");
        return o.httpTokenPath.isEmpty();
    }
    const QString given = parser.value(QStringLiteral("http"));
    const int colon = given.lastIndexOf(QLatin1Char(':'));
    QHostAddress address;
    bool portOk = false;
    const int port = given.mid(colon + 1).toInt(&portOk);
    if (colon < 0 || !address.setAddress(given.left(colon)) || address.protocol() != QAbstractSocket::IPv4Protocol ||
        !portOk || port < 0 || port > 65535) {
        error = QStringLiteral("--http takes an IPv4 address and a port (0 for any), such as 127.0.0.1:8080, not \"%1\"")
                    .arg(given);
        return false;
    }
    o.httpAddress = address.toString();
    o.httpPort = quint16(port);
    return true;
}

// Fills `options` from the parsed command line; false with `error` set.
bool readOptions(const QCommandLineParser& parser, HeadlessOptions& o, QString& error) {
    if (parser.isSet(QStringLiteral("profile")))
        o.profilePath = parser.value(QStringLiteral("profile"));
    if (!readReplayOptions(parser, o, error))
        return false;
    if (parser.isSet(QStringLiteral("params")))
        o.paramsPath = o.paramsSavePath = parser.value(QStringLiteral("params"));
    if (parser.isSet(QStringLiteral("picture"))) {
        o.picturePath = parser.value(QStringLiteral("picture"));
        o.pictureGiven = true;
    }
    if (parser.isSet(QStringLiteral("listen")))
        o.listenAddress = parser.value(QStringLiteral("listen"));
    QHostAddress address;
    if (!address.setAddress(o.listenAddress) || address.protocol() != QAbstractSocket::IPv4Protocol) {
        error = QStringLiteral("--listen takes an IPv4 address such as 127.0.0.1, not \"%1\"").arg(o.listenAddress);
        return false;
    }
    o.listenAddress = address.toString();
    if (!readDestinationOptions(parser, o, error))
        return false;
    o.tcpPort = numberOf(parser, kTcpPort, error);
    o.udpPort = numberOf(parser, kUdpPort, error);
    o.frequency = numberOf(parser, kFrequency, error);
    o.helloPort = numberOf(parser, kHelloPort, error).value_or(o.helloPort);
    o.xemr = numberOf(parser, kXemr, error).value_or(o.xemr);
    o.zdiap = numberOf(parser, kZdiap, error).value_or(o.zdiap);
    o.noise = numberOf(parser, kNoise, error).value_or(o.noise);
    o.serial = numberOf(parser, kSerial, error);
    o.xsmr = numberOf(parser, kXsmr, error);
    o.zbase = numberOf(parser, kZbase, error);
    o.stepdirForward = !parser.isSet(QStringLiteral("backward"));
    o.verbose = parser.isSet(QStringLiteral("verbose"));
    o.exitWithParent = parser.isSet(QStringLiteral("exit-with-parent"));
    o.json = parser.isSet(QStringLiteral("json"));
    o.scanners = numberOf(parser, kScanners, error).value_or(o.scanners);
    o.rigPath = parser.value(QStringLiteral("rig"));
    o.controlPath = parser.value(QStringLiteral("control"));
    if (parser.isSet(QStringLiteral("control")) && o.controlPath.isEmpty())
        error = QStringLiteral("--control takes the path of the socket to open");
    if (!readFaultOptions(parser, o, error) || !readHttpOptions(parser, o, error))
        return false;
    // A rig places its scanners itself.
    const bool rig = o.scanners > 1 || !o.rigPath.isEmpty();
    if (rig && (parser.isSet(QStringLiteral("listen")) || (o.scanners > 1 && !o.rigPath.isEmpty())))
        error = QStringLiteral("--scanners, --rig and --listen exclude each other");
    return error.isEmpty();
}

}  // namespace

HeadlessCommandLine parseHeadlessCommandLine(const QStringList& arguments, const DataPlaces& places) {
    HeadlessCommandLine result;
    result.options.paramsPath = userParamsLoadPath(places);
    result.options.paramsSavePath = userParamsSavePath(places);
    result.options.picturePath = dataFilePath(places, QStringLiteral("kelvora.jpg"));

    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(QStringList{QStringLiteral("px310-headless")} + arguments)) {
        result.outcome = HeadlessCommandLine::Error;
        result.text = commandLineError(parser);
        return result;
    }
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"))) {
        result.outcome = HeadlessCommandLine::Help;
        result.text = parser.isSet(QStringLiteral("help")) ? parser.helpText()
                                                           : versionLine(QStringLiteral("px310-headless")) + '\n';
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.outcome = HeadlessCommandLine::Error;
        result.text = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first());
        return result;
    }
    if (!readOptions(parser, result.options, result.text))
        result.outcome = HeadlessCommandLine::Error;
    return result;
}

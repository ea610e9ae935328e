#pragma once

#include "faults/ScannerFaults.h"
#include "params/UserParams.h"
#include "params/UserParamsIni.h"
#include "capture/CaptureReader.h"
#include "profile/ProfileSource.h"
#include "profile/CameraPicture.h"
#include "profile/CsvProfile.h"
#include "profile/ProfileStore.h"
#include "scanner/Engine.h"
#include "state/ScannerState.h"
#include "scene/SceneProfileSource.h"
#include "tcp/RequestJournal.h"
#include "udp/HelloPacket.h"
#include "udp/StreamRoute.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

class TcpTransport;
class UdpHello;
class UdpTransport;

// One emulated scanner: its live state (record, settings, identity,
// timeline), profile, camera picture and faults, and while it runs its three
// workers (announcer, stream, command server) on the engine's threads. Front
// ends change it through the setters, which write the state once; the
// workers read it where they use it and are woken by each change. Nothing
// here is shared with another scanner.
class Scanner : public QObject {
    Q_OBJECT
public:
    // A scanner on an engine of its own.
    explicit Scanner(QObject* parent = nullptr);
    // A scanner on `engine`, shared with other scanners; it outlives this one.
    explicit Scanner(Engine& engine, QObject* parent = nullptr);
    ~Scanner() override;

    UserParamsStore& params() { return state_.record(); }
    const UserParamsStore& params() const { return state_.record(); }
    ProfileStore& profile() { return profile_; }
    const ProfileStore& profile() const { return profile_; }
    DeviceIdentity& hello() { return state_.identity(); }
    CameraPicture& picture() { return *picture_; }

    ScannerSettings settings() const;
    // The settings kept in the parameter file beside the record.
    PanelExtras extras() const;
    // Replaces every setting, as the setters one by one would.
    void applySettings(const ScannerSettings& settings);

    // Creates, wires and starts the workers. The outcome of the
    // command server's listen comes as listening() or listenFailed().
    void start();
    // Stops the workers (and ends an outage); returns once none runs any more.
    void stop();
    bool isRunning() const { return stream_ != nullptr; }

    // Network faults; thread-safe. The same seed and fault list give the
    // same faults over the same packets.
    void setFaultSeed(uint64_t seed) { faults_.setSeed(seed); }
    uint64_t faultSeed() const { return faults_.seed(); }
    void setFaults(const FaultSpec& spec) { faults_.setFaults(spec); }
    FaultSpec faults() const { return faults_.faults(); }
    FaultCounts faultCounters() const { return faults_.counters().snapshot(); }

    // From any thread: the scanner "reboots". Its workers stop (clients are
    // dropped, stream and hello fall silent) and start again after `length`,
    // as after start(). `begun` is called on this object's thread once the
    // workers have stopped, with false when the scanner was not running.
    void beginOutage(std::chrono::milliseconds length, std::function<void(bool)> begun = {});
    // 0 unless the command server listens.
    quint16 listeningPort() const;
    // On this object's thread: holds the stream (nothing sent, the packet
    // counter stands) until resumed, through outages, whatever clients connect
    // or leave; a client's own pause holds it meanwhile as ever.
    void setStreamPaused(bool paused);
    // Thread-safe.
    bool streamPaused() const { return state_.streamPaused(); }

    // Settings; each takes effect in the running workers at once.
    void setLocalAddress(const QString& address);
    void setStreamTarget(const StreamTarget& target, const std::vector<Ipv4Net>& allowed);
    void setHelloTarget(const HelloTarget& target);
    // Where the stream goes and how many record addresses it refused.
    const StreamRoute& streamRoute() const { return route_; }
    // The requests its command server served lately, oldest first.
    const RequestJournal& journal() const { return journal_; }
    // Where the next packet goes ("ADDR:PORT"), or why the stream is held ("held: ...").
    QString streamDestination() const;
    // Where the hello goes now, by the interfaces as recently asked.
    std::vector<HelloLeg> helloLegs() const;
    void setXemr(int xemr);
    void setZdiap(int zdiap);
    void setSerial(int serial);
    void setXsmr(int xsmr);
    void setZbase(int zbase);
    void setNoise(int noise);
    void setPointCountIndex(int index);
    void setStepdirForward(bool forward);
    // The profile rate and the DHS mode live in the record; a change restarts
    // the stream's and the server's schedules.
    void setFrequency(int frequency);
    void setDhsMode(int mode);

    // Plays a recording instead of the drawn profile, frame k at measurement k,
    // in the stream and in results alike: a capture file (its profile packets,
    // those `filter` takes) or a folder of CSV files in name order (read with
    // the scanner's XEMR and ZDIAP). Takes effect at once, running or not. False
    // with `error` set, and nothing changed, when the recording cannot be read.
    MaybeFailure replay(const QString& path, Playback playback, CaptureFilter filter = {});
    // Plays the capture `other` replays, its frames shared: a rig that
    // replays one capture holds and frees it once, not once per scanner.
    // False, nothing changed, for a capture too large to hold, whose reading
    // ahead follows one reader.
    bool replayAlong(const Scanner& other);
    // Plays a scene file as a replay is played; the scanner takes up the
    // scene's XEMR and ZDIAP. False with `error` set, and nothing changed,
    // when the file is refused.
    MaybeFailure loadScene(const QString& path);
    // The scene being played; null while none is.
    std::shared_ptr<const SceneProfileSource> scene() const;
    // Plays the drawn profile again.
    void showDrawnProfile();
    // Reads a CSV profile scaled by this scanner's XEMR and ZDIAP; one that
    // loads replaces the drawn profile and ends a replay.
    CsvImport loadCsvProfile(const QString& path);
    // The recording being played; empty while the drawn profile plays.
    QString replayedPath() const;
    // The frame of the recording the stream is at; frame 0 for the drawn profile or a scene.
    RecordingFrame recordingFrame() const;
    // The frame the stream is at (the first one while stopped).
    void copyStreamedFrame(ProfileSnapshot& out, int maxPoints = kMaxProfilePoints) const;
    // The measurement of the last packet streamed; 0 before the first and while stopped.
    uint32_t streamedMeasurement() const;
    // Stream packets that left more than a period after their slot (the process got no time).
    uint64_t latePackets() const { return state_.latePackets(); }
    // Stream packets and hellos the system refused to send (each reason is logged once).
    uint64_t refusedSends() const { return state_.sockets().refused; }
    // Sockets of the stream and the announcer the system refused to make or bind (each is logged).
    uint64_t socketFailures() const { return state_.sockets().failed; }

    // Writes the record and the extras to `path`, or says why not.
    MaybeFailure saveParams(const QString& path) const;
    // Saves the record where the program keeps it (with saveParams, say):
    // nothing, or why not. Run on the engine's writing thread.
    using FlushSaver = std::function<MaybeFailure()>;
    // What a client's flush runs; the client hears "OK" once it has returned,
    // saved or not, as the scanner answers a flush. None: a flush saves
    // nothing. Thread-safe.
    void setFlushSaver(FlushSaver saver);

signals:
    // The outcome of start(), on this object's thread.
    void listening(quint16 port);
    void listenFailed(const QString& reason);
    void clientConnected();
    void clientDisconnected();
    // A client replaced the record. Emitted on the server's thread.
    void userParamsUpdated();

private:
    // Invoked by name from the thread that heard of the change.
    Q_INVOKABLE void followInterfaces();
    void restartHello();
    void stopWorkers();
    void plugWorkers();
    void wireServer();
    void reportListenOutcome();
    void saveForClient() const;

    ScannerState state_;
    ProfileStore profile_;
    ProfileFeed feed_{profile_};
    mutable std::mutex replayedMutex_;
    QString replayedPath_;
    PictureBuffer picture_;
    ScannerFaults faults_;
    StreamRoute route_;
    RequestJournal journal_;
    mutable std::mutex flushSaverMutex_;  // the writing thread runs the saver
    FlushSaver flushSaver_;
    QTimer outageEnd_;
    std::unique_ptr<Engine> ownEngine_;
    Engine& engine_;
    std::unique_ptr<UdpHello> helloWorker_;
    std::unique_ptr<UdpTransport> stream_;
    TcpTransport* server_ = nullptr;  // lives on the engine's serving thread
    std::atomic<bool> listenFailed_{false};
    bool listenReported_ = false;  // of this start
    int interfacesWatch_;
    // Orders the call's posting before its run for race checkers, which
    // cannot see Qt's futex-based event queue: held by both.
    std::mutex followHandOver_;
};

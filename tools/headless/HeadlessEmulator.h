#pragma once

#include "HeadlessOptions.h"

#include "app/session/EmulatorSession.h"
#include "params/UserParams.h"
#include "params/UserParamsIni.h"
#include "profile/CameraPicture.h"
#include "profile/ProfileStore.h"

#include <QObject>
#include <QTimer>
#include <atomic>
#include <memory>

class TcpTransport;

// The emulator's state and workers without a window: the record, the profile
// and the picture it would hold, loaded from files or built-in defaults, and
// the three workers wired through the same step as the window's Start.
class HeadlessEmulator : public QObject {
    Q_OBJECT
public:
    // Gives up when the command server does not listen within this time.
    static constexpr int kListenTimeoutMs = 10000;

    explicit HeadlessEmulator(const HeadlessOptions& options, QObject* parent = nullptr);
    ~HeadlessEmulator() override;

    // Loads the files and starts the workers. False, with `error` set, when a
    // file given by name cannot be used; nothing runs then.
    bool start(QString* error);
    // Stops the workers; returns once their threads have ended.
    void stop();

    const UserParamsStore& params() const { return params_; }
    const ProfileStore& profile() const { return profile_; }

signals:
    // The command server listens; the emulator is ready for clients.
    void ready(const QString& summary);
    // The command server cannot listen; the emulator cannot serve.
    void failed(const QString& message);
    // Something a user of the program should see (not the workers' debug log).
    void notice(const QString& line);

private slots:
    void pollServer();

private:
    bool loadParams(QString* error);
    bool loadPicture(QString* error);
    bool loadProfile(QString* error);
    void applyOptions();
    void plugAndPrime();
    void checkListening();
    void saveParams();

    HeadlessOptions options_;
    UserParamsStore params_;
    ProfileStore profile_;
    std::unique_ptr<CameraPicture> picture_;
    PanelExtras extras_;
    EmulatorSession session_;
    TcpTransport* server_ = nullptr;
    // The server's signals come from its thread; they set these, and a timer
    // on this object's thread acts on them.
    QTimer poll_;
    int pollsUntilListening_ = 0;  // 0 once listening or given up
    std::atomic<bool> listenFailed_{false};
    std::atomic<int> flushRequests_{0};
};

// The profile streamed without --profile: 640 points, a raised block with
// sloped sides on a flat floor, drawn with the drawing area's line rules.
std::vector<ProfilePoint> builtInProfile();

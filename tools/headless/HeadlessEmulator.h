#pragma once

#include "HeadlessOptions.h"
#include "RigPlan.h"

#include "HttpFrontEnd.h"

#include "control/ControlServer.h"
#include "control/ControlTarget.h"
#include "profile/ProfileStore.h"
#include "scanner/Scanner.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <memory>
#include <vector>

// The emulator without a window: one scanner, or a rig of them side by side,
// each loaded from files or the defaults and started through the same Scanner
// as the window's. With a control path, a control socket drives the scanners
// while they run; a command without a scanner's address is for the first.
class HeadlessEmulator : public QObject, public ControlTarget {
    Q_OBJECT
public:
    // Gives up when the command servers do not all listen within this time.
    static constexpr int kListenTimeoutMs = 10000;
    // The longest bearer secret an --http-token file may hold.
    static constexpr int kMaxTokenBytes = 1024;

    explicit HeadlessEmulator(const HeadlessOptions& options, QObject* parent = nullptr);
    ~HeadlessEmulator() override;

    // Loads every scanner's files, checks that each can listen, then starts
    // them all. The failure names the scanner that cannot be used; nothing
    // runs then.
    MaybeFailure start();
    // Stops every scanner; returns once their threads have ended.
    void stop();

    int scannerCount() const { return int(members_.size()); }
    Scanner& scanner(int index) { return *members_[size_t(index)].scanner; }
    // "http://ADDR:PORT/" of the HTTP front end; empty without one.
    QString httpUrl() const { return http_ ? http_->url() : QString(); }

    void setFaults(const QString& scanner, const FaultSpec& spec, ControlAnswer answer) override;
    void loadProfile(const QString& scanner, const QString& csvPath, ControlAnswer answer) override;
    void replay(const QString& scanner, const QString& path, ControlAnswer answer) override;
    void beginOutage(const QString& scanner, std::chrono::milliseconds length, ControlAnswer answer) override;
    void stats(const QString& scanner, ControlAnswer answer) override;
    Scanner* addressed(const QString& address, const ControlAnswer& answer) override;

signals:
    // Every command server listens; the emulator is ready for clients.
    // One listeningJson() per scanner.
    void ready(const QJsonArray& scanners);
    // A command server cannot listen; the emulator cannot serve.
    void failed(const QString& message);
    // Something a user of the program should see (not the workers' debug
    // log). A saved flush is told from the engine's writing thread.
    void notice(const QString& line);

private:
    struct Member {
        ScannerPlan plan;
        std::unique_ptr<Scanner> scanner;
        bool listening = false;
    };

    MaybeFailure prepare(Member& member);
    MaybeFailure loadParams(Member& member);
    MaybeFailure loadPicture(Member& member);
    MaybeFailure loadProfile(Member& member);
    MaybeFailure loadReplay(Member& member);
    void applyPlan(Member& member);
    MaybeFailure checkAddresses();
    MaybeFailure openControl();
    MaybeFailure openHttp();
    void connectScanner(size_t k);
    void onListening(size_t k);
    MaybeFailure saveParams(const Member& member);

    HeadlessOptions options_;
    Engine engine_;  // every scanner's threads; outlives the scanners
    std::vector<Member> members_;
    QTimer listenTimeout_;
    std::unique_ptr<ControlServer> control_;
    std::unique_ptr<HttpFrontEnd> http_;
};

// Where a listening scanner serves and streams and what it plays:
// {"address", "tcp_port", "udp_port", "hello_port", "serial", "frequency",
//  "source": "profile" | "replay" | "scene", then "points" or "path"}.
QJsonObject listeningJson(Scanner& scanner);
// The same as the line a user reads.
QString listeningText(const QJsonObject& scanner);

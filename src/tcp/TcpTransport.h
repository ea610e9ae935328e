#pragma once

#include "params/UserParams.h"
#include "profile/CameraPicture.h"
#include "profile/ProfileSource.h"
#include "tcp/CommandDispatcher.h"
#include "state/MeasurementSchedule.h"
#include "tcp/ReplyGate.h"
#include "tcp/RequestFramer.h"
#include "tcp/RequestJournal.h"
#include "tcp/SaveHold.h"
#include "state/ScannerState.h"

#include <QAbstractSocket>
#include <QObject>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

class QTcpServer;
class QTcpSocket;
class QTimer;

// The scanner's command server. Lives on an event loop thread, which it
// may share with other scanners' servers (run() starts it there); serves
// one client at a time, a newer client taking over from an older one. It
// reads the scanner's state as it serves and follows its timeline: a new
// rate or mode restarts the results' counters at once. requestStop() may be
// called from any thread; everything else runs on the server's thread.
class TcpTransport : public QObject, private CommandSink, private ReplyOutlet {
    Q_OBJECT

public:
    TcpTransport(QObject* parent, ScannerState* state, const CameraPicture* picture, const ProfileFeed* profile);
    ~TcpTransport() override;

    // Thread-safe: ends a paced result at once and keeps new clients out.
    // Deleted on its own thread, the worker closes its sockets there.
    void requestStop();

    // Before the start: every served connection gets its faults from
    // `faults`, which outlive this worker, and its requests are counted there.
    void useFaults(ServerFaults* faults) { replies_.useFaults(faults); }
    // Before the start: every request served goes into `journal`, which outlives this worker.
    void useJournal(RequestJournal* journal) { journal_ = journal; }
    // Before the start: a client's flush calls `save` on this thread with
    // what to call, from any thread, once the file is written; that
    // connection's "OK" and later requests wait until then. One save runs at
    // a time. Without a saver a flush is answered at once.
    using ParamsSaver = SaveHold::ParamsSaver;
    void useSaver(ParamsSaver save) { saves_.useSaver(std::move(save)); }

    // Thread-safe: the port being listened on, 0 when not listening.
    quint16 listeningPort() const { return listeningPort_; }
    // Thread-safe: why listening failed, in the socket's words; empty while
    // it has not failed.
    QString listenError() const;

signals:
    void finished();
    void UserParamsUpdated();
    void Connected();
    void Disconnected();
    void FlushParamsRequest();
    void BadIpAddress();  // listenError() says why
    void Listening();     // listeningPort() says where

public slots:
    void run();
    void acceptConnection();
    void clientDisconnected();
    void read();
    void onSocketError(QAbstractSocket::SocketError error);

private:
    void sendReply(const QByteArray& bytes, const char* failureLine) override;
    void log(const QString& line) override;
    void userParamsUpdated() override;
    void flushParamsRequested() override;
    void clientFinished() override;
    void writeReply(const QByteArray& bytes, const char* failureLine) override;
    void closeAfterReplies() override;
    void resumeServing() override;
    void announceListenFailure(const QString& reason);

    void serveRequests();
    void continueNextTurn(std::chrono::nanoseconds overrun = {});
    void serve(const Request& request);
    bool holdForNextRequest();
    bool onOwnThread(void (TcpTransport::*slot)());
    void resetCounters();
    void followTimeline();
    void takeClient(QTcpSocket* socket);
    // Closes the served connection; `announce` tells the stream that no
    // client is left.
    void dropClient(bool announce);
    void releaseSockets();

    void dispatch(const Request& request);

    ScannerState* state_;
    UserParamsStore* params_;
    RequestJournal* journal_ = nullptr;
    QString clientName_;  // the connection's "ADDR:PORT", for the journal
    MeasurementSchedule schedule_;
    std::atomic<uint64_t> timeline_;  // the state's timeline the counters started with
    int stateWatch_ = -1;
    CommandDispatcher dispatcher_;
    RequestFramer framer_;  // the served connection's; starts empty for each client
    QTcpServer* server_ = nullptr;
    QTcpSocket* client_ = nullptr;
    // Resumes serving when a held result may leave; meanwhile the event loop
    // runs, so a new client is taken at once.
    QTimer* resumeTimer_;
    bool serving_ = false;  // serveRequests() is running
    bool turnPosted_ = false;  // the next turn waits behind the other connections' events
    ReplyGate replies_;  // every reply of the served connection leaves through it
    SaveHold saves_;     // holds replies_: declared after it
    std::atomic<quint16> listeningPort_{0};
    mutable std::mutex listenErrorMutex_;
    std::string listenError_;  // a plain copy: no data shared across threads
    std::atomic<bool> stopRequested_{false};
};

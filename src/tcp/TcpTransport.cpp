#include "tcp/TcpTransport.h"

#include "log/LogCategories.h"

#include <QDebug>
#include <QHostAddress>
#include <QScopedValueRollback>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <utility>

namespace {

// Requests are read in bounded pieces, and replies a client leaves unread
// are bounded too: together they keep a client from filling our memory.
constexpr qint64 kClientReadBufferSize = 32800;
constexpr qint64 kMaxUnsentReplyBytes = 1 << 20;
constexpr int kLongestHoldMs = 60 * 1000;
// Requests of one connection served before the serving thread turns to the
// others: one client's pipelined burst must not hold every other scanner.
constexpr int kRequestsPerTurn = 16;
// A turn also ends once it has taken this long: one scanner's heavy results
// must not hold the others for 16 of them.
constexpr std::chrono::microseconds kTurnBudget{1000};

}  // namespace

TcpTransport::TcpTransport(QObject* parent, ScannerState* state, const CameraPicture* picture,
                           const ProfileFeed* profile)
    : QObject(parent),
      state_(state),
      params_(&state->record()),
      timeline_(state->timeline()),
      dispatcher_(*state, *profile, picture, schedule_),
      resumeTimer_(new QTimer(this)),
      replies_(this, *this),
      saves_(this, replies_) {
    resumeTimer_->setSingleShot(true);
    resumeTimer_->setTimerType(Qt::PreciseTimer);
    connect(resumeTimer_, &QTimer::timeout, this, &TcpTransport::read);
    stateWatch_ = state_->watch([this] { followTimeline(); });
    log(QStringLiteral("tcp constructor"));
}

TcpTransport::~TcpTransport() {
    state_->unwatch(stateWatch_);
    requestStop();  // also waits for the lock that the thread's last step held
    // Without a thread of its own the sockets go here; otherwise they went
    // when the thread finished, on that thread.
    if (thread() == QThread::currentThread())
        releaseSockets();
}

void TcpTransport::requestStop() {
    stopRequested_ = true;
    schedule_.stop();
}

void TcpTransport::run() {
    if (!onOwnThread(&TcpTransport::run))
        return;
    log(QStringLiteral("tcp ran"));
    log(QStringLiteral("start server"));
    // Sockets belong to this thread: close them there when it ends.
    connect(QThread::currentThread(), &QThread::finished, this, &TcpTransport::releaseSockets,
            static_cast<Qt::ConnectionType>(Qt::DirectConnection | Qt::UniqueConnection));
    if (!server_) {
        server_ = new QTcpServer(this);
        connect(server_, &QTcpServer::newConnection, this, &TcpTransport::acceptConnection);
    }
    if (server_->isListening())
        server_->close();
    listeningPort_ = 0;

    const USER_PARAMS params = params_->snapshot();
    const QString address = ipv4FieldToText(params.tcp_ip_address_u8);
    log(QStringLiteral("now listening ") + address);
    log(QStringLiteral("server started"));
    if (!server_->listen(QHostAddress(address), params.tcp_port_u16)) {
        log(QStringLiteral("cannot listen tcp port: ") + server_->errorString());
        announceListenFailure(server_->errorString());
        return;
    }
    listeningPort_ = server_->serverPort();
    log(QStringLiteral("listening on %1:%2").arg(address).arg(server_->serverPort()));
    emit Listening();
    if (!stopRequested_)
        schedule_.restart();
}

void TcpTransport::acceptConnection() {
    if (schedule_.stopped() || !server_)
        return;
    QTcpSocket* socket = server_->nextPendingConnection();
    if (!socket)
        return;
    log(QStringLiteral("tcp accepted"));
    // The stream stays paused: a client is still connected.
    dropClient(false);
    takeClient(socket);
    emit Connected();
    resetCounters();
    if (socket->bytesAvailable() > 0)
        read();
}

void TcpTransport::clientDisconnected() {
    log(QStringLiteral("Connection lost!"));
    dropClient(true);
}

void TcpTransport::read() {
    // A reply's write may report progress from inside the loop below; the
    // running loop goes on by itself. A connection that had its turn waits
    // for the one it was given: its socket's signals bring no extra turns.
    if (serving_ || turnPosted_)
        return;
    QScopedValueRollback<bool> serving(serving_, true);
    serveRequests();
}

void TcpTransport::onSocketError(QAbstractSocket::SocketError) {}

void TcpTransport::sendReply(const QByteArray& bytes, const char* failureLine) { replies_.send(bytes, failureLine); }

void TcpTransport::writeReply(const QByteArray& bytes, const char* failureLine) {
    if (!client_)
        return;
    if (client_->write(bytes) != bytes.size()) {
        if (failureLine)
            log(QString::fromLatin1(failureLine));
        return;
    }
    // Hand the bytes to the system now: a paced result may hold this thread.
    client_->flush();
}

void TcpTransport::closeAfterReplies() {
    if (client_)
        client_->disconnectFromHost();
}

void TcpTransport::resumeServing() { read(); }

void TcpTransport::log(const QString& line) { qCDebug(lcTcp).noquote() << line; }

void TcpTransport::userParamsUpdated() { emit UserParamsUpdated(); }

void TcpTransport::flushParamsRequested() {
    emit FlushParamsRequest();
    saves_.holdUntilSaved();
}

void TcpTransport::clientFinished() { emit Disconnected(); }

QString TcpTransport::listenError() const {
    std::lock_guard<std::mutex> lock(listenErrorMutex_);
    return QString::fromStdString(listenError_);
}

// A function of its own: the sanitizer's suppression for the event it posts
// to the window's thread names nothing else.
void TcpTransport::announceListenFailure(const QString& reason) {
    {
        std::lock_guard<std::mutex> lock(listenErrorMutex_);
        listenError_ = reason.toStdString();
    }
    emit BadIpAddress();
}

// Serves the complete requests in order, reading the socket once per pass:
// a client that keeps sending, or queues paced results, never keeps the event
// loop (and so a new client) waiting longer than one request.
void TcpTransport::serveRequests() {
    QTcpSocket* const socket = client_;
    Request request;
    bool fed = false;
    int served = 0;
    const auto turnEnd = std::chrono::steady_clock::now() + kTurnBudget;
    // A reply may find the connection gone (client_ changes), Stop ends the
    // pass, and a held or planned reply keeps the next request waiting.
    while (socket && client_ == socket && !schedule_.stopped() && replies_.open()) {
        // A client that does not take its replies gets no more until it does
        // (bytesWritten resumes); meanwhile its requests wait in the system.
        if (socket->bytesToWrite() > kMaxUnsentReplyBytes)
            return;
        if (holdForNextRequest())
            return;
        if (served == kRequestsPerTurn)
            return continueNextTurn();
        if (const auto at = std::chrono::steady_clock::now(); served > 0 && at >= turnEnd)
            return continueNextTurn(at - turnEnd);
        if (framer_.next(request)) {
            serve(request);
            ++served;
            continue;
        }
        if (framer_.broken()) {
            log(QStringLiteral("TCP: error: payload of %1 bytes announced, closing the connection")
                    .arg(framer_.rejectedPayloadSize()));
            dropClient(true);
            return;
        }
        if (socket->bytesAvailable() == 0)
            return;
        if (fed)
            return continueNextTurn();
        framer_.feed(socket->readAll());
        fed = true;
    }
}

// After what the other connections of the serving thread have waiting; a
// turn that overran its time waits as long as it overran, so that heavy
// requests take no more than about half of the thread.
void TcpTransport::continueNextTurn(std::chrono::nanoseconds overrun) {
    turnPosted_ = true;
    const auto nextTurn = [this] {
        turnPosted_ = false;
        read();
    };
    if (overrun.count() > 0)
        QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(overrun), Qt::PreciseTimer, this, nextTurn);
    else
        QMetaObject::invokeMethod(this, nextTurn, Qt::QueuedConnection);
}

void TcpTransport::serve(const Request& request) {
    replies_.beginRequest(request.header.command);
    dispatch(request);
    replies_.endRequest();
}

// Journaled before it is served: once a client has its answer, the journal holds its request.
void TcpTransport::dispatch(const Request& request) {
    if (journal_)
        journal_->record(journalEntry(request, clientName_, *params_));
    dispatcher_.dispatch(request, *this);
}

bool TcpTransport::holdForNextRequest() {
    REQUEST_HEADER header;
    if (!framer_.peekHeader(header))
        return false;
    const auto wait = dispatcher_.holdBefore(header);
    if (wait <= MeasurementSchedule::Clock::duration::zero())
        return false;
    // A long hold is re-checked now and then: the rate may change meanwhile.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait);
    resumeTimer_->start(int(std::min<std::chrono::milliseconds::rep>(ms.count(), kLongestHoldMs)));
    return true;
}

bool TcpTransport::onOwnThread(void (TcpTransport::*slot)()) {
    if (QThread::currentThread() == thread())
        return true;
    QMetaObject::invokeMethod(this, slot, Qt::QueuedConnection);
    return false;
}

void TcpTransport::resetCounters() { schedule_.reset(); }

// On the writer's thread: the schedule takes a reset from any thread.
void TcpTransport::followTimeline() {
    const uint64_t timeline = state_->timeline();
    if (timeline_.exchange(timeline) != timeline)
        resetCounters();
}

void TcpTransport::takeClient(QTcpSocket* socket) {
    client_ = socket;
    clientName_ = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    replies_.takeConnection();
    socket->setReadBufferSize(kClientReadBufferSize);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);  // replies are small and awaited
    connect(socket, &QTcpSocket::readyRead, this, &TcpTransport::read);
    connect(socket, &QTcpSocket::bytesWritten, this, &TcpTransport::read);
    connect(socket, &QTcpSocket::disconnected, this, &TcpTransport::clientDisconnected);
    connect(socket, &QAbstractSocket::errorOccurred, this, &TcpTransport::onSocketError);
}

// Everything of a connection is reset here, when it goes: the next one starts clean.
void TcpTransport::dropClient(bool announce) {
    if (!client_)
        return;
    QTcpSocket* socket = std::exchange(client_, nullptr);
    socket->disconnect(this);
    socket->abort();
    // Deferred: this may run inside one of the socket's own signals.
    socket->deleteLater();
    framer_.reset();
    resumeTimer_->stop();
    replies_.dropConnection();
    schedule_.dropOpenResult();
    if (announce)
        emit Disconnected();
}

void TcpTransport::releaseSockets() {
    dropClient(false);
    delete server_;  // takes the sockets it handed out with it
    server_ = nullptr;
    listeningPort_ = 0;
    // Last and under the schedule's lock: the destructor takes that lock
    // first, which orders all of the above before it on any thread.
    schedule_.stop();
}

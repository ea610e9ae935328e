#pragma once

#include "HttpViews.h"

#include "control/ControlTarget.h"
#include "log/Failure.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <microhttpd.h>
#include <memory>
#include <set>
#include <vector>

class QSocketNotifier;
class Scanner;

// The web page, the control API, the live updates and /metrics of a process,
// served by libmicrohttpd from this object's thread's event loop (one epoll
// descriptor watched, never blocking). It only reads the scanners and runs
// control commands through the same path as the control socket, so no
// browser can hold a scanner: connections, request sizes, idle time and the
// live updates' rate and backlog are all bounded.
//
// Off a bearer secret, it serves loopback only, checks every request's Host
// (no DNS rebinding) and takes a POST only with the page's token (another
// site in the browser cannot read it). With a bearer secret every request but
// /healthz must bring it, or the session cookie that /?token=SECRET sets for
// a browser (which cannot add a header to its live updates); a POST with the
// cookie also needs the page's token.
class HttpFrontEnd : public QObject {
    Q_OBJECT
public:
    static constexpr unsigned kMaxConnections = 128;
    static constexpr unsigned kIdleTimeoutSeconds = 10;
    // Per connection; a request line and headers beyond it are refused.
    static constexpr size_t kConnectionMemoryBytes = 32 * 1024;
    static constexpr int kMaxEventStreams = 16;
    // At most 5 updates a second; a page busy with one skips the next.
    static constexpr int kPushIntervalMs = 200;
    // A page gets at most this many thumbnails, of the cards it shows
    // (/events?profiles=ADDR:PORT,...), else of the first, and the full
    // profile of the one it details (&detail=ADDR:PORT): a large rig stays light.
    static constexpr int kProfileCards = 64;
    static constexpr const char* kSessionCookie = "px310_session";

    using ScannerList = std::function<std::vector<const Scanner*>()>;

    HttpFrontEnd(ControlTarget& target, ScannerList scanners, QObject* parent = nullptr);
    ~HttpFrontEnd() override;

    // `bearer` empty: loopback only, the page's token guards POSTs.
    MaybeFailure listen(const QString& address, quint16 port, const QByteArray& bearer);
    // "http://ADDR:PORT/" once listening.
    QString url() const;

private:
    struct Request;
    struct Pending;
    struct EventStream;

    static MHD_Result onAccess(void* self, MHD_Connection* connection, const char* url, const char* method,
                        const char* version, const char* upload, size_t* uploadSize, void** context);
    static void onCompleted(void* self, MHD_Connection* connection, void** context, MHD_RequestTerminationCode why);
    static ssize_t readEvents(void* stream, uint64_t position, char* buffer, size_t max);
    static void freeEvents(void* stream);

    MHD_Result handle(MHD_Connection* connection, const QByteArray& path, const QByteArray& method, Request& request);
    MHD_Result route(MHD_Connection* connection, const QByteArray& path, const QByteArray& method, Request& request);
    // Why a request may not be served; empty when it may.
    QString refusal(MHD_Connection* connection, bool changes) const;
    QString bearerRefusal(MHD_Connection* connection, bool changes) const;
    MHD_Result signIn(MHD_Connection* connection);
    MHD_Result runCommand(MHD_Connection* connection, const QByteArray& name, bool post, Request& request);
    MHD_Result finishCommand(MHD_Connection* connection, Request& request);
    MHD_Result openEvents(MHD_Connection* connection);
    MHD_Result reply(MHD_Connection* connection, unsigned status, const QByteArray& body, const char* type);
    MHD_Result replyError(MHD_Connection* connection, unsigned status, const QString& why);
    MHD_Result replyTooLarge(MHD_Connection* connection);
    QByteArray page() const;
    static QByteArray resource(const char* name);
    QByteArray snapshotJson(const QByteArray& profiles, const QByteArray& detail) const;
    QByteArray snapshotEvent(const QByteArray& profiles, const QByteArray& detail) const;
    void suspend(MHD_Connection* connection);
    void resume(MHD_Connection* connection);
    void serve();
    void push();

    ControlTarget& target_;
    ScannerList scanners_;
    MHD_Daemon* daemon_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer timeout_;
    QTimer pushTimer_;
    QByteArray bearer_;
    QByteArray pageToken_;
    QByteArray sessionToken_;  // the cookie's value: the secret itself never goes into one
    QString url_;
    std::set<MHD_Connection*> suspended_;
    std::vector<EventStream*> streams_;  // owned by their responses
    HttpFigures figures_;
};

#include "HttpFrontEnd.h"

#include "control/ControlCommand.h"
#include "control/ControlDispatch.h"
#include "control/ControlStats.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <arpa/inet.h>
#include <cstring>
#include <map>
#include <utility>
#include <netinet/in.h>

Q_LOGGING_CATEGORY(lcHttp, "px310.http", QtWarningMsg)

namespace {

constexpr unsigned kOk = 200;
constexpr unsigned kSeeOther = 303;
constexpr unsigned kBadRequest = 400;
constexpr unsigned kUnauthorized = 401;
constexpr unsigned kForbidden = 403;
constexpr unsigned kNotFound = 404;
constexpr unsigned kMethodNotAllowed = 405;
constexpr unsigned kTooLarge = 413;
constexpr unsigned kUnavailable = 503;
constexpr size_t kEventBlockBytes = 16 * 1024;
// MHD asks again at least this often, whatever it said it needs.
constexpr int kMaxWaitMs = 500;
constexpr int kTokenBytes = 16;

const char kJson[] = "application/json";
const char kText[] = "text/plain; charset=utf-8";
const char kTokenHeader[] = "X-PX310-Token";

QByteArray randomToken() {
    QByteArray bytes(kTokenBytes, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = char(QRandomGenerator::system()->bounded(256));
    return bytes.toHex();
}

// Compares secrets in a time that does not tell how much of them matched.
bool sameSecret(const QByteArray& given, const QByteArray& secret) {
    if (given.size() != secret.size())
        return false;
    unsigned char difference = 0;
    for (int i = 0; i < secret.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
    return difference == 0;
}

QByteArray header(MHD_Connection* connection, const char* name) {
    return QByteArray(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name));
}

QByteArray argument(MHD_Connection* connection, const char* name) {
    return QByteArray(MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name));
}

// A Host naming this machine's loopback: a page from any other name may be a
// site that had its name point here (DNS rebinding).
bool loopbackHost(const QByteArray& host) {
    QByteArray name = host;
    if (name.startsWith('[')) {
        name = name.mid(1, name.indexOf(']') - 1);
    } else if (name.count(':') == 1) {
        name = name.left(name.indexOf(':'));
    }
    if (name == "localhost")
        return true;
    const QHostAddress address(QString::fromLatin1(name));
    return !address.isNull() && address.isLoopback();
}

// A control answer as JSON: an object as it is, text as {"answer": ...}.
QByteArray answerBody(const ControlReply& reply) {
    const QByteArray text = reply.text.toUtf8();
    if (!reply.ok)
        return jsonLine({{QStringLiteral("error"), reply.text}}).toUtf8();
    if (QJsonDocument::fromJson(text).isObject())
        return text;
    return jsonLine({{QStringLiteral("answer"), reply.text}}).toUtf8();
}

bool isCommandName(const QByteArray& name) {
    if (name.isEmpty())
        return false;
    for (char c : name)
        if (c < 'a' || c > 'z')
            return false;
    return true;
}

}  // namespace

// A static library's resources are registered by hand.
static void registerPage() { Q_INIT_RESOURCE(page); }

struct HttpFrontEnd::Pending {
    MHD_Connection* connection = nullptr;  // null once the connection ended
    bool done = false;
    bool suspended = false;
    ControlReply reply;
};

struct HttpFrontEnd::Request {
    QByteArray body;  // at most kMaxControlLine bytes are kept
    bool tooLarge = false;
    std::shared_ptr<Pending> pending;  // a control command in flight
};

// One page's live updates: the event not yet written, at most one.
struct HttpFrontEnd::EventStream {
    HttpFrontEnd* owner = nullptr;
    MHD_Connection* connection = nullptr;
    QByteArray profiles;  // the scanners whose thumbnails it gets, "ADDR:PORT,..."; empty: the first ones
    QByteArray detail;    // the scanner whose full profile it gets, "ADDR:PORT"; empty: none
    QByteArray event;
    int written = 0;
    bool suspended = false;
    bool idle() const { return written == event.size(); }
};

HttpFrontEnd::HttpFrontEnd(ControlTarget& target, ScannerList scanners, QObject* parent)
    : QObject(parent),
      target_(target),
      scanners_(std::move(scanners)),
      pageToken_(randomToken()),
      sessionToken_(randomToken()) {
    registerPage();
    timeout_.setSingleShot(true);
    connect(&timeout_, &QTimer::timeout, this, &HttpFrontEnd::serve);
    pushTimer_.setInterval(kPushIntervalMs);
    connect(&pushTimer_, &QTimer::timeout, this, &HttpFrontEnd::push);
}

HttpFrontEnd::~HttpFrontEnd() {
    if (!daemon_)
        return;
    // MHD cannot stop with suspended connections.
    for (MHD_Connection* connection : std::set<MHD_Connection*>(suspended_))
        resume(connection);
    MHD_stop_daemon(daemon_);
}

MaybeFailure HttpFrontEnd::listen(const QString& address, quint16 port, const QByteArray& bearer) {
    const QString where = QStringLiteral("--http %1:%2").arg(address).arg(port);
    if (bearer.isEmpty() && !QHostAddress(address).isLoopback())
        return refusedFailure(where + QStringLiteral(": serving HTTP off loopback needs --http-token FILE"));
    bearer_ = bearer;
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    ::inet_pton(AF_INET, address.toLatin1().constData(), &socketAddress.sin_addr);
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, port, nullptr, nullptr, &HttpFrontEnd::onAccess, this,
        MHD_OPTION_SOCK_ADDR, &socketAddress, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kConnectionMemoryBytes, MHD_OPTION_NOTIFY_COMPLETED, &HttpFrontEnd::onCompleted, this, MHD_OPTION_END);
    if (!daemon_) {
        const int systemError = errno;
        const QString why = QString::fromLocal8Bit(std::strerror(systemError));
        return systemFailure(systemError, where + QStringLiteral(": cannot listen (%1)").arg(why));
    }
    const int epoll = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
    const quint16 bound = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
    url_ = QStringLiteral("http://%1:%2/").arg(address).arg(bound);
    notifier_ = std::make_unique<QSocketNotifier>(epoll, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &HttpFrontEnd::serve);
    pushTimer_.start();
    serve();
    return std::nullopt;
}

QString HttpFrontEnd::url() const { return url_; }

void HttpFrontEnd::serve() {
    MHD_run(daemon_);
    MHD_UNSIGNED_LONG_LONG wait = kMaxWaitMs;
    if (MHD_get_timeout(daemon_, &wait) != MHD_YES || wait > static_cast<MHD_UNSIGNED_LONG_LONG>(kMaxWaitMs))
        wait = kMaxWaitMs;
    timeout_.start(int(wait));
}

MHD_Result HttpFrontEnd::onAccess(void* self, MHD_Connection* connection, const char* url, const char* method,
                                  const char*, const char* upload, size_t* uploadSize, void** context) {
    auto* front = static_cast<HttpFrontEnd*>(self);
    auto* request = static_cast<Request*>(*context);
    if (!request) {
        request = new Request;
        *context = request;
        // Refused before its body is read: MHD then closes the connection.
        if (header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH).toLongLong() > kMaxControlLine) {
            request->tooLarge = true;
            return front->replyTooLarge(connection);
        }
        return MHD_YES;
    }
    if (*uploadSize == 0)
        return request->tooLarge ? front->replyTooLarge(connection) : front->handle(connection, url, method, *request);
    // A body of unknown length: what goes past the bound is read and dropped.
    const size_t size = std::exchange(*uploadSize, 0);
    request->tooLarge = request->tooLarge || request->body.size() + qint64(size) > kMaxControlLine;
    if (!request->tooLarge)
        request->body.append(upload, int(size));
    return MHD_YES;
}

void HttpFrontEnd::onCompleted(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    auto* request = static_cast<Request*>(*context);
    if (request && request->pending)
        request->pending->connection = nullptr;
    delete request;
    *context = nullptr;
}

MHD_Result HttpFrontEnd::handle(MHD_Connection* connection, const QByteArray& path, const QByteArray& method,
                                Request& request) {
    if (request.pending)
        return finishCommand(connection, request);
    if (method != "GET" && method != "POST")
        return replyError(connection, kMethodNotAllowed, QStringLiteral("only GET and POST are served"));
    if (path == "/healthz")
        return reply(connection, kOk, "ok\n", kText);
    if (path == "/" && !bearer_.isEmpty() && !argument(connection, "token").isEmpty())
        return signIn(connection);
    const QString refused = refusal(connection, method == "POST");
    if (!refused.isEmpty())
        return replyError(connection, bearer_.isEmpty() ? kForbidden : kUnauthorized, refused);
    return route(connection, path, method, request);
}

MHD_Result HttpFrontEnd::route(MHD_Connection* connection, const QByteArray& path, const QByteArray& method,
                               Request& request) {
    const bool get = method == "GET";
    if (path.startsWith("/api/") && path != "/api/scanners" && path != "/api/token")
        return runCommand(connection, path.mid(5), !get, request);
    if (!get)
        return replyError(connection, kMethodNotAllowed, QStringLiteral("%1 is only read").arg(QString::fromUtf8(path)));
    if (path == "/")
        return reply(connection, kOk, page(), "text/html; charset=utf-8");
    if (path == "/page.js")
        return reply(connection, kOk, resource("page.js"), "text/javascript; charset=utf-8");
    if (path == "/page.css")
        return reply(connection, kOk, resource("page.css"), "text/css; charset=utf-8");
    if (path == "/metrics") {
        figures_.eventStreams = int(streams_.size());
        return reply(connection, kOk, metricsText(scanners_(), figures_), "text/plain; version=0.0.4; charset=utf-8");
    }
    if (path == "/events")
        return openEvents(connection);
    if (path == "/api/token")
        return reply(connection, kOk, jsonLine({{QStringLiteral("token"), QString::fromLatin1(pageToken_)}}).toUtf8(),
                     kJson);
    if (path == "/api/scanners")
        return reply(connection, kOk, snapshotJson(argument(connection, "profiles"), argument(connection, "detail")),
                     kJson);
    return replyError(connection, kNotFound, QStringLiteral("nothing at %1").arg(QString::fromUtf8(path)));
}

QString HttpFrontEnd::refusal(MHD_Connection* connection, bool changes) const {
    if (!bearer_.isEmpty())
        return bearerRefusal(connection, changes);
    if (!loopbackHost(header(connection, MHD_HTTP_HEADER_HOST)))
        return QStringLiteral("the Host must name this machine's loopback");
    if (changes && !sameSecret(header(connection, kTokenHeader), pageToken_))
        return QStringLiteral("a POST needs the page's token");
    return QString();
}

// The cookie is sent by the browser alone, also on a form another site
// submits from a page it opened here: a POST must show it read the page.
QString HttpFrontEnd::bearerRefusal(MHD_Connection* connection, bool changes) const {
    if (sameSecret(header(connection, MHD_HTTP_HEADER_AUTHORIZATION), "Bearer " + bearer_))
        return QString();
    const QByteArray session(MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kSessionCookie));
    if (!sameSecret(session, sessionToken_))
        return QStringLiteral("needs the bearer token");
    if (changes && !sameSecret(header(connection, kTokenHeader), pageToken_))
        return QStringLiteral("a POST needs the page's token");
    return QString();
}

// /?token=SECRET: the browser gets the session cookie and is sent on to the
// page, so the secret leaves the address bar.
MHD_Result HttpFrontEnd::signIn(MHD_Connection* connection) {
    if (!sameSecret(argument(connection, "token"), bearer_))
        return replyError(connection, kUnauthorized, QStringLiteral("the token is not the bearer token"));
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    const QByteArray cookie = QByteArray(kSessionCookie) + '=' + sessionToken_ + "; Path=/; HttpOnly; SameSite=Strict";
    MHD_add_response_header(response, MHD_HTTP_HEADER_SET_COOKIE, cookie.constData());
    MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION, "/");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    const MHD_Result queued = MHD_queue_response(connection, kSeeOther, response);
    MHD_destroy_response(response);
    return queued;
}

// /api/NAME?scanner=ADDR[:PORT]: the control line "[--scanner ADDR] NAME ARG",
// ARG the body of a POST or the query's arg of a GET, parsed and run as the
// control socket does.
MHD_Result HttpFrontEnd::runCommand(MHD_Connection* connection, const QByteArray& name, bool post, Request& request) {
    if (!isCommandName(name))
        return replyError(connection, kNotFound, QStringLiteral("no command \"%1\"").arg(QString::fromUtf8(name)));
    const QByteArray scanner = argument(connection, "scanner");
    // A body from a file usually ends in a line end, which a control line cannot hold.
    const QByteArray given = post ? request.body.trimmed() : argument(connection, "arg");
    if (scanner.contains(' '))
        return replyError(connection, kBadRequest, QStringLiteral("scanner takes one address"));
    QByteArray line = scanner.isEmpty() ? name : "--scanner " + scanner + ' ' + name;
    if (!given.isEmpty())
        line += ' ' + given;
    const ControlParse parsed = parseControlLine(line);
    if (!parsed.ok())
        return replyError(connection, parsed.failure.code == ControlError::UnknownCommand ? kNotFound : kBadRequest,
                          parsed.failure.message);
    if (controlCommandReads(parsed.command.kind) == post)
        return replyError(connection, kMethodNotAllowed,
                          QStringLiteral("%1 takes %2").arg(QString::fromUtf8(name), post ? "GET" : "POST"));
    request.pending = std::make_shared<Pending>();
    request.pending->connection = connection;
    QPointer<HttpFrontEnd> self(this);
    std::shared_ptr<Pending> pending = request.pending;
    // Targets may answer from another thread: the answer is taken on this one.
    runControlCommand(target_, parsed.command, [self, pending](const ControlReply& reply) {
        if (!self)
            return;
        QMetaObject::invokeMethod(self, [self, pending, reply] {
            pending->reply = reply;
            pending->done = true;
            if (pending->suspended && pending->connection)
                self->resume(pending->connection);
        }, Qt::QueuedConnection);
    });
    return finishCommand(connection, request);
}

MHD_Result HttpFrontEnd::finishCommand(MHD_Connection* connection, Request& request) {
    Pending& pending = *request.pending;
    if (!pending.done) {
        pending.suspended = true;
        suspend(connection);
        return MHD_YES;
    }
    if (!pending.reply.ok)
        ++figures_.requestsRefused;
    return reply(connection, pending.reply.ok ? kOk : kBadRequest, answerBody(pending.reply), kJson);
}

MHD_Result HttpFrontEnd::openEvents(MHD_Connection* connection) {
    if (int(streams_.size()) >= kMaxEventStreams)
        return replyError(connection, kUnavailable,
                          QStringLiteral("more than %1 pages follow the live updates").arg(kMaxEventStreams));
    const QByteArray profiles = argument(connection, "profiles");
    const QByteArray detail = argument(connection, "detail");
    auto* stream = new EventStream{this, connection, profiles, detail, snapshotEvent(profiles, detail)};
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kEventBlockBytes,
                                                               &HttpFrontEnd::readEvents, stream,
                                                               &HttpFrontEnd::freeEvents);
    streams_.push_back(stream);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    const MHD_Result queued = MHD_queue_response(connection, kOk, response);
    MHD_destroy_response(response);
    return queued;
}

ssize_t HttpFrontEnd::readEvents(void* context, uint64_t, char* buffer, size_t max) {
    auto* stream = static_cast<EventStream*>(context);
    if (stream->idle()) {
        // Woken by the next update.
        stream->suspended = true;
        stream->owner->suspend(stream->connection);
        return 0;
    }
    const size_t n = std::min(max, size_t(stream->event.size() - stream->written));
    std::memcpy(buffer, stream->event.constData() + stream->written, n);
    stream->written += int(n);
    return ssize_t(n);
}

void HttpFrontEnd::freeEvents(void* context) {
    auto* stream = static_cast<EventStream*>(context);
    std::vector<EventStream*>& streams = stream->owner->streams_;
    streams.erase(std::remove(streams.begin(), streams.end(), stream), streams.end());
    delete stream;
}

void HttpFrontEnd::push() {
    if (streams_.empty())
        return;
    std::map<std::pair<QByteArray, QByteArray>, QByteArray> events;  // by the profiles asked for: pages alike share one
    for (EventStream* stream : std::vector<EventStream*>(streams_)) {
        if (!stream->idle()) {
            ++figures_.eventsDropped;
            continue;
        }
        const std::pair<QByteArray, QByteArray> asked(stream->profiles, stream->detail);
        auto event = events.find(asked);
        if (event == events.end())
            event = events.emplace(asked, snapshotEvent(asked.first, asked.second)).first;
        stream->event = event->second;
        stream->written = 0;
        if (stream->suspended) {
            stream->suspended = false;
            resume(stream->connection);
        }
    }
}

void HttpFrontEnd::suspend(MHD_Connection* connection) {
    MHD_suspend_connection(connection);
    suspended_.insert(connection);
}

void HttpFrontEnd::resume(MHD_Connection* connection) {
    suspended_.erase(connection);
    MHD_resume_connection(connection);
    timeout_.start(0);
}

// At most kProfileCards thumbnails: of those `profiles` names, else of the
// first scanners; the full profile of `detail`.
QByteArray HttpFrontEnd::snapshotJson(const QByteArray& profiles, const QByteArray& detail) const {
    const QList<QByteArray> named = profiles.split(',');
    QJsonArray cards;
    int thumbnails = 0;
    for (const Scanner* scanner : scanners_()) {
        const QByteArray key = scannerKey(*scanner);
        const bool thumbnail = thumbnails < kProfileCards && (profiles.isEmpty() || named.contains(key));
        thumbnails += thumbnail;
        const CardProfile profile = key == detail ? CardProfile::Full
                                    : thumbnail   ? CardProfile::Thumbnail
                                                  : CardProfile::None;
        cards.append(scannerCardJson(*scanner, profile));
    }
    return jsonLine({{QStringLiteral("scanners"), cards}}).toUtf8();
}

QByteArray HttpFrontEnd::snapshotEvent(const QByteArray& profiles, const QByteArray& detail) const {
    return "data: " + snapshotJson(profiles, detail) + "\n\n";
}

QByteArray HttpFrontEnd::resource(const char* name) {
    QFile file(QStringLiteral(":/page/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray HttpFrontEnd::page() const { return resource("index.html").replace("@TOKEN@", pageToken_); }

MHD_Result HttpFrontEnd::reply(MHD_Connection* connection, unsigned status, const QByteArray& body, const char* type) {
    MHD_Response* response =
        MHD_create_response_from_buffer(size_t(body.size()), const_cast<char*>(body.constData()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    if (status == kUnauthorized)
        MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result HttpFrontEnd::replyTooLarge(MHD_Connection* connection) {
    return replyError(connection, kTooLarge, QStringLiteral("a body holds at most %1 bytes").arg(kMaxControlLine));
}

MHD_Result HttpFrontEnd::replyError(MHD_Connection* connection, unsigned status, const QString& why) {
    ++figures_.requestsRefused;
    qCDebug(lcHttp) << "refused with" << status << why;
    return reply(connection, status, jsonLine({{QStringLiteral("error"), why}}).toUtf8(), kJson);
}

#include "ControlHttp.h"

#include "ClientError.h"

#include "control/ControlCommand.h"
#include "control/ControlDispatch.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QUrlQuery>

namespace {

constexpr int kOk = 200;

struct HttpAnswer {
    int status = 0;
    QByteArray body;
};

// Waits for `reply` within the request's time; no answer at all ends the client.
HttpAnswer await(QNetworkReply* reply, const HttpControlRequest& request) {
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(request.timeoutMs);
    loop.exec();
    const HttpAnswer answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    const bool finished = reply->isFinished();
    const QString error = reply->errorString();
    reply->abort();
    reply->deleteLater();
    if (!finished)
        fail(kExitNoEmulator, QStringLiteral("no answer from %1 within %2 ms").arg(request.base).arg(request.timeoutMs));
    if (answer.status == 0)
        fail(kExitNoEmulator, QStringLiteral("no emulator at %1 (%2)").arg(request.base, error));
    return answer;
}

QNetworkRequest requestTo(const HttpControlRequest& request, const QUrl& url) {
    QNetworkRequest http(url);
    if (!request.bearer.isEmpty())
        http.setRawHeader("Authorization", "Bearer " + request.bearer);
    return http;
}

QByteArray pageToken(QNetworkAccessManager& network, const HttpControlRequest& request) {
    const HttpAnswer answer = await(network.get(requestTo(request, QUrl(request.base + QStringLiteral("api/token")))), request);
    const QByteArray token = QJsonDocument::fromJson(answer.body).object().value(QStringLiteral("token")).toString().toLatin1();
    if (answer.status != kOk || token.isEmpty())
        fail(kExitProtocol, QStringLiteral("%1 gave no page token (HTTP %2)").arg(request.base).arg(answer.status));
    return token;
}

// "[--scanner ADDR] NAME [ARG]" as the API's URL and argument.
struct ApiCall {
    QUrl url;
    QByteArray argument;
    bool reads = false;
};

ApiCall apiCallOf(const HttpControlRequest& request) {
    const ControlParse parsed = parseControlLine(request.line);
    QByteArray rest = request.line;
    if (rest.startsWith("--scanner "))
        rest = rest.mid(rest.indexOf(' ', 10) + 1);
    const int space = rest.indexOf(' ');
    ApiCall call;
    call.url = QUrl(request.base + QStringLiteral("api/") + QString::fromUtf8(space < 0 ? rest : rest.left(space)));
    call.argument = space < 0 ? QByteArray() : rest.mid(space + 1);
    call.reads = controlCommandReads(parsed.command.kind);
    QUrlQuery query;
    if (!parsed.command.scanner.isEmpty())
        query.addQueryItem(QStringLiteral("scanner"), parsed.command.scanner);
    if (call.reads && !call.argument.isEmpty())
        query.addQueryItem(QStringLiteral("arg"), QString::fromUtf8(call.argument));
    call.url.setQuery(query);
    return call;
}

}  // namespace

QByteArray sendHttpControl(const HttpControlRequest& request) {
    QNetworkAccessManager network;
    const ApiCall call = apiCallOf(request);
    QNetworkRequest http = requestTo(request, call.url);
    if (!call.reads && request.bearer.isEmpty())
        http.setRawHeader("X-PX310-Token", pageToken(network, request));
    http.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("text/plain; charset=utf-8"));
    const HttpAnswer answer = await(call.reads ? network.get(http) : network.post(http, call.argument), request);
    const QJsonObject json = QJsonDocument::fromJson(answer.body).object();
    if (answer.status != kOk)
        fail(kExitUsage, json.value(QStringLiteral("error")).toString(QStringLiteral("HTTP %1").arg(answer.status)));
    return json.contains(QStringLiteral("answer")) ? json.value(QStringLiteral("answer")).toString().toUtf8() : answer.body;
}

#pragma once

#include <QByteArray>
#include <QString>

// One control command sent to an emulator's HTTP front end (px310-headless
// --http) instead of its control socket.
struct HttpControlRequest {
    QString base;      // "http://HOST:PORT/" or with a path prefix, ending in '/'
    QByteArray line;   // the control line, files named by absolute path
    QByteArray bearer; // from --token-file; empty: the page's token is fetched
    int timeoutMs = 0;
};

// The answer's text as the control socket gives it after "ok"; an error
// answer or no answer at all ends the client through fail().
QByteArray sendHttpControl(const HttpControlRequest& request);

#pragma once

#include "support/TestUtil.h"

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

// What a finished program left behind.
struct ToolRun {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

// The JSON objects a program printed, one a line, and the first of them.
QList<QJsonObject> jsonLines(const QString& text);
inline QJsonObject firstJson(const QString& text) { return jsonLines(text).value(0); }

// Starts `program` with Qt's logging as it is by default, whatever this
// process's environment says, so that its output is what a test expects.
void startTool(QProcess& process, const QString& program, const QStringList& arguments);

// Runs px310-client to its end; events keep flowing meanwhile. SIGTERM
// after `stopAfterMs` when that is given.
ToolRun runClient(const QStringList& arguments, int timeoutMs = 30000, int stopAfterMs = -1);
// The same on a pseudo-terminal (util-linux script): `out` is all the terminal showed.
ToolRun runClientOnTerminal(const QStringList& arguments, int timeoutMs = 30000);

// px310-headless on free ports with its parameter file in a private folder.
class HeadlessProcess {
public:
    HeadlessProcess();
    ~HeadlessProcess();

    // Adds the ports and the parameter file to `arguments`; true once the
    // program listens, on the TCP port the system picked unless one was set.
    bool start(const QStringList& arguments = {});
    // Before start(): the program's soft and hard limits on open files.
    void limitOpenFiles(int soft, int hard) { openFilesLimit_ = QStringLiteral("--nofile=%1:%2").arg(soft).arg(hard); }
    qint64 pid() const { return process_->processId(); }
    // SIGTERM, then waits for the end; the program's exit code.
    int stop();
    // The program ended by itself (a start failure): its run.
    ToolRun waitForEnd(int timeoutMs = 30000);

    QStringList serverArguments() const { return {QStringLiteral("--port"), QString::number(tcpPort)}; }
    QString paramsPath() const { return path(QStringLiteral("user_params.ini")); }
    QString path(const QString& name) const { return dir_.path() + '/' + name; }
    QString errors() const { return err_; }

    quint16 tcpPort = 0;
    quint16 udpPort;
    quint16 helloPort;
    QJsonObject listening;  // the first scanner's line, once start() succeeded

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    QString out_;
    QString err_;
    QString openFilesLimit_;  // empty: as this process has them
};

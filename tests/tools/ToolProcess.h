#pragma once

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

// Runs px310-client to its end (events keep flowing meanwhile, so a server in
// the test process can answer it).
ToolRun runClient(const QStringList& arguments, int timeoutMs = 30000);
// The same on a pseudo-terminal (util-linux script): `out` is all the terminal showed.
ToolRun runClientOnTerminal(const QStringList& arguments, int timeoutMs = 30000);

// A port nobody listens on at this moment.
quint16 freeTcpPort();
quint16 freeUdpPort();

// px310-headless on free ports with its parameter file in a private folder.
class HeadlessProcess {
public:
    HeadlessProcess();
    ~HeadlessProcess();

    // Starts with the ports and the parameter file added to `arguments`;
    // true once the program says it listens.
    bool start(const QStringList& arguments = {});
    // SIGTERM, then waits for the end; the program's exit code.
    int stop();
    // The program ended by itself (a start failure): its run.
    ToolRun waitForEnd(int timeoutMs = 30000);

    bool running() const { return process_ && process_->state() != QProcess::NotRunning; }
    QStringList serverArguments() const;  // --port for the client
    QString paramsPath() const { return dir_.path() + QStringLiteral("/user_params.ini"); }
    QString path(const QString& name) const { return dir_.path() + '/' + name; }
    QString errors() const { return err_; }

    quint16 tcpPort;
    quint16 udpPort;
    quint16 helloPort;

private:
    void collect();

    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    QString out_;
    QString err_;
};

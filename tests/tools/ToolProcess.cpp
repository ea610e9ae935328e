#include "ToolProcess.h"

#include "support/TestUtil.h"

#include <QTcpServer>
#include <QUdpSocket>

namespace {
constexpr int kStartTimeoutMs = 30000;
}

namespace {

ToolRun runToEnd(const QString& program, const QStringList& arguments, int timeoutMs) {
    QProcess process;
    process.start(program, arguments);
    ToolRun run;
    run.finished = waitUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QString shellQuoted(const QString& word) { return '\'' + QString(word).replace('\'', "'\\''") + '\''; }

}  // namespace

ToolRun runClient(const QStringList& arguments, int timeoutMs) {
    return runToEnd(QStringLiteral(PX310_CLIENT), arguments, timeoutMs);
}

ToolRun runClientOnTerminal(const QStringList& arguments, int timeoutMs) {
    QStringList command{shellQuoted(QStringLiteral(PX310_CLIENT))};
    for (const QString& argument : arguments)
        command << shellQuoted(argument);
    return runToEnd(QStringLiteral("script"), {"-qec", command.join(' '), "/dev/null"}, timeoutMs);
}

quint16 freeTcpPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

quint16 freeUdpPort() {
    QUdpSocket socket;
    socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return socket.localPort();
}

HeadlessProcess::HeadlessProcess() : tcpPort(freeTcpPort()), udpPort(freeUdpPort()), helloPort(freeUdpPort()) {
    while (helloPort == udpPort)
        helloPort = freeUdpPort();
}

HeadlessProcess::~HeadlessProcess() {
    if (running())
        stop();
}

bool HeadlessProcess::start(const QStringList& arguments) {
    out_.clear();
    err_.clear();
    process_ = std::make_unique<QProcess>();
    process_->start(QStringLiteral(PX310_HEADLESS),
                    arguments + QStringList{QStringLiteral("--tcp-port"), QString::number(tcpPort),
                                            QStringLiteral("--udp-port"), QString::number(udpPort),
                                            QStringLiteral("--hello-port"), QString::number(helloPort),
                                            QStringLiteral("--params"), paramsPath()});
    return waitUntil(
        [this] {
            collect();
            return out_.contains(QLatin1String("listening on")) || process_->state() == QProcess::NotRunning;
        },
        kStartTimeoutMs) &&
           out_.contains(QLatin1String("listening on"));
}

int HeadlessProcess::stop() {
    process_->terminate();
    if (!waitUntil([this] { return process_->state() == QProcess::NotRunning; }, kStartTimeoutMs)) {
        process_->kill();
        process_->waitForFinished();
        return -1;
    }
    collect();
    return process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
}

ToolRun HeadlessProcess::waitForEnd(int timeoutMs) {
    ToolRun run;
    run.finished = waitUntil([this] { return process_->state() == QProcess::NotRunning; }, timeoutMs);
    collect();
    run.exitCode = process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
    run.out = out_;
    run.err = err_;
    return run;
}

QStringList HeadlessProcess::serverArguments() const {
    return {QStringLiteral("--port"), QString::number(tcpPort)};
}

void HeadlessProcess::collect() {
    out_ += QString::fromUtf8(process_->readAllStandardOutput());
    err_ += QString::fromUtf8(process_->readAllStandardError());
}

#include "ToolProcess.h"

#include "support/TestUtil.h"

#include <QJsonDocument>
#include <QTimer>

namespace {

// The run of `process` once it has ended, killed after `timeoutMs`.
ToolRun endOf(QProcess& process, int timeoutMs) {
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

ToolRun runToEnd(const QString& program, const QStringList& arguments, int timeoutMs, int stopAfterMs = -1) {
    QProcess process;
    startTool(process, program, arguments);
    if (stopAfterMs >= 0)
        QTimer::singleShot(stopAfterMs, &process, &QProcess::terminate);
    return endOf(process, timeoutMs);
}

QString shellQuoted(const QString& word) { return '\'' + QString(word).replace('\'', "'\\''") + '\''; }

}  // namespace

void startTool(QProcess& process, const QString& program, const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_LOGGING_RULES", "QT_LOGGING_CONF", "QT_MESSAGE_PATTERN"})
        environment.remove(name);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
}

QList<QJsonObject> jsonLines(const QString& text) {
    QList<QJsonObject> objects;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts))
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

ToolRun runClient(const QStringList& arguments, int timeoutMs, int stopAfterMs) {
    return runToEnd(PX310_CLIENT, arguments, timeoutMs, stopAfterMs);
}

ToolRun runClientOnTerminal(const QStringList& arguments, int timeoutMs) {
    QStringList command{shellQuoted(QStringLiteral(PX310_CLIENT))};
    for (const QString& argument : arguments)
        command << shellQuoted(argument);
    return runToEnd(QStringLiteral("script"), {"-qec", command.join(' '), "/dev/null"}, timeoutMs);
}

HeadlessProcess::HeadlessProcess() : udpPort(freeUdpPort()), helloPort(freeUdpPort()) {
    while (helloPort == udpPort)
        helloPort = freeUdpPort();
}

HeadlessProcess::~HeadlessProcess() {
    if (process_ && process_->state() != QProcess::NotRunning)
        stop();
}

bool HeadlessProcess::start(const QStringList& arguments) {
    out_.clear();
    err_.clear();
    process_ = std::make_unique<QProcess>();
    QStringList command = arguments + QStringList{"--tcp-port",   QString::number(tcpPort),   "--udp-port",
                                                  QString::number(udpPort), "--hello-port", QString::number(helloPort),
                                                  "--params",   paramsPath(), "--json", "--exit-with-parent"};
    if (openFilesLimit_.isEmpty())
        startTool(*process_, QStringLiteral(PX310_HEADLESS), command);
    else
        startTool(*process_, QStringLiteral("prlimit"), QStringList{openFilesLimit_, QStringLiteral(PX310_HEADLESS)} + command);
    waitUntil(
        [&] {
            out_ += QString::fromUtf8(process_->readAllStandardOutput());
            err_ += QString::fromUtf8(process_->readAllStandardError());
            listening = firstJson(out_);
            return !listening.isEmpty() || process_->state() == QProcess::NotRunning;
        },
        30000);
    tcpPort = quint16(listening.value("tcp_port").toInt(tcpPort));
    return !listening.isEmpty();
}

int HeadlessProcess::stop() {
    process_->terminate();
    return waitForEnd(30000).exitCode;
}

ToolRun HeadlessProcess::waitForEnd(int timeoutMs) {
    ToolRun run = endOf(*process_, timeoutMs);
    run.out.prepend(out_);
    run.err.prepend(err_);
    return run;
}

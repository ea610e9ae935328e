#include "tcp/ListenAdvice.h"

#include <QFile>

#include <algorithm>

#include <unistd.h>

namespace {
constexpr int kFirstUnprivilegedPort = 1024;
}  // namespace

int firstPortOpenToThisUser() {
    if (geteuid() == 0)
        return 0;
    // Linux lets the administrator move the limit.
    QFile limit(QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start"));
    bool ok = false;
    const int first = limit.open(QIODevice::ReadOnly) ? limit.readAll().trimmed().toInt(&ok) : 0;
    return ok ? first : kFirstUnprivilegedPort;
}

QString listenAdvice(int port, int firstOpenPort) {
    if (port >= firstOpenPort)
        return {};
    // Short: the status bar shows it after the socket's reason.
    return QStringLiteral("ports below %1 need root; try port %2")
        .arg(firstOpenPort)
        .arg(std::max(kSuggestedTcpPort, firstOpenPort));
}

QString withListenAdvice(const QString& reason, int port) {
    const QString advice = listenAdvice(port);
    return advice.isEmpty() ? reason : QStringLiteral("%1 (%2)").arg(reason, advice);
}

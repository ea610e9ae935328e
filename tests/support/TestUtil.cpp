#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QThread>
#include <QUdpSocket>
#include <QWidget>
#include <mutex>
#include <thread>

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

QByteArray hexBytes(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

uint16_t u16At(const QByteArray& bytes, int offset) {
    return static_cast<uint16_t>(uint8_t(bytes[offset]) | uint8_t(bytes[offset + 1]) << 8);
}

uint16_t wordSum(const QByteArray& bytes) {
    uint32_t sum = 0;
    for (int i = 0; i + 1 < bytes.size(); i += 2)
        sum += u16At(bytes, i);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

std::vector<ProfilePoint> rampProfile(int n) {
    std::vector<ProfilePoint> points(n);
    for (int i = 0; i < n; ++i)
        points[i] = {static_cast<int16_t>(i - n / 2), static_cast<uint16_t>(1000 + 3 * i)};
    return points;
}

int processThreadCount() {
    static std::once_flag runtimeThreadsStarted;
    std::call_once(runtimeThreadsStarted, [] { std::thread([] {}).join(); });
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

int openDescriptorCount() { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System).size(); }

namespace {
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};
}  // namespace

bool repaints(QWidget* widget, const std::function<void()>& change) {
    widget->window()->show();
    QCoreApplication::processEvents();
    PaintCounter counter;
    widget->installEventFilter(&counter);
    change();
    return waitUntil([&] { return counter.paints > 0; }, 500);  // the filter goes with the counter
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

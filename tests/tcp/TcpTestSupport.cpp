#include "TcpTestSupport.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <algorithm>
#include <mutex>

namespace {

std::mutex logMutex;
QStringList capturedLines;
QtMessageHandler previousHandler = nullptr;
QLoggingCategory::CategoryFilter previousFilter = nullptr;

void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message) {
    std::lock_guard<std::mutex> lock(logMutex);
    capturedLines.append(message);
}

void enableEmulatorDebug(QLoggingCategory* category) {
    if (previousFilter)
        previousFilter(category);
    if (qstrcmp(category->categoryName(), "default") == 0 || qstrncmp(category->categoryName(), "px310.", 6) == 0)
        category->setEnabled(QtDebugMsg, true);
}

}  // namespace

LogCapture::LogCapture() {
    {
        std::lock_guard<std::mutex> lock(logMutex);
        capturedLines.clear();
    }
    previousHandler = qInstallMessageHandler(captureMessage);
    previousFilter = QLoggingCategory::installFilter(enableEmulatorDebug);
}

LogCapture::~LogCapture() {
    QLoggingCategory::installFilter(previousFilter);
    qInstallMessageHandler(previousHandler);
}

bool LogCapture::contains(const QString& line) const { return count(line) > 0; }

int LogCapture::count(const QString& line) const {
    std::lock_guard<std::mutex> lock(logMutex);
    return capturedLines.count(line);
}

int LogCapture::countContaining(const QString& part) const {
    std::lock_guard<std::mutex> lock(logMutex);
    return int(std::count_if(capturedLines.begin(), capturedLines.end(), [&](const QString& l) { return l.contains(part); }));
}

QByteArray readExactly(QTcpSocket& socket, int size, int timeoutMs) {
    while (socket.bytesAvailable() < size)
        if (!socket.waitForReadyRead(timeoutMs))
            break;
    return socket.read(size);
}

QByteArray exchange(QTcpSocket& socket, const QByteArray& bytes, int replySize) {
    socket.write(bytes);
    socket.waitForBytesWritten(5000);
    return readExactly(socket, replySize);
}

std::unique_ptr<QTcpSocket> connectTo(quint16 port) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    socket->waitForConnected(5000);
    return socket;
}


#include "TcpTestSupport.h"

#include <QHostAddress>
#include <QLoggingCategory>
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

void enableDefaultDebug(QLoggingCategory* category) {
    if (previousFilter)
        previousFilter(category);
    if (qstrcmp(category->categoryName(), "default") == 0)
        category->setEnabled(QtDebugMsg, true);
}

}  // namespace

LogCapture::LogCapture() {
    {
        std::lock_guard<std::mutex> lock(logMutex);
        capturedLines.clear();
    }
    previousHandler = qInstallMessageHandler(captureMessage);
    previousFilter = QLoggingCategory::installFilter(enableDefaultDebug);
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

std::vector<ProfilePoint> rampProfile(int n) {
    std::vector<ProfilePoint> points(n);
    for (int i = 0; i < n; ++i)
        points[i] = {static_cast<int16_t>(i - n / 2), static_cast<uint16_t>(1000 + 3 * i)};
    return points;
}

uint16_t u16At(const QByteArray& bytes, int offset) {
    return static_cast<uint16_t>(uint8_t(bytes[offset]) | uint8_t(bytes[offset + 1]) << 8);
}

int16_t s16At(const QByteArray& bytes, int offset) { return static_cast<int16_t>(u16At(bytes, offset)); }

uint16_t wordSum(const QByteArray& bytes) {
    uint32_t sum = 0;
    for (int i = 0; i + 1 < bytes.size(); i += 2)
        sum += u16At(bytes, i);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

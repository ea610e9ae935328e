// Command server figures on loopback, one client at a time:
//  - get result for a 1280-point profile against a bare TCP server that
//    answers each 16-byte request with the same number of bytes;
//  - read params requests per second;
//  - the whole picture in 1000-byte chunks.
#include "tcp/RequestHeader.h"
#include "tcp/TcpTransport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kProfilePoints = 1280;
constexpr int kResultSize = 24 + 4 * kProfilePoints;
constexpr int kChunkSize = 1000;

// Answers every complete 16-byte request with `replySize` fixed bytes.
class EchoServer : public QObject {
public:
    explicit EchoServer(int replySize) : reply_(replySize, '\x42') {}

    void listen() {
        server_ = new QTcpServer(this);
        connect(server_, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = server_->nextPendingConnection();
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
        });
        server_->listen(QHostAddress::LocalHost, 0);
        port_ = server_->serverPort();
    }

    std::atomic<quint16> port_{0};

private:
    void answer(QTcpSocket* socket) {
        while (socket->bytesAvailable() >= kRequestHeaderSize) {
            socket->read(kRequestHeaderSize);
            socket->write(reply_);
            socket->flush();
        }
    }

    QTcpServer* server_ = nullptr;
    QByteArray reply_;
};

// Takes replies and forgets them: the server's own work without a socket.
struct DiscardingSink : CommandSink {
    void sendReply(const QByteArray& bytes, const char*) override { sent += bytes.size(); }
    void log(const QString&) override {}
    void userParamsUpdated() override {}
    void flushParamsRequested() override {}
    void clientFinished() override {}
    qint64 sent = 0;
};

bool readExactly(QTcpSocket& socket, int size) {
    while (socket.bytesAvailable() < size)
        if (!socket.waitForReadyRead(5000))
            return false;
    socket.read(size);
    return true;
}

std::unique_ptr<QTcpSocket> connectTo(quint16 port) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    socket->waitForConnected(5000);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return socket;
}

// Mean time of one call of `step` over `calls` calls, in microseconds.
double meanMicros(int calls, const std::function<void()>& step) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i)
        step();
    return timer.nsecsElapsed() / 1000.0 / calls;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void roundTrip(QTcpSocket& socket, const QByteArray& request, int replySize) {
    socket.write(request);
    socket.flush();
    if (!readExactly(socket, replySize)) {
        std::fprintf(stderr, "no reply\n");
        std::exit(1);
    }
}

template <typename Worker>
void startOnThread(Worker* worker, QThread& thread, void (Worker::*start)()) {
    worker->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, worker, start);
    thread.start();
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);

    ScannerState state;
    UserParamsStore& params = state.record();
    params.update([](USER_PARAMS& p) {
        ipv4TextToField(QStringLiteral("127.0.0.1"), p.tcp_ip_address_u8);
        p.tcp_port_u16 = 0;
        p.udp_frequency_u16 = 65535;  // pacing far below one round trip
    });
    ProfileStore profile;
    std::vector<ProfilePoint> points(kProfilePoints);
    for (int i = 0; i < kProfilePoints; ++i)
        points[i] = {static_cast<int16_t>(i * 10 - 6400), static_cast<uint16_t>(4000 + i)};
    profile.replace(points);
    ProfileFeed feed(profile);
    auto picture = std::make_unique<CameraPicture>();
    picture->fill(0);

    MeasurementSchedule schedule;
    DiscardingSink sink;
    CommandDispatcher dispatcher(state, feed, picture.get(), schedule);
    Request resultRequest;
    resultRequest.header.command = 1;
    std::vector<double> dispatchUs;

    QThread serverThread;
    auto* server = new TcpTransport(nullptr, &state, picture.get(), &feed);
    startOnThread(server, serverThread, &TcpTransport::run);
    QThread echoThread;
    auto* echo = new EchoServer(kResultSize);
    startOnThread(echo, echoThread, &EchoServer::listen);
    while (server->listeningPort() == 0 || echo->port_ == 0)
        QThread::msleep(1);

    auto client = connectTo(server->listeningPort());
    auto echoClient = connectTo(echo->port_);
    const QByteArray result = encodeRequest(1);
    const QByteArray readParams = encodeRequest(4);

    // Rounds alternate between the two servers so that load from elsewhere
    // on the machine hits both alike.
    constexpr int kRounds = 9;
    std::vector<double> echoUs, resultUs, paramsUs, pictureUs;
    for (int round = 0; round < kRounds; ++round) {
        echoUs.push_back(meanMicros(300, [&] { roundTrip(*echoClient, result, kResultSize); }));
        resultUs.push_back(meanMicros(300, [&] { roundTrip(*client, result, kResultSize); }));
        dispatchUs.push_back(meanMicros(300, [&] { dispatcher.dispatch(resultRequest, sink); }));
        paramsUs.push_back(meanMicros(500, [&] { roundTrip(*client, readParams, kUserParamsSize); }));
        pictureUs.push_back(meanMicros(1, [&] {
            client->write(encodeRequest(2));
            for (uint32_t offset = 0; offset < kCameraPictureSize; offset += kChunkSize) {
                const uint32_t length = std::min<uint32_t>(kChunkSize, kCameraPictureSize - offset);
                roundTrip(*client, encodeRequest(3, {}, offset, length), 2 + int(length));
            }
        }));
    }

    std::printf("%-48s %12s\n", "measure (median of 9 rounds)", "value");
    std::printf("%-48s %9.1f us\n", "get result, 1280 points (5144 bytes), round trip", median(resultUs));
    std::printf("%-48s %9.1f us\n", "  of which building the result (no socket)", median(dispatchUs));
    std::printf("%-48s %9.1f us\n", "bare TCP echo of 5144 bytes, round trip", median(echoUs));
    std::printf("%-48s %12.2f\n", "ratio result / echo (goal <= 1.5)", median(resultUs) / median(echoUs));
    std::printf("%-48s %12.0f\n", "read params, requests per second", 1e6 / median(paramsUs));
    std::printf("%-48s %9.1f ms\n", "whole picture in 1000-byte chunks (308)", median(pictureUs) / 1000.0);

    client.reset();
    echoClient.reset();
    server->requestStop();
    serverThread.quit();
    serverThread.wait();
    delete server;
    echoThread.quit();
    echoThread.wait();
    delete echo;
    return 0;
}

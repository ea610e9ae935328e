#include "TcpTestSupport.h"
#include "support/TestUtil.h"
#include "tcp/Replies.h"
#include "tcp/TcpTransport.h"

#include <QElapsedTimer>
#include <QThread>
#include <QThreadPool>
#include <gtest/gtest.h>
#include <atomic>

namespace {

// Stands in for the stream worker: paused while a command client is connected.
struct StreamStub {
    std::atomic<bool> paused{false};
    std::atomic<int> pauses{0};
    std::atomic<int> resumes{0};
};

class Server : public ::testing::Test {
protected:
    void SetUp() override {
        // One pool thread per counter task, and room for other users of the pool.
        QThreadPool::globalInstance()->setMaxThreadCount(std::max(8, QThreadPool::globalInstance()->maxThreadCount()));
        for (int i = 0; i < kCameraPictureSize; ++i)
            picture[i] = static_cast<uint8_t>(i % 251);
        params.update([](USER_PARAMS& p) {
            ipv4TextToField(QStringLiteral("127.0.0.1"), p.tcp_ip_address_u8);
            p.tcp_port_u16 = 0;
            p.udp_frequency_u16 = 1000;
        });
    }

    void TearDown() override { stop(); }

    void start() {
        server = new TcpTransport(nullptr, 640, 480, &params, &picture, &feed, &hello);
        QObject::connect(server, &TcpTransport::Connected, [this] { ++stream.pauses, stream.paused = true; });
        QObject::connect(server, &TcpTransport::Disconnected, [this] { ++stream.resumes, stream.paused = false; });
        QObject::connect(server, &TcpTransport::UserParamsUpdated, [this] { ++updates; });
        QObject::connect(server, &TcpTransport::FlushParamsRequest, [this] { ++flushes; });
        QObject::connect(server, &TcpTransport::BadIpAddress, [this] { ++badAddress; });
        server->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, server, &TcpTransport::run);
        thread.start();
        ASSERT_TRUE(waitUntil([this] { return server->listeningPort() != 0 || badAddress > 0; }));
    }

    // The window's Stop: stop request, thread quit and wait, delete on this thread.
    void stop() {
        if (!server)
            return;
        server->requestStop();
        thread.quit();
        thread.wait();
        delete server;
        server = nullptr;
    }

    std::unique_ptr<QTcpSocket> connectClient() {
        const int before = stream.pauses;
        auto client = connectTo(server->listeningPort());
        EXPECT_EQ(client->state(), QAbstractSocket::ConnectedState);
        EXPECT_TRUE(waitUntil([&] { return stream.pauses > before; })) << "accepted";
        return client;
    }

    QByteArray readParams(QTcpSocket& client) { return exchange(client, encodeRequest(4), kUserParamsSize); }

    UserParamsStore params;
    ProfileStore profile;
    ProfileFeed feed{profile};
    CameraPicture picture{};
    HelloBuffer hello;
    QThread thread;
    TcpTransport* server = nullptr;
    StreamStub stream;
    std::atomic<int> updates{0};
    std::atomic<int> flushes{0};
    std::atomic<int> badAddress{0};
};

TEST_F(Server, ParamsWriteIsAnsweredAnnouncedAndFlushRequested) {
    start();
    auto client = connectClient();
    QByteArray image = readParams(*client);
    ASSERT_EQ(image, paramsImage(params.snapshot()));
    image[59] = 3;  // invertXZ
    EXPECT_EQ(exchange(*client, encodeRequest(5, image) + encodeRequest(6), 4), "OKOK");
    EXPECT_EQ(paramsImage(params.snapshot()), image);
    EXPECT_EQ(updates, 1);
    EXPECT_TRUE(waitUntil([this] { return flushes == 1; }));
}

TEST_F(Server, ResultsFollowTheRecordAndThePanel) {
    start();
    auto client = connectClient();
    params.update([](USER_PARAMS& p) { p.ext_sync_signal_u16 = 4; });
    profile.replace(rampProfile(1280));
    // From the GUI thread, as the panel does.
    server->SwitchStepdir(true);
    server->onXemrChanged(70);
    server->onZdiapChanged(170);
    server->onNoizeChanged(5);
    const QByteArray noisy = exchange(*client, encodeRequest(1), 26 + 4 * 1280);
    ASSERT_EQ(noisy.size(), 26 + 4 * 1280);
    EXPECT_EQ(noisy.mid(noisy.size() - 8, 6), hexBytes("46 00 AA 00 01 00")) << "XEMR, ZDIAP, step/dir direction";
    int largest = 0;
    for (int i = 0; i < 1280; ++i)
        largest = std::max(largest, int(uint16_t(s16At(noisy, 12 + 2 * i) - (i - 640))));
    EXPECT_EQ(largest, 4) << "noise reaches 0 .. 4";
}

TEST_F(Server, ResultsArePacedToTheProfileRate) {
    params.update([](USER_PARAMS& p) { p.udp_frequency_u16 = 100; });
    start();
    QElapsedTimer sinceConnect;
    sinceConnect.start();
    auto client = connectClient();
    const QByteArray both = exchange(*client, encodeRequest(1) + encodeRequest(1), 48);
    EXPECT_GE(sinceConnect.elapsed(), 10) << "second result held back one period";
    EXPECT_EQ(u16At(both, 2), 0);
    EXPECT_EQ(u16At(both, 24 + 2), 1);

    server->onFreqChanged(0);  // the panel's spin box: counters restart, results unpaced
    const QByteArray unpaced = exchange(*client, encodeRequest(1) + encodeRequest(1) + encodeRequest(1), 72);
    EXPECT_EQ(u16At(unpaced, 48 + 2), 2) << "0 Hz: answered, not paced, counted from the change";
}

TEST_F(Server, UnknownCommandsKeepTheConnectionUsableAndFinishingResumesTheStream) {
    start();
    auto client = connectClient();
    client->write(encodeRequest(200) + encodeRequest(25));
    EXPECT_EQ(readParams(*client), paramsImage(params.snapshot()));
    EXPECT_EQ(stream.resumes, 1);
    EXPECT_FALSE(stream.paused);
}

TEST_F(Server, AClientThatLeavesItsRepliesUnreadIsServedInFullLater) {
    start();
    auto client = connectClient();
    constexpr int kChunks = 40;  // 12 MB of replies
    QByteArray burst = encodeRequest(2);
    for (int i = 0; i < kChunks; ++i)
        burst += encodeRequest(3, {}, 0, kCameraPictureSize);
    client->write(burst + encodeRequest(4));
    client->waitForBytesWritten(5000);
    QThread::msleep(100);  // the server runs into its limit of unsent replies

    constexpr int kChunkReply = 2 + kCameraPictureSize;
    const QByteArray replies = readExactly(*client, kChunks * kChunkReply + kUserParamsSize, 20000);
    ASSERT_EQ(replies.size(), kChunks * kChunkReply + kUserParamsSize);
    for (int i = 0; i < kChunks; ++i)
        ASSERT_EQ(uint8_t(replies[i * kChunkReply + 1]), i) << "chunks in order, none lost";
    EXPECT_EQ(replies.right(kUserParamsSize), paramsImage(params.snapshot()));
}

TEST_F(Server, OversizedPayloadClosesTheConnection) {
    start();
    auto client = connectClient();
    REQUEST_HEADER header{5, kMaxRequestPayload + 1, 0, 0};
    client->write(reinterpret_cast<const char*>(&header), sizeof header);
    EXPECT_TRUE(client->state() == QAbstractSocket::UnconnectedState || client->waitForDisconnected(5000));
    EXPECT_TRUE(waitUntil([this] { return !stream.paused; }));

    auto next = connectClient();
    EXPECT_EQ(readParams(*next).size(), 512) << "the server goes on serving";
}

TEST_F(Server, ConnectionPausesTheStreamAndASecondClientTakesOverPromptly) {
    params.update([](USER_PARAMS& p) { p.udp_frequency_u16 = 1; });
    start();
    auto first = connectClient();
    EXPECT_TRUE(stream.paused);
    QByteArray queue;
    for (int i = 0; i < 2000; ++i)
        queue += encodeRequest(1);
    first->write(queue + encodeRequest(5, paramsImage(params.snapshot())).left(100));  // paced, then left pending
    ASSERT_EQ(readExactly(*first, 24).size(), 24) << "the first result leaves at once, the rest are held";

    QElapsedTimer takingOver;
    takingOver.start();
    auto second = connectClient();
    EXPECT_EQ(readParams(*second), paramsImage(params.snapshot())) << "no pending request carried over";
    EXPECT_LT(takingOver.elapsed(), 1000) << "a queue of paced results does not hold a new client";
    EXPECT_TRUE(first->state() == QAbstractSocket::UnconnectedState || first->waitForDisconnected(5000))
        << "the replaced client is closed at once";
    EXPECT_EQ(stream.resumes, 0) << "still a client: the stream stays paused";
    EXPECT_TRUE(stream.paused);

    second->disconnectFromHost();
    EXPECT_TRUE(waitUntil([this] { return stream.resumes == 1; }));
    EXPECT_FALSE(stream.paused);
}

TEST_F(Server, StopReturnsPromptlyDuringAPacedResult) {
    params.update([](USER_PARAMS& p) { p.udp_frequency_u16 = 1; });
    start();
    auto client = connectClient();
    QByteArray burst;
    for (int i = 0; i < 30; ++i)
        burst += encodeRequest(1);
    EXPECT_EQ(exchange(*client, burst, 24).size(), 24);  // the first leaves at once, the rest are paced
    QElapsedTimer stopping;
    stopping.start();
    stop();
    EXPECT_LT(stopping.elapsed(), 900) << "the 1 s pacing wait was not cut short";
}

TEST_F(Server, AnAddressOfAnotherMachineIsReportedOnce) {
    params.update([](USER_PARAMS& p) { ipv4TextToField(QStringLiteral("192.0.2.1"), p.tcp_ip_address_u8); });
    start();
    EXPECT_EQ(server->listeningPort(), 0);
    EXPECT_EQ(badAddress, 1);
}

}  // namespace

#include "TcpTestSupport.h"
#include "tcp/Replies.h"
#include "tcp/TcpTransport.h"
#include "udp/UdpTestSupport.h"

#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>
#include <atomic>

namespace {

class Server : public ::testing::Test, public ServedParts {
protected:
    void start(uint16_t hz = 1000) {
        params.update([hz](USER_PARAMS& p) {
            ipv4TextToField(QStringLiteral("127.0.0.1"), p.tcp_ip_address_u8);
            p.tcp_port_u16 = 0;
            p.udp_frequency_u16 = hz;
        });
        auto* worker = new TcpTransport(nullptr, &state, &picture, &feed);
        QObject::connect(worker, &TcpTransport::Connected, [this] { ++pauses; });
        QObject::connect(worker, &TcpTransport::Disconnected, [this] { ++resumes; });
        server = std::make_unique<RunningWorker<TcpTransport>>(worker);
        ASSERT_TRUE(waitUntil([this] { return (*server)->listeningPort() != 0; }));
    }

    std::unique_ptr<QTcpSocket> connectClient() {
        const int before = pauses;
        auto client = connectTo((*server)->listeningPort());
        EXPECT_TRUE(waitUntil([&] { return pauses > before; })) << "accepted";
        return client;
    }

    QByteArray readParams(QTcpSocket& client) { return exchange(client, encodeRequest(4), kUserParamsSize); }

    std::atomic<int> pauses{0};
    std::atomic<int> resumes{0};
    std::unique_ptr<RunningWorker<TcpTransport>> server;
};

TEST_F(Server, ResultsFollowTheRecordAndThePanel) {
    start(100);
    auto client = connectClient();
    ASSERT_EQ(u16At(exchange(*client, encodeRequest(1) + encodeRequest(1), 48), 24 + 2), 1);
    params.update([](USER_PARAMS& p) { p.ext_sync_signal_u16 = 4; });
    profile.replace(rampProfile(1280));
    // From the GUI thread, as the panel does.
    state.changeSettings([](ScannerSettings& s) {
        s.stepdirForward = true;
        s.xemr = 70;
        s.zdiap = 170;
        s.noise = 5;
    });
    params.update([](USER_PARAMS& p) { p.udp_frequency_u16 = 0; });
    state.followRecordRate();  // counters restart, results unpaced
    constexpr int kSize = 26 + 4 * 1280;
    const QByteArray noisy = exchange(*client, encodeRequest(1) + encodeRequest(1), 2 * kSize);
    ASSERT_EQ(noisy.size(), 2 * kSize);
    // Counted from the change; at 0 Hz the measurement stands while the results count on.
    EXPECT_EQ(noisy.left(4) + noisy.mid(kSize, 4), hexBytes("00 00 00 00 00 00 01 00"));
    EXPECT_EQ(noisy.mid(noisy.size() - 8, 6), hexBytes("46 00 AA 00 01 00")) << "XEMR, ZDIAP, step/dir direction";
    int largest = 0;
    for (int i = 0; i < 1280; ++i)
        largest = std::max(largest, int(uint16_t(u16At(noisy, 12 + 2 * i) - (i - 640))));
    EXPECT_EQ(largest, 4) << "noise reaches 0 .. 4";
}

// At 1 Hz a second result waits for its measurement; nothing else waits.
TEST_F(Server, OnlyResultsWaitForAMeasurementAndAnUnknownCommandIsIgnored) {
    start(1);
    auto client = connectClient();
    ASSERT_EQ(readParams(*client).size(), kUserParamsSize);
    ASSERT_EQ(exchange(*client, encodeRequest(1), 24).size(), 24);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(exchange(*client, encodeRequest(999) + encodeRequest(4), kUserParamsSize).size(), kUserParamsSize);
    EXPECT_LT(timer.elapsed(), 700) << "the parameters waited for a measurement";
}

TEST_F(Server, AClientThatLeavesItsRepliesUnreadIsServedInFullLater) {
    start();
    auto client = connectClient();
    constexpr int kChunks = 40;  // 12 MB of replies, far beyond the server's limit of unsent ones
    QByteArray burst = encodeRequest(2);
    for (int i = 0; i < kChunks; ++i)
        burst += encodeRequest(3, {}, 0, kCameraPictureSize);
    client->write(burst);
    client->waitForBytesWritten(5000);
    QThread::msleep(100);
    constexpr int kReplies = kChunks * (2 + kCameraPictureSize);
    EXPECT_EQ(readExactly(*client, kReplies, 20000).size(), kReplies);
}

TEST_F(Server, OversizedPayloadClosesTheConnectionAndTheStreamRunsAgain) {
    start();
    auto client = connectClient();
    const REQUEST_HEADER header{5, kMaxRequestPayload + 1, 0, 0};
    client->write(reinterpret_cast<const char*>(&header), sizeof header);
    EXPECT_TRUE(client->state() == QAbstractSocket::UnconnectedState || client->waitForDisconnected(5000));
    EXPECT_TRUE(waitUntil([&] { return resumes == 1; }));
    EXPECT_EQ(readParams(*connectClient()).size(), 512) << "the server goes on serving";
}

TEST_F(Server, ASecondClientTakesOverPromptlyAndTheStreamRunsAgainOnceItHasFinished) {
    start(1);
    auto first = connectClient();
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
    EXPECT_EQ(u16At(exchange(*second, encodeRequest(1), 24), 2), 0) << "its own first result, not one the first awaited";
    EXPECT_TRUE(first->state() == QAbstractSocket::UnconnectedState || first->waitForDisconnected(5000));
    EXPECT_EQ(resumes, 0) << "still a client: the stream stays paused";
    second->write(encodeRequest(25));
    EXPECT_TRUE(waitUntil([this] { return resumes == 1; })) << "the client says it has finished";
    second->disconnectFromHost();
    EXPECT_TRUE(waitUntil([this] { return resumes == 2; }));
}

}  // namespace

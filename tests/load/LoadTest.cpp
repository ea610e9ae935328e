#include "LoadTestSupport.h"
#include "TcpTestSupport.h"
#include "tcp/Replies.h"
#include "tcp/RequestHeader.h"

#include <gtest/gtest.h>

namespace {

constexpr int kResultSize = 24 + 4 * 1280;  // the live emulator's profile

QByteArray readParamsOf(QTcpSocket& client) { return exchange(client, encodeRequest(4), kUserParamsSize); }

class Load : public ::testing::Test {
protected:
    // A client that sends `bytes`, reads `replySize` bytes and aborts.
    void leaveAfter(const QByteArray& bytes, int replySize) {
        auto client = emulator.connectClient();
        ASSERT_EQ(exchange(*client, bytes, replySize).size(), replySize);
        client->abort();
    }

    LiveEmulator emulator;
};

TEST_F(Load, AClientThatNeverReadsHoldsBoundedMemoryAndTheNextClientIsServed) {
    emulator.start();
    const long baselineKb = processRssKb();
    auto deaf = emulator.connectClient();
    deaf->setReadBufferSize(1);  // takes none of the replies
    deaf->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16 * 1024);
    deaf->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 16 * 1024);
    // Each request asks for the whole picture (300 KB). A server that kept
    // reading would take every request and queue every reply; one that
    // holds back stops reading, and the system soon refuses more.
    QByteArray batch = encodeRequest(2);
    for (int i = 0; i < 256; ++i)
        batch += encodeRequest(3, {}, 0, kCameraPictureSize);
    constexpr long kRequestLimit = 100000;  // 30 GB of replies
    long requestsSent = 0;
    for (; requestsSent < kRequestLimit && processRssKb() - baselineKb < 100 * 1024; requestsSent += 256) {
        deaf->write(batch);
        while (deaf->bytesToWrite() > 0 && deaf->waitForBytesWritten(500)) {
        }
        if (deaf->bytesToWrite() > 0)
            break;
    }
    EXPECT_LT(requestsSent, kRequestLimit) << "the server kept reading requests whose replies nobody takes";
    EXPECT_LT(processRssKb() - baselineKb, 100 * 1024) << "replies piled up in memory";
    EXPECT_EQ(deaf->state(), QAbstractSocket::ConnectedState) << "the server dropped a client that is only slow";
    auto next = emulator.connectClient();
    EXPECT_EQ(readParamsOf(*next), paramsImage(emulator.params().snapshot())) << "the next client takes over";
}

TEST_F(Load, CyclesOfStartsAbortedClientsAndAFullRateStreamLeaveNothingBehind) {
    // The serving thread makes its event dispatcher (a descriptor) once it
    // runs, on a busy machine after the fixture is built: a first cycle, then the baseline.
    emulator.start();
    emulator.stop();
    const int threadsBefore = processThreadCount();
    const int descriptorsBefore = openDescriptorCount();
    emulator.params().update([](USER_PARAMS& p) { p.udp_frequency_u16 = 5000; });  // faster than the stream paces
    const QByteArray record = paramsImage(emulator.params().snapshot());
    for (int i = 0; i < 30; ++i) {
        emulator.start();
        // Clients leave in the middle of a header, of a payload, and while
        // the second of two results waits for its slot.
        leaveAfter(encodeRequest(4).left(1 + i % 15), 0);
        leaveAfter(encodeRequest(5, record).left(kRequestHeaderSize + 1 + i * 17 % 500), 0);
        leaveAfter(encodeRequest(1) + encodeRequest(1), kResultSize);
        auto last = emulator.connectClient();
        ASSERT_EQ(readParamsOf(*last), record) << "cycle " << i;
        // The client says it has finished but stays: the stream runs again.
        last->write(encodeRequest(25));
        last->flush();
        ASSERT_EQ(emulator.nextStreamDatagram().size(), kResultSize) << "cycle " << i;
        emulator.stop();
    }
    EXPECT_EQ(emulator.connects, 4 * 30);
    EXPECT_TRUE(waitUntil([&] { return processThreadCount() <= threadsBefore; }, 10000)) << processThreadCount();
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() <= descriptorsBefore; }, 10000))
        << openDescriptorCount() << " open, " << descriptorsBefore << " before";
}

}  // namespace

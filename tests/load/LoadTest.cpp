#include "LoadTestSupport.h"
#include "TcpTestSupport.h"
#include "support/TestUtil.h"
#include "tcp/Replies.h"
#include "tcp/RequestHeader.h"

#include <QThread>
#include <QThreadPool>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kResultSize = 24 + 4 * 1280;  // the live emulator's profile

QByteArray readParamsOf(QTcpSocket& client) { return exchange(client, encodeRequest(4), kUserParamsSize); }

// A client the test drives by hand: plain non-blocking socket, small
// buffers, and it never reads.
class DeafClient {
public:
    explicit DeafClient(quint16 port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        const int small = 16 * 1024;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~DeafClient() { ::close(fd_); }

    bool connected() const { return connected_; }

    // Sends as much of `bytes` as the system takes now: 0 when it takes
    // nothing yet, -1 when the connection has failed.
    long sendSome(const QByteArray& bytes, int from) {
        const ssize_t n = ::send(fd_, bytes.constData() + from, size_t(bytes.size() - from), MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        return long(n);
    }

private:
    int fd_;
    bool connected_ = false;
};

// What the server answers to one request, worked out from the command
// alone: the live emulator's record is never changed by these requests.
int replySize(const REQUEST_HEADER& header) {
    switch (header.command) {
    case 1: return kResultSize;
    case 3:
        return kPictureChunkHeaderSize +
               (header.offset < uint32_t(kCameraPictureSize)
                    ? int(std::min<uint32_t>(header.length, uint32_t(kCameraPictureSize) - header.offset))
                    : 0);
    case 4: return kUserParamsSize;
    case 5: return header.payload_size == uint32_t(kUserParamsSize) ? 2 : 0;
    case 6: return 2;
    case 32: return kExtentsSize;
    case 130: return kFactoryImageSize;
    default: return 0;
    }
}

// A random request over every code of the table and beyond, with random
// payloads, offsets and lengths; writes of a whole record put back the same one.
QByteArray randomRequest(std::mt19937& random, const QByteArray& record, int& expectedReply) {
    const auto pick = [&random](uint32_t bound) { return uint32_t(random() % bound); };
    REQUEST_HEADER header{};
    header.command = pick(5) == 0 ? uint32_t(random()) : pick(150);
    header.offset = pick(8) == 0 ? uint32_t(random()) : pick(kCameraPictureSize + 1000);
    header.length = pick(4096);
    QByteArray payload;
    if (header.command == 5 && pick(2) == 0)
        payload = record;
    else if (pick(3) != 0)
        payload = QByteArray(int(pick(1100)), char(random()));
    header.payload_size = uint32_t(payload.size());
    // Write factory params is followed by an image after its payload, unless
    // the payload is the image.
    if (header.command == 131 && payload.size() != kFactoryImageSize)
        payload += QByteArray(kFactoryImageSize, '\x5C');
    expectedReply = replySize(header);
    return QByteArray(reinterpret_cast<const char*>(&header), sizeof header) + payload;
}

class Load : public ::testing::Test {
protected:
    void SetUp() override {
        // Pool threads from earlier tests would look like leftovers.
        QThreadPool::globalInstance()->waitForDone();
    }

    // Once the emulator has stopped, what it took under load is given back.
    // Sanitizers hold freed memory on purpose, so only plain builds check it.
    void expectMemoryBackTo(long baselineKb) {
        emulator.stop();
#ifndef PX310_SANITIZED
        ::malloc_trim(0);
        const long grownKb = processRssKb() - baselineKb;
        std::printf("memory after the emulator stopped: %+ld kB\n", grownKb);
        EXPECT_LT(grownKb, kMemorySlackKb);
#else
        (void)baselineKb;
#endif
    }

    static constexpr long kMemorySlackKb = 16 * 1024;
    LiveEmulator emulator;
};

TEST_F(Load, ConnectAbortCyclesLeaveTheServerAnsweringAndTheStreamRunning) {
    emulator.start();
    const long baselineKb = processRssKb();
    const QByteArray record = paramsImage(emulator.params().snapshot());
    const QByteArray write = encodeRequest(5, record);
    const int cycles = 300;
    for (int i = 0; i < cycles; ++i) {
        auto client = emulator.connectClient();
        ASSERT_EQ(client->state(), QAbstractSocket::ConnectedState) << "cycle " << i;
        switch (i % 3) {
        case 0:  // in the middle of a header
            client->write(encodeRequest(4).left(1 + i % 15));
            break;
        case 1:  // in the middle of a payload
            client->write(write.left(kRequestHeaderSize + 1 + i % (kUserParamsSize - 1)));
            break;
        case 2:  // while the second of two results waits for its slot
            ASSERT_EQ(exchange(*client, encodeRequest(1) + encodeRequest(1), kResultSize).size(), kResultSize);
            break;
        }
        client->waitForBytesWritten(1000);
        client->abort();
    }
    EXPECT_EQ(emulator.connects, cycles);

    auto last = emulator.connectClient();
    EXPECT_EQ(readParamsOf(*last), record);
    EXPECT_EQ(exchange(*last, encodeRequest(1), kResultSize).size(), kResultSize);
    // A client replaced by the next one is dropped without a word to the
    // stream; the last one leaving lets it run.
    const int disconnectsBefore = emulator.disconnects;
    last->disconnectFromHost();
    EXPECT_TRUE(waitUntil([&] { return emulator.disconnects > disconnectsBefore; }));
    EXPECT_EQ(emulator.nextStreamDatagram().size(), kResultSize) << "the stream resumes";
    expectMemoryBackTo(baselineKb);
}

TEST_F(Load, AClientThatNeverReadsHoldsBoundedMemoryAndTheNextClientIsServed) {
    emulator.start();
    const long baselineKb = processRssKb();
    DeafClient deaf(emulator.serverPort());
    ASSERT_TRUE(deaf.connected());
    ASSERT_TRUE(waitUntil([&] { return emulator.connects == 1; }));

    // Each request asks for the whole picture (300 KB). A server that kept
    // reading would take every request and queue every reply; one that
    // holds back stops reading, and the system soon refuses more.
    QByteArray batch = encodeRequest(2);
    for (int i = 0; i < 256; ++i)
        batch += encodeRequest(3, {}, 0, kCameraPictureSize);
    constexpr long kRequestLimit = 100000;  // 30 GB of replies
    long requestsSent = 0;
    int refusedInARow = 0;
    int at = 0;
    while (refusedInARow < 100 && requestsSent < kRequestLimit) {
        const long n = deaf.sendSome(batch, at);
        ASSERT_GE(n, 0) << "the server dropped a client that is only slow";
        if (n == 0) {
            ++refusedInARow;
            QThread::msleep(10);
            continue;
        }
        refusedInARow = 0;
        at += int(n);
        if (at == batch.size()) {
            at = 0;
            requestsSent += 256;
        }
    }
    EXPECT_EQ(refusedInARow, 100) << "the server kept reading requests whose replies nobody takes";
    EXPECT_LT(requestsSent, kRequestLimit);
    const long grownKb = processRssKb() - baselineKb;
    EXPECT_LT(grownKb, 100 * 1024) << "replies piled up in memory";
    std::printf("deaf client: %ld requests taken before the server held back, memory grew %ld kB\n", requestsSent, grownKb);

    auto next = emulator.connectClient();
    EXPECT_EQ(readParamsOf(*next), paramsImage(emulator.params().snapshot())) << "the next client takes over";
    expectMemoryBackTo(baselineKb);
}

TEST_F(Load, ThousandsOfRandomRequestsAtFullSpeedGetEveryReplyWhole) {
    emulator.params().update([](USER_PARAMS& p) { p.udp_frequency_u16 = 0; });  // results unpaced
    emulator.start();
    const long baselineKb = processRssKb();
    const QByteArray record = paramsImage(emulator.params().snapshot());
    std::mt19937 random(310);
    QByteArray stream;
    qint64 expected = 0;
    for (int i = 0; i < 3000; ++i) {
        int reply = 0;
        stream += randomRequest(random, record, reply);
        expected += reply;
    }
    auto client = emulator.connectClient();
    const QByteArray replies = exchange(*client, stream + encodeRequest(4), int(expected) + kUserParamsSize);
    ASSERT_EQ(replies.size(), expected + kUserParamsSize) << "a reply lost, added or cut";
    EXPECT_EQ(replies.right(kUserParamsSize), record);
    EXPECT_EQ(client->state(), QAbstractSocket::ConnectedState);
    expectMemoryBackTo(baselineKb);
}

TEST_F(Load, StartStopCyclesWithAClientAndAFullRateStreamLeaveNothingBehind) {
    const int threadsBefore = processThreadCount();
    const int descriptorsBefore = openDescriptorCount();
    emulator.params().update([](USER_PARAMS& p) { p.udp_frequency_u16 = 5000; });  // faster than the stream paces
    const int cycles = 60;
    for (int i = 0; i < cycles; ++i) {
        emulator.start();
        ASSERT_NE(emulator.serverPort(), 0) << "cycle " << i;
        auto client = emulator.connectClient();
        ASSERT_EQ(readParamsOf(*client).size(), kUserParamsSize) << "cycle " << i;
        // The client says it has finished but stays: the stream runs again.
        client->write(encodeRequest(25));
        client->flush();
        ASSERT_EQ(emulator.nextStreamDatagram().size(), kResultSize) << "cycle " << i;
        emulator.stop();
        client->abort();
    }
    EXPECT_TRUE(QThreadPool::globalInstance()->waitForDone(10000)) << "a counter task still runs";
    EXPECT_TRUE(waitUntil([&] { return processThreadCount() <= threadsBefore; }, 10000))
        << processThreadCount() << " threads, " << threadsBefore << " before";
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() <= descriptorsBefore; }, 10000))
        << openDescriptorCount() << " descriptors, " << descriptorsBefore << " before";
}


}  // namespace

#include "log/LogCategories.h"
#include "udp/DatagramSocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kLargerThanUdpAllows = 65536;
constexpr uint32_t kNeverAHostsOwn = 0x00000001u;  // 0.0.0.1: "this network", never an interface's
constexpr uint16_t kDiscardPort = 9;               // never reached: the system refuses first
constexpr int kRefused = 3;

std::atomic<int> tooLongWarnings{0};

void countTooLongWarnings(QtMsgType, const QMessageLogContext&, const QString& text) {
    tooLongWarnings += text.contains(QString::fromLocal8Bit(std::strerror(EMSGSIZE)));
}

// Queued datagrams go out through another system call than single ones.
class RefusedSends : public ::testing::TestWithParam<bool> {
protected:
    void sendTooLarge() {
        ASSERT_TRUE(socket.open(kLoopbackAddress)) << socket.errorString().toStdString();
        const QtMessageHandler previous = qInstallMessageHandler(countTooLongWarnings);
        for (int i = 0; i < kRefused; ++i)
            GetParam() ? socket.queue(tooLarge, kLoopbackAddress, kDiscardPort)
                       : void(socket.sendTo(tooLarge.constData(), kLargerThanUdpAllows, kLoopbackAddress, kDiscardPort));
        socket.flush();
        qInstallMessageHandler(previous);
    }

    SocketCounters counters;
    DatagramSocket socket{lcStream, counters};
    const QByteArray tooLarge = QByteArray(kLargerThanUdpAllows, 'x');
};

TEST_P(RefusedSends, EachDatagramTheSystemRefusesIsCounted) {
    sendTooLarge();
    EXPECT_EQ(counters.refused, uint64_t(kRefused));
}

TEST_P(RefusedSends, OnlyTheFirstRefusalForAReasonIsLogged) {
    tooLongWarnings = 0;
    sendTooLarge();
    EXPECT_EQ(tooLongWarnings, 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, RefusedSends, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Queued" : "OneByOne"); });

TEST_F(RefusedSends, ABindThatFailsSaysWhyInTheSystemsWords) {
    ASSERT_FALSE(socket.open(kNeverAHostsOwn));
    EXPECT_TRUE(socket.errorString().endsWith(QString::fromLocal8Bit(std::strerror(EADDRNOTAVAIL))));
}

TEST_F(RefusedSends, ABindThatFailsKeepsTheSystemsErrno) {
    ASSERT_FALSE(socket.open(kNeverAHostsOwn));
    EXPECT_EQ(socket.failure().value_or(Failure{}).systemError, EADDRNOTAVAIL);
}

TEST_F(RefusedSends, ABindThatFailsIsCounted) {
    ASSERT_FALSE(socket.open(kNeverAHostsOwn));
    EXPECT_EQ(counters.failed, 1u);
}

}  // namespace

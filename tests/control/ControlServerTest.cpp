#include "control/ControlServer.h"
#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Records each call; the faults are answered later, from a timer, as a
// target whose work takes a while would.
class FakeTarget : public ControlTarget {
public:
    QStringList calls;

    void setFaults(const QString& scanner, const FaultSpec& spec, ControlAnswer answer) override {
        calls << QStringLiteral("faults %1 %2").arg(scanner, formatFaultSpec(spec));
        QTimer::singleShot(20, [answer, spec] { answer({true, formatFaultSpec(spec)}); });
    }
    void loadProfile(const QString& scanner, const QString& path, ControlAnswer answer) override {
        take("profile " + scanner + ' ' + path, answer);
    }
    void replay(const QString& scanner, const QString& path, ControlAnswer answer) override {
        take("replay " + scanner + ' ' + path, answer);
    }
    void beginOutage(const QString& scanner, std::chrono::milliseconds length, ControlAnswer answer) override {
        take(QStringLiteral("outage %1 %2").arg(scanner).arg(length.count()), answer);
    }
    // Its answer spans lines, as the stats of a scanner may.
    void stats(const QString& scanner, ControlAnswer answer) override { take("stats\n" + scanner, answer); }
    Scanner* addressed(const QString& scanner, const ControlAnswer& answer) override {
        take("scanner " + scanner, answer);
        return nullptr;
    }

private:
    void take(const QString& call, const ControlAnswer& answer) {
        calls << call;
        answer({!call.startsWith(QLatin1String("profile ")), call});
    }
};

class ControlServerTest : public testing::Test {
protected:
    void SetUp() override {
        path = dir.filePath(QStringLiteral("control"));
        const MaybeFailure failure = server.listen(path);
        ASSERT_FALSE(failure) << messageOf(failure).toStdString();
    }

    // Sends `text` on a new connection, then `later` once the first command
    // has reached the target, and reads `lines` answer lines.
    QStringList exchange(const QByteArray& text, int lines, const QByteArray& later = {}) {
        QLocalSocket client;
        client.connectToServer(path);
        EXPECT_TRUE(client.waitForConnected(2000));
        client.write(text);
        if (!later.isEmpty() && waitUntil([this] { return !target.calls.isEmpty(); }))
            client.write(later);
        QStringList answers;
        waitUntil([&] {
            while (client.canReadLine())
                answers << QString::fromUtf8(client.readLine()).trimmed();
            return answers.size() >= lines || client.state() == QLocalSocket::UnconnectedState;
        });
        return answers;
    }

    QTemporaryDir dir;
    QString path;
    FakeTarget target;
    ControlServer server{target};
};

TEST_F(ControlServerTest, RunsLinesInOrderAndAnswersEachOnceItHasTakenEffect) {
    const QByteArray later = "stats\nfaults loss=5\noutage 1.5\nprofile a b.csv\nfaults clear\n";
    QStringList answers = exchange("--scanner 127.0.0.2 faults cut=2%\r\n", 6, later);
    ASSERT_EQ(answers.size(), 6);
    EXPECT_TRUE(answers.takeAt(2).startsWith(QLatin1String("error \"loss=5\""))) << "a bad line reaches nothing";
    EXPECT_EQ(answers, (QStringList{"ok cut=2%", "ok stats", "ok outage  1500", "error profile  a b.csv", "ok none"}));
    EXPECT_EQ(target.calls, (QStringList{"faults 127.0.0.2 cut=2%", "stats\n", "outage  1500", "profile  a b.csv",
                                         "faults  none"}));
}

TEST_F(ControlServerTest, AnswersALineTooLongOnceAndServesTheLineAfterIt) {
    const QByteArray tooLong(10000, 'x');  // more than the server reads at once: dropped in pieces
    EXPECT_EQ(exchange(tooLong + "\nstats\n", 2).join(" | ").toStdString(), "error line longer than 4096 bytes | ok stats");
}

// Unread answers stop the reading of further lines (each answer here echoes
// its long line) until the client reads them; one client past the limit is
// turned away at once.
TEST_F(ControlServerTest, ReadsNoFurtherThanItsClientReadsAndServesALimitedNumberOfClients) {
    QLocalSocket client;
    client.setReadBufferSize(4096);  // so that the answers stay unread
    client.connectToServer(path);
    ASSERT_TRUE(client.waitForConnected(2000));
    const int sent = 1000;
    for (int i = 0; i < sent; ++i)
        client.write("replay " + QByteArray(3000, 'x') + '\n');
    int taken = -1;  // lines the server took once it takes no more
    while (taken != int(target.calls.size())) {
        taken = int(target.calls.size());
        waitUntil([] { return false; }, 300);
    }
    EXPECT_LT(taken, sent / 2);
    QByteArray answers;
    EXPECT_TRUE(waitUntil([&] { return (answers += client.readAll()).count("ok replay") == sent; }, 20000))
        << answers.count("ok replay");

    std::vector<QLocalSocket> others(ControlServer::kMaxControlConnections - 1);
    for (QLocalSocket& other : others) {
        other.connectToServer(path);
        ASSERT_TRUE(other.waitForConnected(2000));
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(exchange("stats\n", 1).value(0).startsWith(QLatin1String("error more than 64")));
    others.pop_back();
    EXPECT_TRUE(waitUntil([&] { return exchange("stats\n", 1).value(0) == QLatin1String("ok stats"); }));
}

TEST_F(ControlServerTest, OnlyItsUserCanOpenTheSocket) {
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                                      QFile::WriteOther | QFile::ExeOther;
    EXPECT_EQ(QFileInfo(path).permissions() & others, QFile::Permissions());

    server.setAllowedUser(::getuid() + 1);
    EXPECT_TRUE(exchange("stats\n", 1).value(0).startsWith("error permission denied") && target.calls.isEmpty());
}

// A socket file whose process has gone, as after a crash.
void leaveStaleSocket(const QString& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    ASSERT_LT(size_t(name.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

TEST_F(ControlServerTest, TakesOverAStaleSocketButNeitherALiveOneNorAnotherFile) {
    ControlServer second(target);
    EXPECT_TRUE(messageOf(second.listen(path)).contains(QLatin1String("another process")));
    const QString plain = dir.filePath(QStringLiteral("notes.txt"));
    ASSERT_TRUE(writeFile(plain, {}));
    EXPECT_TRUE(second.listen(plain) && QFileInfo(plain).isFile()) << "a file that is no socket is kept";
    leaveStaleSocket(dir.filePath(QStringLiteral("stale")));
    const QString working = QDir::currentPath();
    QDir::setCurrent(dir.path());
    const MaybeFailure stale = second.listen(QStringLiteral("stale"));
    EXPECT_FALSE(stale) << messageOf(stale).toStdString();
    QDir::setCurrent(working);
    EXPECT_EQ(second.path(), dir.filePath(QStringLiteral("stale"))) << "relative to the working folder";
}

}  // namespace

#include "control/ControlServer.h"
#include "control/ControlStats.h"
#include "support/TestUtil.h"

#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>
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
        calls << QStringLiteral("profile %1 %2").arg(scanner, path);
        answer({false, QStringLiteral("no such file")});
    }
    void replay(const QString& scanner, const QString& path, ControlAnswer answer) override {
        calls << QStringLiteral("replay %1 %2").arg(scanner, path);
        answer({true, path});
    }
    void beginOutage(const QString& scanner, std::chrono::milliseconds length, ControlAnswer answer) override {
        calls << QStringLiteral("outage %1 %2").arg(scanner).arg(length.count());
        answer({true, QString()});
    }
    void stats(const QString& scanner, ControlAnswer answer) override {
        calls << QStringLiteral("stats %1").arg(scanner);
        answer({true, QStringLiteral("{}")});
    }
};

class ControlServerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("control"));
        ASSERT_TRUE(server.listen(path)) << server.errorString().toStdString();
    }

    // Sends `text` on a new connection and reads `lines` answer lines.
    QStringList exchange(const QByteArray& text, int lines) {
        QLocalSocket client;
        client.connectToServer(path);
        EXPECT_TRUE(client.waitForConnected(2000));
        client.write(text);
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
    const QStringList answers = exchange("--scanner 127.0.0.2 faults cut=2%\r\nstats\noutage 1.5\nprofile a b.csv\n", 4);
    EXPECT_EQ(answers, (QStringList{"ok cut=2%", "ok {}", "ok", "error no such file"}));
    EXPECT_EQ(target.calls,
              (QStringList{"faults 127.0.0.2 cut=2%", "stats ", "outage  1500", "profile  a b.csv"}));
}

TEST_F(ControlServerTest, ABadCommandIsAnsweredWithAnErrorAndReachesNothing) {
    const QStringList answers = exchange("faults loss=5\nfaults clear\n", 2);
    ASSERT_EQ(answers.size(), 2);
    EXPECT_TRUE(answers[0].startsWith(QLatin1String("error \"loss=5\""))) << answers[0].toStdString();
    EXPECT_EQ(answers[1], QLatin1String("ok none"));
    EXPECT_EQ(target.calls, QStringList{"faults  none"});
}

TEST_F(ControlServerTest, OnlyItsUserCanOpenTheSocket) {
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                                      QFile::WriteOther | QFile::ExeOther;
    EXPECT_EQ(QFileInfo(path).permissions() & others, QFile::Permissions());

    server.setAllowedUser(::getuid() + 1);
    const QStringList answers = exchange("stats\n", 1);
    ASSERT_EQ(answers.size(), 1);
    EXPECT_TRUE(answers[0].startsWith(QLatin1String("error permission denied")));
    EXPECT_TRUE(target.calls.isEmpty());
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
    EXPECT_FALSE(second.listen(path));
    EXPECT_TRUE(second.errorString().contains(QLatin1String("another process")));

    const QString plain = dir.filePath(QStringLiteral("notes.txt"));
    QFile file(plain);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_FALSE(second.listen(plain));
    EXPECT_TRUE(QFileInfo(plain).isFile());

    const QString stale = dir.filePath(QStringLiteral("stale"));
    leaveStaleSocket(stale);
    EXPECT_TRUE(second.listen(stale)) << second.errorString().toStdString();
}

TEST(ControlStats, IsOneLineOfJsonWithEveryCountAndTheCurrentFaults) {
    FaultCounts c;
    c.datagramsSent = 10, c.lost = 1, c.duplicated = 2, c.reordered = 3, c.corrupted = 4, c.delayed = 5;
    c.repliesDelayed = 6, c.connectionsDropped = 7, c.repliesCut = 8, c.stalls = 9, c.hellosSuppressed = 11;
    c.requestsByCommand = {{1, 12}, {130, 13}};
    c.clientsConnected = 1;
    FaultSpec spec;
    spec.cutPpm = 20000;
    EXPECT_EQ(jsonLine(statsJson(c, spec)),
              QLatin1String("{\"clients_connected\":1,\"current_faults\":\"cut=2%\",\"datagrams_sent\":10,"
                            "\"faults\":{\"connections_dropped\":7,\"corrupted\":4,\"delayed\":5,\"duplicated\":2,"
                            "\"hellos_suppressed\":11,\"lost\":1,\"reordered\":3,\"replies_cut\":8,"
                            "\"replies_delayed\":6,\"stalls\":9},\"requests\":{\"1\":12,\"130\":13}}"));
}

}  // namespace

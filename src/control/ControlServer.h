#pragma once

#include "control/ControlCommand.h"
#include "control/ControlTarget.h"
#include "log/Failure.h"

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <sys/types.h>

class QLocalSocket;

// The local control socket: a Unix socket that only its user can open (file
// mode and, on each connection, the peer's credentials). Reads one command
// per line, runs them one after another on `target`, and writes one answer
// line for each: "ok TEXT" once it has taken effect, "error TEXT" when it
// changed nothing. A line longer than kMaxControlLine is answered once with
// an error and dropped up to its newline. A client that leaves its answers unread is read no further
// until it catches up; at most kMaxControlConnections are served at once.
class ControlServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxControlConnections = 64;

    explicit ControlServer(ControlTarget& target, QObject* parent = nullptr);
    ~ControlServer() override;

    // Replaces a socket file that nobody listens on any more; refuses one in
    // use and any other kind of file. A relative path is taken from the working folder.
    MaybeFailure listen(const QString& path);
    QString path() const { return server_.fullServerName(); }

    // The user whose processes may connect: this process's user unless a test says otherwise.
    void setAllowedUser(uid_t uid) { allowedUid_ = uid; }

private:
    struct Connection;

    void onNewConnection();
    static void refuse(QLocalSocket* socket, const QString& why);
    void runNextLine(const std::shared_ptr<Connection>& connection);
    ControlAnswer answerTo(const std::shared_ptr<Connection>& connection);

    ControlTarget& target_;
    QLocalServer server_;
    uid_t allowedUid_;
    int connections_ = 0;
};

// The user id of the process at the other end of a connected local socket.
std::optional<uid_t> peerUid(qintptr socketDescriptor);
// Only the allowed user's processes may drive the emulator.
inline bool peerAllowed(std::optional<uid_t> peer, uid_t allowed) { return peer && *peer == allowed; }

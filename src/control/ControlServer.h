#pragma once

#include "control/ControlCommand.h"
#include "control/ControlTarget.h"

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
// changed nothing.
class ControlServer : public QObject {
    Q_OBJECT
public:
    explicit ControlServer(ControlTarget& target, QObject* parent = nullptr);
    ~ControlServer() override;

    // Replaces a socket file that nobody listens on any more; refuses one in
    // use and any other kind of file.
    bool listen(const QString& path);
    QString errorString() const { return error_; }
    QString path() const { return server_.fullServerName(); }

    // The user whose processes may connect: this process's user unless a test says otherwise.
    void setAllowedUser(uid_t uid) { allowedUid_ = uid; }

private:
    struct Connection;

    bool fail(const QString& error);
    void onNewConnection();
    void runNextLine(const std::shared_ptr<Connection>& connection);
    void dispatch(const ControlCommand& command, const ControlAnswer& answer);
    ControlAnswer answerTo(const std::shared_ptr<Connection>& connection);

    ControlTarget& target_;
    QLocalServer server_;
    QString error_;
    uid_t allowedUid_;
};

// The user id of the process at the other end of a connected local socket.
std::optional<uid_t> peerUid(qintptr socketDescriptor);
// Only the allowed user's processes may drive the emulator.
inline bool peerAllowed(std::optional<uid_t> peer, uid_t allowed) { return peer && *peer == allowed; }

#pragma once

#include "faults/ServerFaults.h"

#include <QByteArray>
#include <cstdint>
#include <memory>

class QObject;
class QTimer;

// Where the gate's replies go: the served connection.
class ReplyOutlet {
public:
    // `failureLine` goes to the log when the bytes cannot be written; none: nothing is logged.
    virtual void writeReply(const QByteArray& bytes, const char* failureLine) = 0;
    // Ends the connection once what was written is out.
    virtual void closeAfterReplies() = 0;
    // What the gate held or delayed has gone its way: serve again while it is open().
    virtual void resumeServing() = 0;

protected:
    ~ReplyOutlet() = default;
};

// The served connection's replies on their way out. Without faults a reply
// is written as it comes; with them, a request's reply is gathered while it
// is served and then written as the faults plan it, at once or when its delay
// is over. A held reply waits for release(). Lives on the server's thread,
// as a member of the server, whose object parents its timer; the outlet
// outlives it.
class ReplyGate {
public:
    ReplyGate(QObject* server, ReplyOutlet& outlet);
    ReplyGate(const ReplyGate&) = delete;
    ReplyGate& operator=(const ReplyGate&) = delete;

    // Before the start: every connection taken gets its faults from
    // `faults`, which outlive the server, and its requests are counted there.
    void useFaults(ServerFaults* faults) { faults_ = faults; }
    // A new client is served from now on: its faults start.
    void takeConnection();
    // The served client is gone, and with it what was gathered, held or planned for it.
    void dropConnection();

    // Around one request's dispatch: what send() gets in between is its reply.
    void beginRequest(uint32_t command);
    void send(const QByteArray& bytes, const char* failureLine);
    void endRequest();

    // The reply of the request being served waits, and so do later requests,
    // until release(); a release with nothing held does nothing.
    void hold() { held_ = true; }
    void release();

    // False while a reply is held or waits for its time, and once the faults
    // have stopped reading the connection or are closing it.
    bool open() const;

private:
    void plan();
    void writePlanned();

    ReplyOutlet& outlet_;
    ServerFaults* faults_ = nullptr;
    std::unique_ptr<ConnectionFaults> connectionFaults_;  // the served connection's
    bool gathering_ = false;
    bool held_ = false;
    QByteArray gathered_;
    const char* failureLine_ = nullptr;
    uint32_t command_ = 0;  // whose reply gathered_ holds
    ReplyPlan plan_;
    QTimer* delayTimer_;  // the server's child, so that it moves with it to its thread
};

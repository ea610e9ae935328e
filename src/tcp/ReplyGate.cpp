#include "tcp/ReplyGate.h"

#include <QTimer>
#include <utility>

ReplyGate::ReplyGate(QObject* server, ReplyOutlet& outlet) : outlet_(outlet), delayTimer_(new QTimer(server)) {
    delayTimer_->setSingleShot(true);
    delayTimer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(delayTimer_, &QTimer::timeout, delayTimer_, [this] {
        writePlanned();
        outlet_.resumeServing();
    });
}

void ReplyGate::takeConnection() {
    if (faults_)
        connectionFaults_ = std::make_unique<ConnectionFaults>(*faults_);
}

void ReplyGate::dropConnection() {
    delayTimer_->stop();
    gathered_.clear();
    held_ = false;  // a save goes on; its answer has no one to go to
    connectionFaults_.reset();
}

void ReplyGate::beginRequest(uint32_t command) {
    command_ = command;
    gathering_ = connectionFaults_ != nullptr;
}

void ReplyGate::send(const QByteArray& bytes, const char* failureLine) {
    if (gathering_ || held_) {
        gathered_ += bytes;
        failureLine_ = failureLine;
        return;
    }
    outlet_.writeReply(bytes, failureLine);
}

void ReplyGate::endRequest() {
    gathering_ = false;
    if (connectionFaults_ && !held_)
        plan();
}

void ReplyGate::release() {
    if (!std::exchange(held_, false))
        return;
    if (connectionFaults_)
        plan();
    else
        outlet_.writeReply(std::exchange(gathered_, {}), failureLine_);
    outlet_.resumeServing();
}

bool ReplyGate::open() const {
    return !held_ && (!connectionFaults_ || (connectionFaults_->reading() && !delayTimer_->isActive()));
}

void ReplyGate::plan() {
    plan_ = connectionFaults_->onRequest(command_, gathered_.size());
    if (plan_.delay.count() > 0)
        delayTimer_->start(plan_.delay);
    else
        writePlanned();
}

// A cut or dropped connection closes once its bytes are out; the client
// reads them, then the end of the stream.
void ReplyGate::writePlanned() {
    const QByteArray reply = std::exchange(gathered_, {});
    if (plan_.bytes > 0)
        outlet_.writeReply(reply.left(plan_.bytes), failureLine_);
    if (plan_.closeAfter)
        outlet_.closeAfterReplies();
}

#include "tcp/SaveHold.h"

#include "tcp/ReplyGate.h"

#include <QObject>
#include <mutex>
#include <utility>

// The hold as the writing thread sees it: a call posted through it reaches
// the hold while it lives and nothing once it has gone.
class SaveHold::Handle {
public:
    Handle(QObject* server, SaveHold* hold) : server_(server), hold_(hold) {}
    // Never inlined, so that startSave names the posting for the sanitizer's suppression.
    Q_NEVER_INLINE void postSaved() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (hold_)
            QMetaObject::invokeMethod(server_, [hold = hold_] { hold->onSaved(); }, Qt::QueuedConnection);
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = nullptr;
    }

private:
    std::mutex mutex_;
    QObject* const server_;
    SaveHold* hold_;
};

SaveHold::SaveHold(QObject* server, ReplyGate& replies)
    : replies_(replies), handle_(std::make_shared<Handle>(server, this)) {}

SaveHold::~SaveHold() { handle_->clear(); }

void SaveHold::holdUntilSaved() {
    if (!saver_)
        return;
    replies_.hold();
    if (saveRunning_)
        saveAgain_ = true;  // an earlier client's save; this one's record comes after it
    else
        startSave();
}

void SaveHold::startSave() {
    saveRunning_ = true;
    saver_([handle = handle_] { handle->postSaved(); });
}

// A dropped client's save still ran to its end; a connection that waits for
// one goes on with its reply.
void SaveHold::onSaved() {
    saveRunning_ = false;
    if (std::exchange(saveAgain_, false))
        return startSave();
    replies_.release();
}

#pragma once

#include <functional>
#include <memory>

class QObject;
class ReplyGate;

// A client's flush, saved off the server's thread: its reply and the requests
// after it wait in the server's reply gate until the file is written, while
// the server goes on with its other work. One save runs at a time; a flush
// that comes while one runs gets a save of its own after it, as its record
// may be newer. Lives on the server's thread, as a member of the server; a
// save still running when it goes reports to no one.
class SaveHold {
public:
    // Called on the server's thread with what to call, from any thread, once
    // the file is written.
    using ParamsSaver = std::function<void(std::function<void()> saved)>;

    // Its saves report on `server`'s thread.
    SaveHold(QObject* server, ReplyGate& replies);
    ~SaveHold();
    SaveHold(const SaveHold&) = delete;
    SaveHold& operator=(const SaveHold&) = delete;

    // Before the start. Without a saver a flush is answered at once.
    void useSaver(ParamsSaver save) { saver_ = std::move(save); }
    // The served connection's flush.
    void holdUntilSaved();

private:
    class Handle;

    void startSave();
    void onSaved();

    ReplyGate& replies_;
    ParamsSaver saver_;
    std::shared_ptr<Handle> handle_;  // how the writing thread reaches this hold
    bool saveRunning_ = false;
    bool saveAgain_ = false;  // a flush came while the last save ran: its record may be newer
};

#pragma once

#include "params/UserParams.h"
#include "profile/CameraPicture.h"
#include "profile/ProfileSource.h"
#include "state/MeasurementSchedule.h"
#include "tcp/RequestFramer.h"
#include "state/ScannerState.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

// Where a request's effects go: the connection's replies, the log and the
// server's signals.
class CommandSink {
public:
    // `failureLine` goes to the log when the reply cannot be written; none: nothing is logged.
    virtual void sendReply(const QByteArray& bytes, const char* failureLine) = 0;
    virtual void log(const QString& line) = 0;
    virtual void userParamsUpdated() = 0;
    virtual void flushParamsRequested() = 0;
    // The client says it has finished (it stays connected).
    virtual void clientFinished() = 0;

protected:
    ~CommandSink() = default;
};

// Runs requests against the scanner's state. Lives on the server thread; the
// picture transfer counters belong to the server, not to a connection.
class CommandDispatcher {
public:
    CommandDispatcher(ScannerState& state, const ProfileFeed& profile, const CameraPicture* picture,
                      MeasurementSchedule& schedule);

    void dispatch(const Request& request, CommandSink& sink);

    // How long a request whose header is `header` has to wait before it may
    // be dispatched; a result is taken up (its counters fixed) here.
    MeasurementSchedule::Clock::duration holdBefore(const REQUEST_HEADER& header);

private:
    void getResult(CommandSink& sink);
    void getImageBuffer(const REQUEST_HEADER& header, CommandSink& sink);
    void writeParams(const QByteArray& payload, CommandSink& sink);
    void writeFactoryParams(const QByteArray& body, CommandSink& sink);

    ScannerState& state_;
    UserParamsStore& params_;
    const ProfileFeed& profile_;
    const CameraPicture* picture_;
    DeviceIdentity& hello_;
    MeasurementSchedule& schedule_;
    uint8_t imageCounter_ = 255;  // the first transfer is number 0
    uint8_t chunkCounter_ = 0;
    ProfileSnapshot scratch_;
    QByteArray result_;
};

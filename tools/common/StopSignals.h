#pragma once

#include <QObject>
#include <sys/types.h>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the thread that created this
// object. The handler only writes a byte to a pipe; the event loop reads it.
// One instance per process.
class StopSignals : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

    // False when the pipe or the handlers could not be set up.
    bool installed() const { return notifier_ != nullptr; }

    // Asks the system for SIGTERM when the parent ends. False when `parent`,
    // the parent at the program's start, has already gone.
    static bool stopWithParent(pid_t parent);

signals:
    void stopRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* notifier_ = nullptr;
};

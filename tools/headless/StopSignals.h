#pragma once

#include <QObject>

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

signals:
    void stopRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* notifier_ = nullptr;
};

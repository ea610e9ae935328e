#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QThread>
#include <thread>

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

QByteArray hexBytes(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

int processThreadCount() {
    static const bool runtimeThreadsStarted = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)runtimeThreadsStarted;
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

// Processes events until `done` holds or `timeoutMs` passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Threads of this process as the system counts them. Before the first count
// a thread is started and joined, so that a sanitizer runtime's own helper
// thread (started with the first thread) is already part of any baseline.
int processThreadCount();

// Parses "36 01 C0 A8" into bytes.
QByteArray hexBytes(const char* text);

#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

// Processes events until `done` holds or `timeoutMs` passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Parses "36 01 C0 A8" into bytes.
QByteArray hexBytes(const char* text);

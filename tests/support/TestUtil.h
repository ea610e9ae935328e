#pragma once

#include "profile/ProfileStore.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

// Processes events until `done` holds or `timeoutMs` passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

class QWidget;

// Shows `widget`, lets it finish painting, runs `change` and tells whether the
// widget is then painted again without anyone asking for it.
bool repaints(QWidget* widget, const std::function<void()>& change);

// Threads of this process as the system counts them. Before the first count
// a thread is started and joined, so that a sanitizer runtime's own helper
// thread (started with the first thread) is already part of any baseline.
int processThreadCount();

// Parses "36 01 C0 A8" into bytes.
QByteArray hexBytes(const char* text);

// Little-endian 16-bit values inside a reply or datagram.
uint16_t u16At(const QByteArray& bytes, int offset);
int16_t s16At(const QByteArray& bytes, int offset);

// Sum of all 16-bit little-endian words with end-around carry; 0xFFFF for an
// intact profile packet, checksum included.
uint16_t wordSum(const QByteArray& bytes);

// A profile of `n` points with distinct, recognisable values.
std::vector<ProfilePoint> rampProfile(int n);

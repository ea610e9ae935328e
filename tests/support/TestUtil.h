#pragma once

#include "profile/ProfileStore.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

class QWidget;

// Processes events until `done` holds or `timeoutMs` passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Shows `widget`, lets it finish painting, runs `change` and tells whether the
// widget is then painted again without anyone asking for it.
bool repaints(QWidget* widget, const std::function<void()>& change);

// Threads of this process as the system counts them, a sanitizer runtime's
// helper thread (started with the first thread) included from the start.
int processThreadCount();
// Descriptors this process holds open.
int openDescriptorCount();

// Parses "36 01 C0 A8" into bytes.
QByteArray hexBytes(const char* text);

// The little-endian 16-bit value inside a reply or datagram.
uint16_t u16At(const QByteArray& bytes, int offset);

// Sum of all 16-bit little-endian words with end-around carry: 0xFFFF for an intact profile packet.
uint16_t wordSum(const QByteArray& bytes);

// A profile of `n` points with distinct, recognisable values.
std::vector<ProfilePoint> rampProfile(int n);

// True when `bytes` went to `path` whole.
bool writeFile(const QString& path, const QByteArray& bytes);
// The file's bytes; empty when it cannot be read.
QByteArray readFile(const QString& path);

// A loopback port nobody listens on at this moment.
quint16 freeTcpPort();
quint16 freeUdpPort();

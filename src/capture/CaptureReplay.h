#pragma once

#include "capture/CaptureReader.h"
#include "profile/ProfileSource.h"

#include <memory>

// A capture to replay. One whose frames fit kMaxCaptureBytesInMemory is read
// whole here: no thread of its own, and neither the stream nor a result ever
// waits for the file. A larger one is read ahead by a CaptureProfileSource.
// Refused when the file cannot be read or holds no profile packet.
Outcome<std::shared_ptr<ProfileSource>> openCaptureReplay(const QString& path, CaptureFilter filter,
                                                          Playback playback);

constexpr size_t kMaxCaptureBytesInMemory = 32u << 20;

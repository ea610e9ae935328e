#pragma once

#include "log/Failure.h"

#include <QString>

// Opens a regular file for reading and returns its descriptor, or why not. The open never blocks: a FIFO or a device, which would hold
// the reader until a writer came, is refused by what was actually opened,
// so a file renamed over the path after a check cannot slip through.
Outcome<int> openRegularFile(const QString& path);

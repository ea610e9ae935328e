#pragma once

#include "log/Failure.h"

// Every scanner holds three descriptors (stream, hello, command server);
// the rest (standard streams, event loops, control socket and its clients,
// a client per server, files) fit in a fixed reserve.
constexpr long kDescriptorsPerScanner = 3;
constexpr long kDescriptorReserve = 96;

inline long descriptorsNeeded(long scanners) { return scanners * kDescriptorsPerScanner + kDescriptorReserve; }

// Raises the soft limit on open descriptors up to the hard one when
// `scanners` need more. The failure names the limit and the need when even
// the hard limit is too low or the system refused to raise it.
MaybeFailure makeRoomForDescriptors(long scanners);

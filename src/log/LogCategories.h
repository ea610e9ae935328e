#pragma once

#include <QLoggingCategory>

// One category per part of the emulator, all named "px310.<part>". Their debug
// lines are off unless a program turns them on (enableEmulatorLog), so tests
// and benchmarks stay quiet.
Q_DECLARE_LOGGING_CATEGORY(lcTcp)
Q_DECLARE_LOGGING_CATEGORY(lcStream)
Q_DECLARE_LOGGING_CATEGORY(lcHello)
Q_DECLARE_LOGGING_CATEGORY(lcParams)
Q_DECLARE_LOGGING_CATEGORY(lcProfile)

// Turns on the debug lines of every category above, each with a time stamp.
void enableEmulatorLog();

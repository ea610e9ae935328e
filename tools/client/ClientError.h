#pragma once

#include <QString>

// Exit codes of px310-client; the README lists them for scripts.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,       // bad command line, field name or value
    kExitNoEmulator = 2,  // nothing to connect to, nothing received
    kExitProtocol = 3,    // short or late reply, bad checksum, malformed bytes
    kExitFile = 4,        // an output file could not be written
};

// Ends a command: main prints the message and exits with the code.
struct ClientError {
    int code;
    QString message;
};

[[noreturn]] inline void fail(int code, const QString& message) { throw ClientError{code, message}; }

#pragma once

#include <array>
#include <cstdint>

// What the server does for a command besides writing its name to the log.
enum class CommandAction {
    LogOnly,
    GetResult,
    GetImage,
    GetImageBuffer,
    ReadParams,
    WriteParams,
    FlushParams,
    ClientFinished,
    GetExtents,
    ReadFactoryParams,
    WriteFactoryParams,
};

struct CommandInfo {
    uint32_t code;
    const char* name;  // the log line, which is also the command's name; empty for none
    CommandAction action;
};

constexpr int kCommandCount = 39;
extern const std::array<CommandInfo, kCommandCount> kCommandTable;

// The table entry for `code`, or nullptr for a code the scanner does not know.
const CommandInfo* findCommand(uint32_t code);

// Whether a request's payload is used (parameter and factory writes); any
// other payload is passed over unread, whatever its size.
bool keepsPayload(uint32_t code);

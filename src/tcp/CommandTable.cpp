#include "tcp/CommandTable.h"

#include <algorithm>

using A = CommandAction;

constexpr std::array<CommandInfo, kCommandCount> kCommandTable = {{
    {0, "set analog out normal", A::LogOnly},
    {1, "", A::GetResult},
    {2, "get image", A::GetImage},
    {3, "get image buffer", A::GetImageBuffer},
    {4, "read params", A::ReadParams},
    {5, "TCP: command: write params", A::WriteParams},
    {6, "flush params", A::FlushParams},
    {7, "calc angel", A::LogOnly},
    {16, "get res pack 0", A::LogOnly},
    {17, "get res pack 1", A::LogOnly},
    {18, "get res pack 2", A::LogOnly},
    {19, "get res pack 3", A::LogOnly},
    {20, "reboot", A::LogOnly},
    {21, "upgrade fw", A::LogOnly},
    {22, "shut up", A::LogOnly},
    {23, "get autoexplosure", A::LogOnly},
    {24, "switch profibus", A::LogOnly},
    {25, "Disconnect from client", A::ClientFinished},
    {32, "get extends", A::GetExtents},
    {129, "get pixels", A::LogOnly},
    {130, "read factory params", A::ReadFactoryParams},
    {131, "write factory params", A::WriteFactoryParams},
    {132, "flush factory params", A::LogOnly},
    {133, "read factory tables", A::LogOnly},
    {134, "write factory tables", A::LogOnly},
    {135, "flush factory tables", A::LogOnly},
    {136, "read firmware", A::LogOnly},
    {137, "flush firmware", A::LogOnly},
    {138, "flush firmware", A::LogOnly},
    {139, "set analog out", A::LogOnly},
    {140, "send spi", A::LogOnly},
    {141, "set calibration mode", A::LogOnly},
    {142, "speed test", A::LogOnly},
    {143, "read fpga params", A::LogOnly},
    {144, "write fpga params", A::LogOnly},
    {145, "flush fpga params", A::LogOnly},
    {146, "create recovery part", A::LogOnly},
    {147, "upload file", A::LogOnly},
    {148, "download file", A::LogOnly},
}};

namespace {
constexpr bool strictlyAscending(const std::array<CommandInfo, kCommandCount>& table) {
    for (size_t i = 1; i < table.size(); ++i)
        if (table[i - 1].code >= table[i].code)
            return false;
    return true;
}
}  // namespace
static_assert(strictlyAscending(kCommandTable), "findCommand's binary search needs unique ascending codes");

const CommandInfo* findCommand(uint32_t code) {
    const auto it = std::lower_bound(kCommandTable.begin(), kCommandTable.end(), code,
                                     [](const CommandInfo& info, uint32_t c) { return info.code < c; });
    return it != kCommandTable.end() && it->code == code ? &*it : nullptr;
}

bool keepsPayload(uint32_t code) {
    const CommandInfo* info = findCommand(code);
    return info && (info->action == A::WriteParams || info->action == A::WriteFactoryParams);
}

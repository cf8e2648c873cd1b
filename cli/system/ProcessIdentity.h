#pragma once

#include <cstdint>
#include <string>

namespace xmodemq {

// This process as no other process on this machine, before or after it, is:
// the boot's id and the process's start time ("BOOT START"). A number alone
// would do, but process numbers come round again.
std::string ThisProcess();

// Whether the process numbered `pid` that ThisProcess() named `identity`
// still runs.
bool StillRunning(std::int64_t pid, const std::string& identity);

}  // namespace xmodemq

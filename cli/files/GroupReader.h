#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

namespace xmodemq {

// Why the caller may not read, through its group, a folder or file that
// `owner` keeps for that group (the daily exchange's spool and journal, read
// by `exchange status`): nothing when `owner` owns it, others cannot write
// to it (nor its group), it has no other names, and the caller is root or a
// member of its group. The caller only reads what passes.
std::optional<std::string> NotSharedWithCaller(const struct stat& st, uid_t owner);

}  // namespace xmodemq

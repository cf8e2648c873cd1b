#pragma once

#include <string>

namespace xmodemq {

// Refuses a device reached through a symbolic link that belongs to another
// user (neither root nor the caller): whoever owns the link chooses where the
// call, and the password, go. Remote lines (rfc2217://) are not paths.
// Throws Refusal.
void CheckDeviceLinks(const std::string& device);

}  // namespace xmodemq

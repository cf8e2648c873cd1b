#pragma once

namespace xmodemquarvel {

// The server's telephone number, dialled after the host's prefix. Hosts cannot
// change it, only prefix it (an outside line, a carrier code).
inline constexpr const char* kServerNumber = "0199001234";

}  // namespace xmodemquarvel

#pragma once

#include <string_view>

namespace xmodemq {

// Writes all of `bytes` to the blocking descriptor `fd`: a short write goes
// on with the rest, an interrupted one (EINTR) is tried again. 0 when
// everything went, else the errno of the failure (EIO for a write that took
// nothing).
int WriteAll(int fd, std::string_view bytes);

}  // namespace xmodemq

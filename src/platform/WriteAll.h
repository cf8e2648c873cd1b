#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace xmodemquarvel {

// Writes all of `bytes` to `fd`: a short write goes on with the rest, and an
// interrupted one (EINTR) is tried again. When a non-blocking descriptor takes
// nothing for now (EAGAIN), `blocked` decides: true once it has waited (try
// again), false to give up; without it, that is a failure. A socket is written
// without raising SIGPIPE. Returns 0 when everything went, or the errno of the
// failure (EAGAIN when `blocked` gave up, EIO for a write that took nothing);
// `written` tells how much went, as it goes.
int WriteAll(int fd, std::string_view bytes, std::size_t& written,
             const std::function<bool()>& blocked = {}, bool socket = false);

// The same, for a caller that only needs to know whether everything went.
inline int WriteAll(int fd, std::string_view bytes) {
  std::size_t written = 0;
  return WriteAll(fd, bytes, written);
}

}  // namespace xmodemquarvel

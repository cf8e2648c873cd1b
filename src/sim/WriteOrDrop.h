#pragma once

#include <string_view>

namespace xmodemquarvel::sim {

// Writes `bytes` to the non-blocking `fd` of a simulated line (a
// pseudo-terminal's master, a terminal server's client socket), waiting up to
// a second at a time for room. When nobody reads or the descriptor fails, the
// rest is dropped, as a line drops what nobody receives. A socket is written
// without raising SIGPIPE.
void WriteOrDrop(int fd, std::string_view bytes, bool socket);

}  // namespace xmodemquarvel::sim

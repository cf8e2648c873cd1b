#pragma once

#include <atomic>
#include <string_view>

namespace xmodemquarvel::sim {

// Writes `bytes` to the non-blocking `fd` of a simulated line (a
// pseudo-terminal's master), waiting up to a second at a time for room. When
// nobody reads, the descriptor fails or `stop` is set, the rest is dropped, as
// a line drops what nobody receives; a stop asked meanwhile is seen within
// 100 ms.
void WriteOrDrop(int fd, std::string_view bytes, const std::atomic<bool>& stop);

}  // namespace xmodemquarvel::sim

#pragma once

#include <cstdint>
#include <string>

namespace xmodemquarvel::protocol {

// "Transfert refusé, status " and the character whose code is the status byte
// plus 48, so that statuses 1 to 8 read as their digit. A status of 208 or more
// has no such character; it is shown in decimal instead.
std::string RefusalDescription(std::uint8_t status);

// Why a receive does not go on at the position that the server answered: a
// position beyond the blocks held, or below zero, names both counts.
std::string ResumeBeyondDescription(std::int64_t answered, std::int64_t held);

}  // namespace xmodemquarvel::protocol

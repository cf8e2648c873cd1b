#pragma once

#include <string>
#include <string_view>

namespace xmodemquarvel {

// Host texts are UTF-8; the line and the files carry one byte per character in
// the single-byte code page Windows-1252, which maps the 256 byte values one to
// one (its five unassigned bytes stand for the C1 controls of the same code).
//
// A character that the code page cannot hold becomes '?'; a byte that is not
// part of valid UTF-8 is taken as it is.
std::string Utf8ToCp1252(std::string_view utf8);
std::string Cp1252ToUtf8(std::string_view bytes);

}  // namespace xmodemquarvel

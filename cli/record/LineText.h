#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace xmodemq {

// A text that travels in a field of `width` bytes of the opening record, in
// the line's code page: refused when it holds a control character (an escape
// sequence, a line feed) or a character that cannot be carried (the
// component would send '?'); a warning added when the field will cut it.
// `what` names it ("l'identifiant"); a `secret` text is never shown. Throws
// Refusal.
void CheckLineText(const std::string& what, const std::string& text, std::size_t width, bool secret,
                   std::vector<std::string>& warnings);

}  // namespace xmodemq

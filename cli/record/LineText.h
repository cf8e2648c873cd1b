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

// The text as a field of `width` bytes of the opening record carries it, and
// so as the server sees it: in the code page, cut to the width, without the
// spaces that fill the field ("PS0001" for "PS0001 "), back in UTF-8. Two
// texts of one such form are one to the server.
std::string AsCarried(const std::string& text, std::size_t width);

// The user id as the server sees it (AsCarried() in the user id's field):
// the account that the journal and the partial files compare.
std::string AccountOf(const std::string& user);

}  // namespace xmodemq

#include "terminal/Text.h"

#include <locale.h>
#include <wchar.h>

#include <cstdio>
#include <set>

#include "system/FileErrors.h"

namespace xmodemq {
namespace {

bool Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// C0 controls, DEL, the C1 controls U+0080 to U+009F, and a byte that is not
// UTF-8 (a terminal in a single-byte code takes 0x80 to 0x9F for C1).
bool IsControl(const std::string& c) {
  const auto first = static_cast<unsigned char>(c[0]);
  if (first < 0x20 || first == 0x7F) return true;
  if (first >= 0x80 && WellFormedLength(c, 0) != c.size()) return true;
  return c.size() == 2 && first == 0xC2 && static_cast<unsigned char>(c[1]) < 0xA0;
}

// The columns of one character: what wcwidth() says in a UTF-8 locale
// (the terminal's, whatever the process's own locale is), one when it says
// nothing.
std::size_t Width(std::string_view c) {
  if (c.size() == 1 || WellFormedLength(c, 0) != c.size()) return 1;
  static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (utf8 == static_cast<locale_t>(0)) return 1;
  const locale_t before = ::uselocale(utf8);
  wchar_t w = 0;
  std::mbstate_t state{};
  const std::size_t used = std::mbrtowc(&w, c.data(), c.size(), &state);
  const int width = used == c.size() ? ::wcwidth(w) : -1;
  ::uselocale(before);
  return width < 0 ? 1 : static_cast<std::size_t>(width);
}

}  // namespace

std::size_t NextCharacter(std::string_view text, std::size_t at) {
  ++at;
  while (at < text.size() && Continuation(text[at])) ++at;
  return at;
}

std::size_t WellFormedLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  unsigned min = 0;
  unsigned code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, min = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, min = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, min = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[at + i]);
    if (!Continuation(text[at + i])) return 0;
    code = (code << 6) | (c & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::vector<std::string> Characters(std::string_view text) {
  std::vector<std::string> out;
  // A continuation byte at the start stands alone.
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t next = NextCharacter(text, at);
    out.emplace_back(text.substr(at, next - at));
    at = next;
  }
  return out;
}

std::size_t Columns(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t at = 0, next = 0; at < text.size(); at = next) {
    next = NextCharacter(text, at);
    n += Width(text.substr(at, next - at));
  }
  return n;
}

std::string FitColumns(std::string_view text, std::size_t columns) {
  std::size_t end = 0;
  for (std::size_t used = 0; end < text.size();) {
    const std::size_t next = NextCharacter(text, end);
    used += Width(text.substr(end, next - end));
    if (used > columns) break;
    end = next;
  }
  return std::string(text.substr(0, end));
}

std::string KeepEnd(std::string_view text, std::size_t columns) {
  if (Columns(text) <= columns) return std::string(text);
  if (columns == 0) return {};
  // From the end, the characters that fit beside the "…".
  std::size_t start = text.size();
  for (std::size_t used = 1; start > 0;) {
    std::size_t at = start - 1;
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
    used += Width(text.substr(at, NextCharacter(text, at) - at));
    if (used > columns) break;
    start = at;
  }
  return "…" + std::string(text.substr(start));
}

std::string Visible(std::string_view text) {
  std::string out;
  for (const std::string& c : Characters(text)) {
    if (!IsControl(c)) {
      out += c;
      continue;
    }
    for (const char byte : c.size() == 2 && WellFormedLength(c, 0) == 2 ? c.substr(1) : c) {
      const auto code = static_cast<unsigned char>(byte);
      static constexpr std::pair<unsigned char, const char*> kNamed[] = {
          {0x1B, "\\e"}, {'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"}};
      const char* named = nullptr;
      for (const auto& [value, name] : kNamed)
        if (code == value) named = name;
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", code);
      out += named != nullptr ? named : escaped;
    }
  }
  return out;
}

void PrintLine(std::FILE* out, std::string_view text) {
  std::fprintf(out, "%s\n", Visible(text).c_str());
  std::fflush(out);
}

std::string ControlsIn(std::string_view text) {
  std::set<std::string> seen;
  for (const std::string& c : Characters(text))
    if (IsControl(c)) seen.insert(Visible(c));
  std::string out;
  for (const std::string& c : seen) out += (out.empty() ? "" : ", ") + c;
  return out;
}

void CheckNoControlCharacters(const std::string& what, const std::string& path) {
  if (const std::string controls = ControlsIn(path); !controls.empty())
    throw Refusal(what + " « " + Visible(path) + " » contient un caractère de contrôle (" +
                  controls + ") : renommez-le");
}

std::string GroupDigits(int64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') out += ' ';
    out += digits[i];
  }
  return out;
}

}  // namespace xmodemq

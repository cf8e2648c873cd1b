#include "terminal/Text.h"

#include <cstdio>
#include <set>

#include "system/FileErrors.h"

namespace xmodemq {
namespace {

bool Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// C0 controls, DEL, and the C1 controls U+0080 to U+009F.
bool IsControl(const std::string& c) {
  const auto first = static_cast<unsigned char>(c[0]);
  if (c.size() == 1) return first < 0x20 || first == 0x7F;
  return c.size() == 2 && first == 0xC2 && static_cast<unsigned char>(c[1]) < 0xA0;
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
  for (std::size_t at = 0; at < text.size(); at = NextCharacter(text, at)) ++n;
  return n;
}

std::string FitColumns(std::string_view text, std::size_t columns) {
  std::size_t end = 0;
  for (std::size_t used = 0; end < text.size() && used < columns; ++used)
    end = NextCharacter(text, end);
  return std::string(text.substr(0, end));
}

std::string KeepEnd(std::string_view text, std::size_t columns) {
  const std::size_t used = Columns(text);
  if (used <= columns) return std::string(text);
  if (columns == 0) return {};
  std::size_t at = 0;
  for (std::size_t skip = used - (columns - 1); skip > 0; --skip) at = NextCharacter(text, at);
  return "…" + std::string(text.substr(at));
}

std::string Visible(std::string_view text) {
  std::string out;
  for (const std::string& c : Characters(text)) {
    if (!IsControl(c)) {
      out += c;
      continue;
    }
    const unsigned code =
        c.size() == 1 ? static_cast<unsigned char>(c[0]) : static_cast<unsigned char>(c[1]);
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", code);
    out += escaped;
  }
  return out;
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

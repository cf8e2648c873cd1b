#include "terminal/Json.h"

#include <cstdio>

#include "terminal/Text.h"

namespace xmodemq {
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = WellFormedLength(text, i);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

void JsonObject::Name(const std::string& name) {
  if (text_.size() > 1) text_ += ',';
  text_ += JsonString(name) + ':';
}

JsonObject& JsonObject::Add(const std::string& name, const std::string& value) {
  Name(name);
  text_ += JsonString(value);
  return *this;
}

JsonObject& JsonObject::Add(const std::string& name, std::int64_t value) {
  Name(name);
  text_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Add(const std::string& name, const std::optional<std::string>& value) {
  if (value) return Add(name, *value);
  Name(name);
  text_ += "null";
  return *this;
}

JsonObject& JsonObject::Add(const std::string& name, const std::optional<std::int64_t>& value) {
  if (value) return Add(name, *value);
  Name(name);
  text_ += "null";
  return *this;
}

}  // namespace xmodemq

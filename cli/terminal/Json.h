#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace xmodemq {

// One JSON object on one line, its members in the order they are added.
// Strings are UTF-8; a byte sequence that is not is written as U+FFFD.
class JsonObject {
 public:
  JsonObject& Add(const std::string& name, const std::string& value);
  JsonObject& Add(const std::string& name, const char* value) {
    return Add(name, std::string(value));
  }
  JsonObject& Add(const std::string& name, std::int64_t value);
  // null when absent.
  JsonObject& Add(const std::string& name, const std::optional<std::string>& value);
  JsonObject& Add(const std::string& name, const std::optional<std::int64_t>& value);
  // "{...}", without a line end.
  std::string Text() const { return text_ + "}"; }

 private:
  void Name(const std::string& name);

  std::string text_ = "{";
};

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);

}  // namespace xmodemq

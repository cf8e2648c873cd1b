#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace xmodemq {

// No password could be had: the message says where one is looked for.
class PasswordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The password of a transfer, from the first source that has one:
//   1. the first line of `password_file`;
//   2. the environment variable XMODEMQ_PASSWORD;
//   3. a prompt without echo, when standard input is a terminal.
// It is never taken from the command line, where every user of the machine
// could read it. Throws PasswordError.
std::string ObtainPassword(const std::optional<std::string>& password_file);

// Name of the environment variable read above.
inline constexpr const char* kPasswordVariable = "XMODEMQ_PASSWORD";

}  // namespace xmodemq

#pragma once

#include <string>

namespace xmodemq {

// The text of `xmodemq --help`.
std::string UsageText();
// The text of `xmodemq --version`.
std::string VersionText();

}  // namespace xmodemq

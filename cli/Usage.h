#pragma once

#include <string>

namespace xmodemq {

// The text of `xmodemq --help`.
std::string UsageText();
// What `xmodemq` alone prints on stderr.
std::string ShortUsageText();
// The text of `xmodemq --version`.
std::string VersionText();

}  // namespace xmodemq

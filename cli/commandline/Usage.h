#pragma once

#include <string>

#include "commandline/Arguments.h"

namespace xmodemq {

// The text of `xmodemq --help`, or with a subcommand that of `xmodemq
// SUBCOMMAND --help`: its options and an example.
std::string UsageText(Command topic = Command::None);
// What `xmodemq` alone prints on stderr.
std::string ShortUsageText();
// The text of `xmodemq --version`.
std::string VersionText();

}  // namespace xmodemq

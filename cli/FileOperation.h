#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Arguments.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemq {

// A local file operation of the component (PackFile, UnPackFile) with its
// progress, counted in the 128-byte blocks of `input` when its size is known.
// The component reports these failures by throwing: the message is shown and
// the status is 1.
int RunFileOperation(const Options& options, const std::string& label, const std::string& input,
                     std::function<void(int32_t&)> xmodemquarvel::ModuleXmodem::*event,
                     const std::function<void(xmodemquarvel::ModuleXmodem&)>& run);

}  // namespace xmodemq

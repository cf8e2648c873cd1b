#pragma once

#include "module/ModuleXmodemImpl.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemquarvel {

// The private fields of a ModuleXmodem, for white-box tests.
struct ModuleXmodemInspector {
  static ModuleXmodem::Impl& Of(ModuleXmodem& module) { return *module.impl_; }
};

}  // namespace xmodemquarvel

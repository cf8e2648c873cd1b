#include <stdexcept>

#include "component/ModuleXmodemImpl.h"

namespace xmodemquarvel {

ReturnValues ModuleXmodem::Impl::Connect(int32_t, const std::string&, const std::string&) {
  throw std::logic_error("Connect : pas encore disponible dans cette version");
}

void ModuleXmodem::Impl::Disconnect() {
  throw std::logic_error("Disconnect : pas encore disponible dans cette version");
}

}  // namespace xmodemquarvel

#include <stdexcept>

#include "component/ModuleXmodemImpl.h"

// The transfer operations arrive with the block link layer.
namespace xmodemquarvel {

ReturnValues ModuleXmodem::Impl::SendFile(const std::string&, const std::string&,
                                          const std::string&, const std::string&) {
  throw std::logic_error("SendFile : pas encore disponible dans cette version");
}

ReturnValues ModuleXmodem::Impl::ReceiveFile(const std::string&, const std::string&,
                                             const std::string&, const std::string&) {
  throw std::logic_error("ReceiveFile : pas encore disponible dans cette version");
}

}  // namespace xmodemquarvel

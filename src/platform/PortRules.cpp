#include "platform/PortRules.h"

#include <cerrno>

#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel {

void FailPort(int err, const std::string& message) {
  throw SerialPortError(std::error_code(err, std::generic_category()), message);
}

void RefuseSelectionWhileOpen(bool open) {
  if (open) FailPort(EBUSY, "Impossible de changer de port : le port est ouvert");
}

void RefuseBadPortNumber(int32_t port) {
  if (port < 1 || port > 255) FailPort(EINVAL, "Numéro de port invalide : " + std::to_string(port));
}

void RefuseEmptyDevice(const std::string& path) {
  if (path.empty()) FailPort(EINVAL, "Nom de périphérique vide");
}

LineSettings ParseSettingsOrRefuse(const std::string& text) {
  std::string why;
  const auto parsed = LineSettings::Parse(text, &why);
  if (!parsed) FailPort(EINVAL, why);
  return *parsed;
}

void RefuseUnlessOpen(bool open) {
  if (!open) FailPort(EBADF, "Opération impossible : le port n'est pas ouvert");
}

}  // namespace xmodemquarvel

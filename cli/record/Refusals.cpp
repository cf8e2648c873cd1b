#include "record/Refusals.h"

#include <string_view>

namespace xmodemq {
namespace {

// The component's words for a refusal, followed by the status digit.
constexpr std::string_view kRefused = "Transfert refusé, status ";

}  // namespace

std::string RefusalMeaning(int status) {
  static constexpr const char* kMeanings[] = {
      "",
      "protocole erroné",
      "utilisateur inconnu",
      "mot de passe erroné",
      "sens de transfert erroné",
      "position de reprise erronée",
      "fichier inexistant sur le serveur",
      "fichier déjà transmis",
      "qualification erronée",
  };
  if (status < 1 || status > 8) return {};
  return kMeanings[status];
}

std::string DecodedRefusal(const std::string& description) {
  const auto at = description.find(kRefused);
  const auto digit = at + kRefused.size();
  if (at == std::string::npos || digit + 1 != description.size()) return description;
  const int status = static_cast<unsigned char>(description[digit]) - '0';
  const std::string meaning = RefusalMeaning(status);
  if (meaning.empty()) return description;
  return description.substr(0, at) + "Transfert refusé : " + meaning + " (status " +
         std::to_string(status) + ")";
}

}  // namespace xmodemq

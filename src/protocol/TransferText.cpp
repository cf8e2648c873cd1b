#include "protocol/TransferText.h"

#include "component/CodePage.h"

namespace xmodemquarvel::protocol {

std::string RefusalDescription(std::uint8_t status) {
  std::string text = "Transfert refusé, status ";
  const unsigned code = status + 48u;
  if (code <= 0xFFu) {
    text += Cp1252ToUtf8(std::string(1, static_cast<char>(code)));
  } else {
    text += std::to_string(status);
  }
  return text;
}

std::string ResumeBeyondDescription(std::int64_t answered, std::int64_t held) {
  return "Position de reprise du distant invalide : " + std::to_string(answered) +
         " blocs annoncés, " + std::to_string(held) + " blocs déjà reçus";
}

}  // namespace xmodemquarvel::protocol

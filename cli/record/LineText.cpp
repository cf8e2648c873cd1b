#include "record/LineText.h"

#include <set>

#include "system/FileErrors.h"
#include "terminal/Text.h"
#include "xmodemquarvel/LineText.h"

namespace xmodemq {

using xmodemquarvel::Cp1252ToUtf8;
using xmodemquarvel::Utf8ToCp1252;

void CheckLineText(const std::string& what, const std::string& text, std::size_t width, bool secret,
                   std::vector<std::string>& warnings) {
  if (const std::string controls = ControlsIn(text); !controls.empty()) {
    if (secret)
      throw Refusal(what + " contient un caractère de contrôle : il ne part pas sur la ligne");
    throw Refusal(what + " « " + Visible(text) + " » contient un caractère de contrôle (" +
                  controls + ") : il ne part pas sur la ligne");
  }
  std::set<std::string> lost;
  for (const std::string& c : Characters(text))
    if (c != "?" && Utf8ToCp1252(c) == "?") lost.insert(c);
  if (!lost.empty()) {
    if (secret)
      throw Refusal(what +
                    " contient un caractère que la ligne (code Windows-1252) ne peut pas "
                    "transmettre");
    std::string shown;
    for (const std::string& c : lost) shown += (shown.empty() ? "« " : ", « ") + c + " »";
    throw Refusal(what + " « " + text + " » contient " + shown +
                  ", que la ligne (code Windows-1252) ne peut pas transmettre : le serveur "
                  "recevrait « ? » à la place");
  }
  const std::string bytes = Utf8ToCp1252(text);
  if (bytes.size() <= width) return;
  if (secret) {
    warnings.push_back(what + " a " + std::to_string(bytes.size()) + " caractères ; seuls les " +
                       std::to_string(width) + " premiers partent");
    return;
  }
  warnings.push_back(what + " « " + text + " » a " + std::to_string(bytes.size()) +
                     " caractères ; la ligne n'en porte que " + std::to_string(width) +
                     " : le serveur recevra « " + Cp1252ToUtf8(bytes.substr(0, width)) + " »");
}

}  // namespace xmodemq

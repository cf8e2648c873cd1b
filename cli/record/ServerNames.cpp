#include "record/ServerNames.h"

#include <map>

#include "record/LineText.h"
#include "system/FileErrors.h"
#include "xmodemquarvel/LineText.h"

namespace xmodemq {
namespace {

// Windows-1252 upper case: ASCII, the accented letters, š œ ž ÿ.
std::string UpperCp1252(std::string bytes) {
  for (char& c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7))
      c = static_cast<char>(b - 0x20);
    else if (b == 0x9A || b == 0x9C || b == 0x9E)
      c = static_cast<char>(b - 0x10);
    else if (b == 0xFF)
      c = static_cast<char>(0x9F);
  }
  return bytes;
}

}  // namespace

std::string CheckServerName(const std::string& path, std::vector<std::string>& warnings) {
  const std::string name = xmodemquarvel::ServerBaseName(path);
  if (name.empty())
    throw Refusal("« " + path +
                  " » ne donne aucun nom au serveur, qui connaît un fichier par son nom sans "
                  "extension");
  CheckLineText("le nom du fichier pour le serveur", name, xmodemquarvel::kServerNameWidth, false,
                warnings);
  return name;
}

std::string ServerName(const std::string& path) {
  const std::string bytes = xmodemquarvel::Utf8ToCp1252(xmodemquarvel::ServerBaseName(path));
  const std::string cut = bytes.substr(0, xmodemquarvel::kServerNameWidth);
  // The record fills the field with spaces: "A" and "A " are one name.
  return xmodemquarvel::Cp1252ToUtf8(cut.substr(0, cut.find_last_not_of(' ') + 1));
}

std::string ServerNameKey(const std::string& path) {
  return xmodemquarvel::Cp1252ToUtf8(UpperCp1252(xmodemquarvel::Utf8ToCp1252(ServerName(path))));
}

void CheckDistinctServerNames(const std::vector<std::string>& paths) {
  std::map<std::string, std::string> seen;
  for (const std::string& path : paths) {
    const std::string key = ServerNameKey(path);
    const auto [at, added] = seen.emplace(key, path);
    if (!added)
      throw Refusal(at->second + " et " + path + " portent le même nom pour le serveur (« " + key +
                    " », sans l'extension, coupé à " +
                    std::to_string(xmodemquarvel::kServerNameWidth) +
                    " caractères, majuscules et minuscules confondues) : dans un même appel, "
                    "l'un prendrait la place de l'autre. Renommez l'un d'eux, ou faites deux "
                    "appels");
  }
}

}  // namespace xmodemq

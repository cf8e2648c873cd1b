#include "SafeFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <map>
#include <set>

#include "FileErrors.h"
#include "HeldFolder.h"
#include "component/CodePage.h"
#include "platform/UniqueFd.h"
#include "platform/WriteAll.h"
#include "protocol/OpeningRecord.h"

namespace xmodemq {
namespace {

using xmodemquarvel::UniqueFd;
using Record = xmodemquarvel::OpeningRecord;

// The characters of a UTF-8 text, each as its own bytes.
std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> out;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) == 0x80 && !out.empty())
      out.back().push_back(c);
    else
      out.emplace_back(1, c);
  }
  return out;
}

// C0 controls, DEL, and the C1 controls U+0080 to U+009F.
bool IsControl(const std::string& c) {
  const auto first = static_cast<unsigned char>(c[0]);
  if (c.size() == 1) return first < 0x20 || first == 0x7F;
  return c.size() == 2 && first == 0xC2 && static_cast<unsigned char>(c[1]) < 0xA0;
}

// "\x1B, \x0A": the control characters of a text.
std::string ControlsIn(const std::string& text) {
  std::set<std::string> seen;
  for (const std::string& c : Characters(text))
    if (IsControl(c)) seen.insert(Visible(c));
  std::string out;
  for (const std::string& c : seen) out += (out.empty() ? "" : ", ") + c;
  return out;
}

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

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string GroupDigits(int64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') out += ' ';
    out += digits[i];
  }
  return out;
}

std::string Visible(const std::string& text) {
  std::string out;
  for (const std::string& c : Characters(text)) {
    if (!IsControl(c)) {
      out += c;
      continue;
    }
    const unsigned code =
        c.size() == 1 ? static_cast<unsigned char>(c[0]) : static_cast<unsigned char>(c[1]);
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", code);
    out += escaped;
  }
  return out;
}

void CheckLineText(const std::string& what, const std::string& text, std::size_t width, bool secret,
                   std::vector<std::string>& warnings) {
  using xmodemquarvel::Cp1252ToUtf8;
  using xmodemquarvel::Utf8ToCp1252;
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

std::string CheckServerName(const std::string& path, std::vector<std::string>& warnings) {
  const std::string name = xmodemquarvel::protocol::BaseNameOf(path);
  if (name.empty())
    throw Refusal("« " + path +
                  " » ne donne aucun nom au serveur, qui connaît un fichier par son nom sans "
                  "extension");
  CheckLineText("le nom du fichier pour le serveur", name, decltype(Record::BaseName)::size(),
                false, warnings);
  return name;
}

std::string ServerName(const std::string& path) {
  const std::string bytes = xmodemquarvel::Utf8ToCp1252(xmodemquarvel::protocol::BaseNameOf(path));
  const std::string cut = bytes.substr(0, decltype(Record::BaseName)::size());
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
                    std::to_string(decltype(Record::BaseName)::size()) +
                    " caractères, majuscules et minuscules confondues) : dans un même appel, "
                    "l'un prendrait la place de l'autre. Renommez l'un d'eux, ou faites deux "
                    "appels");
  }
}

void CheckNoControlCharacters(const std::string& what, const std::string& path) {
  if (const std::string controls = ControlsIn(path); !controls.empty())
    throw Refusal(what + " « " + Visible(path) + " » contient un caractère de contrôle (" +
                  controls + ") : renommez-le");
}

void CheckDeviceLinks(const std::string& device) {
  if (device.rfind("rfc2217://", 0) == 0) return;
  // The path walked one name at a time; a link's content takes its place.
  std::deque<std::string> left;
  const auto push_front = [&left](const std::string& path) {
    std::deque<std::string> names;
    std::size_t start = 0;
    while (start <= path.size()) {
      const std::size_t end = std::min(path.find('/', start), path.size());
      if (end > start) names.push_back(path.substr(start, end - start));
      start = end + 1;
    }
    left.insert(left.begin(), names.begin(), names.end());
  };
  push_front(device);
  std::string walked = device.rfind('/', 0) == 0 ? "" : ".";
  for (int links = 0; !left.empty() && links < 40;) {
    const std::string name = left.front();
    left.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      walked = walked.empty() ? "" : walked + "/..";
      continue;
    }
    const std::string next = walked + "/" + name;
    struct stat st {};
    // A missing name: opening the device says so.
    if (::lstat(next.c_str(), &st) != 0) return;
    if (!S_ISLNK(st.st_mode)) {
      walked = next;
      continue;
    }
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
      throw Refusal("la ligne " + device + " passe par " + next +
                    ", un lien symbolique de l'utilisateur " + UserName(st.st_uid) +
                    " : il pourrait mener l'appel, et votre mot de passe, vers un programme à "
                    "lui. Donnez le chemin du périphérique lui-même, ou un lien à vous");
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(next.c_str(), target.data(), target.size());
    if (n <= 0) return;
    target.resize(static_cast<std::size_t>(n));
    ++links;
    if (target[0] == '/') walked = "";
    push_front(target);
  }
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) throw FileFailure(FileError("créer", path, errno));
  int err = xmodemquarvel::WriteAll(fd.Get(), bytes);
  if (err == 0 && ::fsync(fd.Get()) != 0) err = errno;
  if (err != 0) throw FileFailure(FileError("écrire", path, err));
}

}  // namespace xmodemq

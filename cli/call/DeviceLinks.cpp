#include "call/DeviceLinks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "files/HeldFolder.h"
#include "system/FileErrors.h"

namespace xmodemq {

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

}  // namespace xmodemq

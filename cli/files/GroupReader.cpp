#include "files/GroupReader.h"

#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "files/HeldFolder.h"

namespace xmodemq {
namespace {

bool CallerInGroup(gid_t group) {
  if (::geteuid() == 0 || ::getegid() == group) return true;
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
  groups.resize(static_cast<std::size_t>(std::max(n, 0)));
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(4096);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    return found->gr_name;
  return "gid " + std::to_string(gid);
}

}  // namespace

std::optional<std::string> NotSharedWithCaller(const struct stat& st, uid_t owner) {
  if (st.st_uid != owner)
    return "appartient à " + UserName(st.st_uid) + ", pas à " + UserName(owner);
  // Write bits and other names: what the owner checks of its own.
  struct stat as_owner = st;
  as_owner.st_uid = ::geteuid();
  if (auto why = NotPrivate(as_owner)) return why;
  if (CallerInGroup(st.st_gid)) return std::nullopt;
  return "appartient à " + UserName(owner) + " et n'est lisible que par les membres du groupe « " +
         GroupName(st.st_gid) + " », dont vous (" + UserName(::geteuid()) + ") n'êtes pas";
}

}  // namespace xmodemq

#pragma once

#include <string>

#include "system/UniqueFd.h"

namespace xmodemq {

// The symbolic link that clients open in place of /dev/pts/N. It is pointed
// at a new slave each time the line is cut and the pseudo-terminal made anew;
// each change replaces the link in one rename(), so a client never finds it
// missing. Removed on destruction if it still points where we put it.
//
// One simulator per link: the object holds a claim on the link's path for its
// life (an abstract socket named after it, which the system releases however
// the process ends), and a second claim on the same path is refused while the
// first process lives, before the link is touched.
class PtyLink {
 public:
  // Throws FileFailure; refuses to replace anything but a symbolic link, and
  // throws std::invalid_argument when another simulator serves the path.
  PtyLink(std::string path, const std::string& target);
  ~PtyLink();
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  void PointAt(const std::string& target);
  const std::string& Path() const { return path_; }
  const std::string& Target() const { return target_; }

 private:
  std::string path_;
  std::string target_;
  UniqueFd claim_;
};

}  // namespace xmodemq

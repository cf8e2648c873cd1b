#pragma once

#include <string>

#include "files/HeldFolder.h"
#include "system/UniqueFd.h"

namespace xmodemq {

// A file written beside its target under a short temporary name, private
// (0600), and renamed to the target once complete and on disk: a failure
// leaves an existing target as it was and no partial output. The temporary
// file goes with the object unless committed.
class ReplaceOnSuccess {
 public:
  // Refuses a target that is a folder, a symbolic link, a device or a FIFO,
  // an existing target unless `replace`, and a folder that cannot take a
  // file.
  ReplaceOnSuccess(const std::string& target, bool replace);
  ~ReplaceOnSuccess();
  ReplaceOnSuccess(const ReplaceOnSuccess&) = delete;
  ReplaceOnSuccess& operator=(const ReplaceOnSuccess&) = delete;

  // The temporary file, open for reading and writing.
  int Descriptor() const { return fd_.Get(); }
  // Its path, for messages.
  std::string Path() const { return folder_.PathOf(name_); }
  // Puts it on disk and renames it to the target, which keeps its permission
  // bits when `replace` replaces it (a new file stays 0600). A target that
  // appeared meanwhile is never replaced without `replace`, nor a name that
  // became something else than a file. Throws FileFailure.
  void Commit();

 private:
  std::string target_;
  std::string target_name_;
  bool replace_;
  HeldFolder folder_;
  UniqueFd fd_;
  std::string name_;
  bool committed_ = false;
};

}  // namespace xmodemq

#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace xmodemq {

// The demo's working directory: a fresh temporary one, removed at the end,
// or the one named by --dir, kept.
class WorkDir {
 public:
  // Throws FileFailure when the temporary folder cannot be made.
  explicit WorkDir(const std::optional<std::string>& chosen);
  ~WorkDir();
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool keep_ = false;
};

// Creates or replaces `path` with `bytes`, 0600 for a new file, on disk when
// it returns; a symbolic link is not followed. Throws FileFailure.
void WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace xmodemq

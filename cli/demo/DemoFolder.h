#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace xmodemq {

// The demo's working directory: a fresh temporary one, removed at the end,
// or a fresh one in the folder named by --dir (demo-1, demo-2, ...: the first
// that does not exist yet), kept. So the demo never writes over a file it did
// not make, and runs again in the same --dir.
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

// Creates `path` with `bytes`, 0600, on disk when it returns; never writes
// over a file nor through a symbolic link. Throws FileFailure.
void WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace xmodemq

#pragma once

#include <filesystem>

namespace xmodemq {

// The simulator's own file store when none is named: a fresh folder that
// only its owner may enter (0700), under $XDG_RUNTIME_DIR, else $TMPDIR, else
// /tmp, removed with what it holds when the object goes. Anyone who reaches
// the line may send and fetch files: they land here, never among the user's
// own.
class SimulatorStore {
 public:
  // Throws FileFailure.
  SimulatorStore();
  ~SimulatorStore();
  SimulatorStore(const SimulatorStore&) = delete;
  SimulatorStore& operator=(const SimulatorStore&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace xmodemq

#pragma once

#include <optional>
#include <string>

#include "files/HeldFolder.h"

namespace xmodemq {

// The simulated server's file store. Anyone who reaches the line may send and
// fetch files: they land here, never among the user's own, and the server
// reaches its files through the folder's descriptor only (FolderStore()).
class SimulatorStore {
 public:
  // The folder of --store, made 0700 when missing, and refused (Refusal)
  // when it is not the user's or others can write to it. Without one, a
  // fresh folder that only its owner may enter (0700), under
  // $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp, removed with what it holds
  // when the object goes. Throws FileFailure when it cannot be made.
  explicit SimulatorStore(const std::optional<std::string>& chosen);
  ~SimulatorStore();
  SimulatorStore(const SimulatorStore&) = delete;
  SimulatorStore& operator=(const SimulatorStore&) = delete;

  const std::string& Path() const { return folder_->Path(); }
  int Fd() const { return folder_->Fd(); }
  // Whether it is the fresh folder made for this run.
  bool Private() const { return private_; }

 private:
  std::optional<HeldFolder> folder_;
  bool private_ = false;
};

}  // namespace xmodemq

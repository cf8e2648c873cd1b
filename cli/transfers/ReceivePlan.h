#pragma once

#include <optional>
#include <string>

#include "call/TransferPlan.h"
#include "files/PartialFile.h"

namespace xmodemq {

// A receive. The component appends what it receives to an existing file and
// asks the server to resume after what that file holds. So the data go into
// a partial file of this target only, which a rerun resumes, and the target
// appears only once the transfer has ended well. Each file of a batch has its
// own partial file and lock, exactly as a receive of that file alone.
class ReceivePlan final : public TransferPlan {
 public:
  // `min_free`: the bytes that the target's file system must have free
  // before the call (0: not checked).
  ReceivePlan(std::string file, bool replace, ResumePolicy policy, int64_t min_free = 0);

  const char* Direction() const override { return "receive"; }
  const char* Label() const override { return "Réception"; }
  const char* FileAction() const override { return "écrire"; }
  std::string Local() const override;

  void Check() override;
  void Prepare(Session& session) override;
  xmodemquarvel::ReturnValues Run(xmodemquarvel::ModuleXmodem& module, const std::string& user,
                                  const std::string& password,
                                  const std::string& pack_type) override;
  void Accepted(Session& session, int64_t position) override;
  std::optional<Content> Received() override;
  std::string Commit() override;
  std::optional<int64_t> Kept() override;
  void AfterFailure(Session& session, xmodemquarvel::ReturnValues result) override;

 private:
  bool replace_;
  ResumePolicy policy_;
  int64_t min_free_;
  // From Check on: the target's partial file, opened and locked in Prepare,
  // removed with the plan when it holds nothing.
  std::optional<PartialFile> partial_;
};

}  // namespace xmodemq

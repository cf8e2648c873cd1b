#pragma once

#include <memory>
#include <optional>
#include <string>

#include "call/TransferPlan.h"
#include "files/SendSnapshot.h"

namespace xmodemq {

// A send. The component sends whatever it is given: a missing file is created
// empty and sent as such, a last record shorter than the others is left out,
// and a file that changes during the call goes out as it is at each moment.
// So the file is looked at before the call: it must be there, readable, and
// of whole records (or padded when `pad` says so); and what goes out is a
// private copy of it as it was then. Its digests, taken before anything is
// dialled, tell whether it went already and what a server that resumes it
// holds.
class SendPlan final : public TransferPlan {
 public:
  SendPlan(std::string file, bool pad, PadFrom from = PadFrom::kOption);

  const char* Direction() const override { return "send"; }
  const char* Label() const override { return "Envoi"; }
  const char* FileAction() const override { return "lire"; }
  std::string Local() const override;
  std::optional<int64_t> TotalBlocks() const override;
  const RecordDigests* Digests() const override { return digests_ ? &*digests_ : nullptr; }

  void Check() override;
  void Prepare(Session& session) override;
  xmodemquarvel::ReturnValues Run(xmodemquarvel::ModuleXmodem& module, const std::string& user,
                                  const std::string& password,
                                  const std::string& pack_type) override;
  void Accepted(Session& session, int64_t position) override;
  void AfterFailure(Session& session, xmodemquarvel::ReturnValues result) override;

 private:
  bool pad_;
  PadFrom pad_from_;
  // From Check on: the file as checked, and its digests.
  std::optional<CheckedFile> checked_;
  std::optional<RecordDigests> digests_;
  // From Prepare on: the copy that goes out, removed with the plan.
  std::unique_ptr<SendSnapshot> copy_;
  // The server's position when it accepted the send, in blocks.
  int64_t position_ = 0;
};

}  // namespace xmodemq

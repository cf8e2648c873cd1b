#include "transfers/ReceivePlan.h"

#include <sys/statvfs.h>

#include <cassert>
#include <filesystem>

#include "call/Session.h"
#include "files/Sha256.h"
#include "system/FileErrors.h"
#include "system/Records.h"
#include "terminal/Text.h"

namespace xmodemq {

namespace fs = std::filesystem;

ReceivePlan::ReceivePlan(std::string file, bool replace, ResumePolicy policy, int64_t min_free)
    : TransferPlan(std::move(file)),
      replace_(replace),
      policy_(std::move(policy)),
      min_free_(min_free) {}

std::string ReceivePlan::Local() const {
  assert(partial_ && "the plan was checked");
  return partial_->Path();
}

void ReceivePlan::Check() {
  partial_.emplace(File(), replace_);
  // A disk that fills midway costs a call and leaves a partial file: a
  // nearly full one is refused before the dial.
  const std::string folder = fs::path(File()).parent_path().empty()
                                 ? std::string(".")
                                 : fs::path(File()).parent_path().string();
  struct statvfs space {};
  if (min_free_ > 0 && ::statvfs(folder.c_str(), &space) == 0) {
    const auto free = static_cast<int64_t>(space.f_bavail) * static_cast<int64_t>(space.f_frsize);
    if (free < min_free_)
      throw Refusal("il ne reste que " + GroupDigits(free) +
                    " octets libres sur le système de "
                    "fichiers de " +
                    folder + " (--min-free : " + GroupDigits(min_free_) +
                    ") : libérez de la place d'abord, ou donnez un --min-free plus petit");
  }
  done_ = "Fichier " + File() + " reçu";
}

// After a password prompt, which Ctrl-C may end: nothing is left behind.
void ReceivePlan::Prepare(Session& session) {
  partial_->Open(policy_);
  if (const int64_t held = partial_->Blocks(); held > 0)
    session.Say(std::string("Reprise après ") + (held > 1 ? "les " : "le ") + BlocksText(held) +
                (held > 1 ? " déjà reçus" : " déjà reçu") + " dans " + partial_->Path() + ".");
}

// Written through the partial file the command opened, checked and locked:
// its name is never looked up again.
xmodemquarvel::ReturnValues ReceivePlan::Run(xmodemquarvel::ModuleXmodem& module,
                                             const std::string& user, const std::string& password,
                                             const std::string& pack_type) {
  return module.ReceiveFileToDescriptor(user, password, partial_->Path(), pack_type,
                                        partial_->Descriptor());
}

void ReceivePlan::Accepted(Session& session, int64_t position) {
  const int64_t held = partial_->Blocks();
  done_ = "Fichier " + File() + " reçu";
  if (position > 0) done_ += " (repris après " + BlocksText(position) + ")";
  if (position == held) return;
  session.Say(position == 0
                  ? "Le serveur ne reprend pas la réception interrompue : le fichier est reçu "
                    "de nouveau en entier, à la place des " +
                        std::to_string(held) + " blocs gardés."
                  : "Le serveur reprend après le bloc " + std::to_string(position) +
                        ", et non après les " + std::to_string(held) +
                        " blocs gardés : les blocs suivants sont reçus de nouveau.");
}

std::optional<TransferPlan::Content> ReceivePlan::Received() {
  return Content(partial_->Blocks() * kRecord, Sha256OfDescriptor(partial_->Descriptor()));
}

std::string ReceivePlan::Commit() {
  return partial_->Commit();
}

std::optional<int64_t> ReceivePlan::Kept() {
  return partial_->Blocks() * kRecord;
}

void ReceivePlan::AfterFailure(Session& session, xmodemquarvel::ReturnValues result) {
  partial_->KeepWholeBlocks();
  // A refusal changed nothing; anything else is resumed by a rerun.
  if (result == xmodemquarvel::rvRefuse) return;
  const int64_t blocks = partial_->Blocks();
  session.Warn("xmodemq: réception de " + File() + " interrompue : " +
               (blocks > 0 ? BlocksText(blocks) + " de " + RecordBytesText() +
                                 (blocks > 1 ? " sont gardés dans " : " est gardé dans ") +
                                 partial_->Path() + " ; relancez la même commande pour reprendre"
                           : "rien n'a été reçu ; relancez la même commande"));
}

}  // namespace xmodemq

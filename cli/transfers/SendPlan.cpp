#include "transfers/SendPlan.h"

#include <cassert>

#include "call/Session.h"
#include "record/ServerNames.h"
#include "system/Records.h"

namespace xmodemq {

SendPlan::SendPlan(std::string file, bool pad, PadFrom from)
    : TransferPlan(std::move(file)), pad_(pad), pad_from_(from) {}

std::string SendPlan::Local() const {
  return copy_ ? copy_->Path() : File();
}

std::optional<int64_t> SendPlan::TotalBlocks() const {
  assert(checked_ && "the plan was checked");
  return RecordsFor(checked_->size);
}

void SendPlan::Check() {
  checked_.emplace(CheckSendFile(File(), pad_, pad_from_));
  digests_ = DigestSendFile(*checked_);
  done_ = "Fichier " + File() + " envoyé";
  if (const int64_t size = checked_->size; size % kRecord != 0)
    done_ += " complété par " + std::to_string(*TotalBlocks() * kRecord - size) + " espaces";
}

// After a password prompt, which Ctrl-C may end: no copy is left behind.
void SendPlan::Prepare(Session& session) {
  copy_ = std::make_unique<SendSnapshot>(*checked_, digests_->Sha256Hex(),
                                         [&session] { return session.Interrupted(); });
}

xmodemquarvel::ReturnValues SendPlan::Run(xmodemquarvel::ModuleXmodem& module,
                                          const std::string& user, const std::string& password,
                                          const std::string& pack_type) {
  assert(copy_ && "what goes out is the copy made in Prepare");
  return module.SendFile(user, password, copy_->Path(), pack_type);
}

void SendPlan::Accepted(Session& session, int64_t position) {
  position_ = position;
  if (position <= 0) return;
  session.Say("Le serveur détient déjà " + BlocksText(position) + " de " + ServerName(File()) +
              " : l'envoi reprend après eux.");
  done_ += " (repris après " + BlocksText(position) + ")";
}

// A line that failed under a send (cut, silent server, lost modem): the
// blocks the server acknowledged, and the way on. A refusal changed nothing,
// and a send stopped by the command itself (rvFalse) says why elsewhere.
void SendPlan::AfterFailure(Session& session, xmodemquarvel::ReturnValues result) {
  if (result == xmodemquarvel::rvRefuse || result == xmodemquarvel::rvFalse) return;
  const int64_t held = position_ + session.BlocksThisRun();
  session.Warn("xmodemq: envoi de " + File() + " interrompu : " +
               (held > 0 ? "le serveur a acquitté " + BlocksText(held) + " sur " +
                               std::to_string(*TotalBlocks()) +
                               " ; relancez la même commande : un serveur qui les garde reprend "
                               "après eux, un autre reçoit le fichier de nouveau en entier"
                         : "le serveur n'a rien acquitté ; relancez la même commande"));
}

}  // namespace xmodemq

// What the server holds of a send, as the call sees it: checked against the
// journal before any data move (TransferAccepted), and noted in the journal
// before the send's end goes out once it holds every block (BlocSended).

#include "call/Call.h"
#include "commandline/ExitCodes.h"
#include "record/ServerNames.h"
#include "terminal/Timestamps.h"

namespace xmodemq {

using xmodemquarvel::rvTrue;

void Call::OnAccepted(int64_t position) {
  Session& session = *session_;
  TransferPlan& plan = *current_;
  log_->Accepted(position);
  plan.Accepted(session, position);
  if (!plan.Digests()) return;
  const std::string name = ServerName(plan.File());
  const auto stop = [&](Stop kind, const std::string& why, const std::string& description) {
    stopped_.emplace(Stopped{kind, why, description});
    session.Abort();
  };
  const bool asking = log_->AskingServer();
  // A send of unknown outcome goes on only from what the server confirms. An
  // earlier send whose every block the server acknowledged, and of which it
  // now holds nothing, was taken in: a server keeps the blocks of a send
  // that did not end, for it to resume.
  if (asking && position <= 0) {
    if (const auto& whole = log_->EarlierHeldWhole())
      return stop(Stop::kTaken,
                  "le serveur a acquitté tous les blocs de " + name + " envoyés le " +
                      LocalTime(*whole) +
                      " et n'en détient plus rien : il l'a reçu en entier. L'envoi est noté "
                      "fait sans rien envoyer",
                  "reçu en entier par le serveur lors de l'envoi précédent, qui en avait "
                  "acquitté tous les blocs");
    return stop(Stop::kUnconfirmed,
                "le serveur ne détient rien de " + name + " : l'envoi précédent, d'issue " +
                    "inconnue, a pu lui parvenir en entier et avoir déjà été traité. L'envoi " +
                    "est arrêté avant toute donnée. Vérifiez auprès du destinataire ; --again " +
                    "l'envoie de nouveau en entier",
                "le serveur ne confirme pas l'envoi précédent de " + name);
  }
  if (position > 0) {
    const ResumeCheck check = log_->CheckResume(plan, position);
    if (check.verdict == ResumeVerdict::kOther || (asking && check.verdict != ResumeVerdict::kSame))
      return stop(Stop::kOtherVersion, check.message,
                  "le serveur détient une autre version de " + name);
    if (check.verdict == ResumeVerdict::kSame)
      session.Say(check.message + (position == plan.Digests()->Records()
                                       ? " : le fichier est déjà en entier sur le serveur, "
                                         "l'envoi est noté fait sans rien envoyer."
                                       : "."));
    else
      session.Warn("xmodemq: attention : " + check.message + ".");
  }
  // The server holds them all already: its end goes out next.
  if (!NoteAllHeld(position)) session.Abort();
}

void Call::OnBlockSent(int64_t held) {
  // Abort() would let the end go out before it stops the send: the line
  // goes down now, and the send fails on its next write.
  if (!stopped_ && !NoteAllHeld(held)) session_->Disconnect();
}

bool Call::NoteAllHeld(int64_t held) {
  try {
    log_->Sent(*current_, held);
    return true;
  } catch (const JournalError& e) {
    const std::string name = ServerName(current_->File());
    stopped_.emplace(Stopped{
        Stop::kJournal,
        std::string(e.what()) + " : le serveur détient tous les blocs de " + name +
            ", mais le journal ne peut pas le noter. L'envoi est arrêté avant sa fin, qui "
            "ferait de lui un envoi de plus à ne pas refaire : relancez-le quand le journal "
            "s'écrit de nouveau",
        "arrêté avant sa fin : le journal n'a pas pu noter que le serveur détient tous les blocs "
        "de " +
            name});
    return false;
  }
}

// The server has the file already (the journal says it acknowledged every
// block of it): the row is completed as a send that ended well, without
// data. Aborted before any data, the line is down; after a refusal it is up.
std::optional<int> Call::Taken(TransferPlan& plan, bool line_up) {
  Session& session = *session_;
  session.Say("xmodemq: " + plan.File() + " : " + stopped_->why + ".");
  Finish(rvTrue, stopped_->description, kExitOk, std::nullopt);
  done_.push_back(plan.File());
  if (&plan == plans_.back().get() || line_up) return std::nullopt;
  session.Warn("xmodemq: la ligne est raccrochée ; la suite n'est pas transférée : " +
               BatchSummary(done_, plans_.size()) + ".");
  return kExitFailure;
}

}  // namespace xmodemq

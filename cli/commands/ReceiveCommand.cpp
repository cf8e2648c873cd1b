#include <deque>

#include "call/Transfer.h"
#include "commands/Commands.h"
#include "files/PartialFile.h"
#include "files/Sha256.h"
#include "terminal/Text.h"

namespace xmodemq {

// The component appends what it receives to an existing file and asks the
// server to resume after what that file holds. So the data go into a partial
// file of this target only, which a rerun resumes, and the target appears
// only once the transfer has ended well.
// Each file of a batch has its own partial file and lock, exactly as a
// receive of that file alone.
int RunReceive(const Options& options, SessionHost host) {
  for (const std::string& file : options.operands) CheckNoControlCharacters("le fichier", file);
  const ResumePolicy policy{options.user, options.partial_max_age, options.resume_old};
  std::deque<PartialFile> partials;
  std::deque<TransferKind> kinds;
  for (const std::string& file : options.operands) {
    PartialFile& partial = partials.emplace_back(file, options.replace);
    TransferKind& kind = kinds.emplace_back();
    kind.direction = "receive";
    kind.file = file;
    kind.label = "Réception";
    kind.local = partial.Path();
    kind.file_action = "écrire";
    kind.event = &xmodemquarvel::ModuleXmodem::BlocReceived;
    // Written through the partial file the command opened, checked and
    // locked: its name is never looked up again.
    kind.run = [&options, &kind, &partial](xmodemquarvel::ModuleXmodem& module,
                                           const std::string& password) {
      return module.ReceiveFileToDescriptor(options.user, password, kind.local, options.pack_type,
                                            partial.Descriptor());
    };
    kind.accepted = [&partial, &kind, file](Session& session, int64_t position) {
      const int64_t held = partial.Blocks();
      kind.done = "Fichier " + file + " reçu";
      if (position > 0) kind.done += " (repris après " + std::to_string(position) + " blocs)";
      if (position == held) return;
      session.Say(position == 0
                      ? "Le serveur ne reprend pas la réception interrompue : le fichier est reçu "
                        "de nouveau en entier, à la place des " +
                            std::to_string(held) + " blocs gardés."
                      : "Le serveur reprend après le bloc " + std::to_string(position) +
                            ", et non après les " + std::to_string(held) +
                            " blocs gardés : les blocs suivants sont reçus de nouveau.");
    };
    // After a password prompt, which Ctrl-C may end: nothing is left behind.
    kind.prepare = [&partial, &policy](Session& session) {
      partial.Open(policy);
      if (const int64_t held = partial.Blocks(); held > 0)
        session.Say("Reprise après les " + std::to_string(held) + " blocs déjà reçus dans " +
                    partial.Path() + ".");
    };
    kind.received = [&partial] {
      return std::pair(partial.Blocks() * 128, Sha256OfDescriptor(partial.Descriptor()));
    };
    kind.kept = [&partial] { return partial.Blocks() * 128; };
    kind.commit = [&partial] { partial.Commit(); };
    kind.after_failure = [&partial, file](Session& session, xmodemquarvel::ReturnValues result) {
      partial.KeepWholeBlocks();
      // A refusal changed nothing; anything else is resumed by a rerun.
      if (result == xmodemquarvel::rvRefuse) return;
      const int64_t blocks = partial.Blocks();
      session.Warn("xmodemq: réception de " + file + " interrompue : " +
                   (blocks > 0 ? std::to_string(blocks) + " blocs de 128 octets sont gardés dans " +
                                     partial.Path() + " ; relancez la même commande pour reprendre"
                               : "rien n'a été reçu ; relancez la même commande"));
    };
    kind.done = "Fichier " + file + " reçu";
  }
  return RunTransfer(options, kinds, std::move(host));
}

}  // namespace xmodemq

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "files/Sha256.h"
#include "journal/Journal.h"
#include "system/Paths.h"
#include "system/UniqueFd.h"

#include "call/Call.h"
#include "commands/Commands.h"
#include "terminal/Text.h"
#include "transfers/ReceivePlan.h"

namespace xmodemq {

int RunReceive(const Options& options, SessionHost host) {
  for (const std::string& file : options.operands) CheckNoControlCharacters("le fichier", file);
  const ResumePolicy policy{options.user, options.partial_max_age, options.resume_old};
  std::vector<std::unique_ptr<TransferPlan>> plans;
  std::unique_ptr<Journal> journal;
  try {
    const auto place = ChooseJournal(options.journal_path, options.no_journal);
    if (place && !options.replace) journal = Journal::Open(*place, Journal::Access::kRead);
  } catch (const JournalError&) {
    // The call says why it cannot go without its journal.
  }
  for (const std::string& file : options.operands) {
    // A batch cut midway is rerun as it was typed: a file that this command
    // received whole into that path (its row, the same content) is kept.
    if (journal) {
      UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
      struct stat st {};
      if (fd && ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
          journal->ReceivedInto(Absolute(file), Sha256OfDescriptor(fd.Get()))) {
        if (!options.quiet && !options.json)
          PrintLine(stderr,
                    "xmodemq: " + file + " a déjà été reçu en entier : il est gardé tel quel.");
        continue;
      }
    }
    plans.push_back(std::make_unique<ReceivePlan>(file, options.replace, policy));
  }
  if (plans.empty()) return 0;
  return Call(options, std::move(plans), std::move(host)).Run();
}

}  // namespace xmodemq

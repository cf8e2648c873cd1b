#include <cstdio>

#include "commandline/ExitCodes.h"
#include "commands/Commands.h"
#include "exchange/Profile.h"
#include "exchange/queue/QueueReturns.h"
#include "journal/Journal.h"
#include "journal/JournalPlace.h"
#include "queue/PgQueue.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "terminal/Json.h"
#include "terminal/Text.h"

namespace xmodemq {

// The returns that any machine's exchange received for the profile's
// account, delivered once to DIR (QueueReturns.h): a second call, from this
// machine or after a crash, delivers only what came since.
int RunFetchReturns(const Options& options) {
  const std::string folder = options.operands.front();
  Profile profile;
  try {
    profile = LoadProfile(*options.profile, ProfileUse::kJournalOnly);
    if (!NamesDatabase(profile.journal))
      throw ProfileError("les retours sont gardés dans la base PostgreSQL du journal : le profil " +
                         Visible(profile.path) +
                         " n'en nomme pas (journal = \"postgresql://...\")");
  } catch (const ProfileError& e) {
    PrintLine(stderr, std::string("xmodemq: ") + e.what());
    return kExitUsage;
  }
  ExchangeReport report;
  try {
    DeliverReturns(*PgQueue::Open(profile.journal, PgQueue::DefaultHolder(), profile.lease),
                   profile.user, folder, report);
  } catch (const JournalError& e) {
    PrintLine(stderr, std::string("xmodemq: ") + e.what());
    return e.Unreachable() ? kExitLater : kExitFailure;
  } catch (const Refusal& e) {
    // The folder is missing, or is no folder.
    PrintLine(stderr, std::string("xmodemq: ") + e.what());
    return kExitUsage;
  } catch (const FileFailure& e) {
    PrintLine(stderr, std::string("xmodemq: ") + e.what() + " ; " +
                          std::to_string(report.received) + " retour(s) déposé(s) avant");
    return kExitFailure;
  }
  if (options.json)
    std::printf("%s\n", JsonObject()
                            .Add("folder", Absolute(folder))
                            .Add("delivered", report.received)
                            .Add("already_there", report.already_received)
                            .Text()
                            .c_str());
  else if (!options.quiet)
    PrintLine(stdout, std::to_string(report.received) + " retour(s) déposé(s) dans " +
                          Visible(folder) +
                          (report.already_received > 0
                               ? ", " + std::to_string(report.already_received) + " déjà là"
                               : std::string()));
  return kExitOk;
}

}  // namespace xmodemq

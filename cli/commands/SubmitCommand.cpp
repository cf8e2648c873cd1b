#include <unistd.h>

#include <cstdio>
#include <map>

#include "commandline/ExitCodes.h"
#include "commands/Commands.h"
#include "exchange/Profile.h"
#include "files/SendSnapshot.h"
#include "journal/Journal.h"
#include "journal/JournalPlace.h"
#include "queue/PgQueue.h"
#include "record/ServerNames.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "terminal/Json.h"
#include "terminal/Text.h"

namespace xmodemq {
namespace {

// One line of the report: on standard error when something is wrong, as
// JSON on standard output with --json.
void Report(const Options& options, const std::string& file, const std::string& name,
            const SubmitVerdict& verdict) {
  if (options.json) {
    std::printf(
        "%s\n",
        JsonObject()
            .Add("file", file)
            .Add("name", name)
            .Add("id", verdict.id > 0 ? std::optional(verdict.id) : std::nullopt)
            .Add("bytes", verdict.bytes)
            .Add("sha256", verdict.sha256.empty() ? std::nullopt : std::optional(verdict.sha256))
            .Add("refused", verdict.refusal.empty() ? std::nullopt : std::optional(verdict.refusal))
            .Text()
            .c_str());
  } else if (!verdict.refusal.empty()) {
    PrintLine(stderr, "xmodemq: " + Visible(file) + " refusé : " + Visible(verdict.refusal));
  } else if (!options.quiet) {
    PrintLine(stdout, Visible(file) + " déposé (" + GroupDigits(verdict.bytes) +
                          " octets, SHA-256 " + verdict.sha256 + ")");
  }
}

}  // namespace

// Each file is checked as the exchange checks its outbox (a regular file of
// whole records, or any size with `pad`; a name the server can take, one
// per call), then all of them are stored in one transaction, or none.
int RunSubmit(const Options& options) {
  Profile profile;
  try {
    profile = LoadProfile(*options.profile, ProfileUse::kJournalOnly);
  } catch (const ProfileError& e) {
    PrintLine(stderr, std::string("xmodemq: ") + e.what());
    return kExitUsage;
  }
  if (!NamesDatabase(profile.journal)) {
    PrintLine(stderr,
              "xmodemq: la file d'attente est dans la base PostgreSQL du journal : le "
              "profil " +
                  Visible(profile.path) + " n'en nomme pas (journal = \"postgresql://...\")");
    return kExitUsage;
  }
  std::vector<CheckedFile> files;
  std::vector<SubmitVerdict> verdicts(options.operands.size());
  std::map<std::string, std::string> keys;
  bool refused = false;
  for (std::size_t i = 0; i < options.operands.size(); ++i) {
    const std::string& path = options.operands[i];
    try {
      std::vector<std::string> warnings;
      CheckServerName(path, warnings);
      for (const std::string& warning : warnings) PrintLine(stderr, "xmodemq: " + warning);
      const auto [at, first] = keys.emplace(ServerNameKey(path), path);
      if (!first)
        throw Refusal("le serveur le prendrait pour " + at->second + " (même nom « " +
                      ServerName(path) + " » pour lui)");
      files.push_back(CheckSendFile(path, profile.pad, PadFrom::kProfile));
    } catch (const Refusal& e) {
      verdicts[i].refusal = e.what();
      refused = true;
    }
  }
  if (!refused) {
    std::vector<QueueInput> inputs;
    for (const CheckedFile& file : files)
      inputs.push_back({NameOf(file.path), file.fd.Get(), file.size});
    try {
      verdicts = PgQueue::Open(profile.journal, PgQueue::DefaultHolder(), profile.lease)
                     ->Submit(profile.user, inputs, options.again);
    } catch (const JournalError& e) {
      PrintLine(stderr, std::string("xmodemq: ") + e.what());
      return e.Unreachable() ? kExitLater : kExitFailure;
    }
    for (const SubmitVerdict& verdict : verdicts) refused = refused || !verdict.refusal.empty();
  }
  for (std::size_t i = 0; i < verdicts.size(); ++i)
    Report(options, options.operands[i], NameOf(options.operands[i]), verdicts[i]);
  if (refused) {
    if (!options.json) PrintLine(stderr, "xmodemq: rien n'a été déposé");
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace xmodemq

#include "exchange/ExchangePlan.h"

#include <map>

#include "call/TransferPlan.h"
#include "journal/Journal.h"
#include "record/ServerNames.h"
#include "system/FileErrors.h"
#include "system/ServerNumber.h"
#include "terminal/Text.h"
#include "terminal/Timestamps.h"
#include "transfers/SendPlan.h"

namespace xmodemq {

// The options of the call, from the profile.
Options CallOptions(const Options& options, const Profile& profile) {
  Options call;
  call.command = Command::Send;
  call.quiet = options.quiet || options.json;
  call.progress = options.progress;
  call.devices = profile.lines;
  call.settings = profile.settings;
  call.attempts = profile.attempts;
  call.prefix = profile.prefix;
  call.init = profile.init;
  call.user = profile.user;
  call.password_file = profile.password_file;
  call.pad = profile.pad;
  if (!profile.journal.empty()) call.journal_path = profile.journal;
  // Never twice, as for send: what went is left out (and filed in sent/), a
  // send of unknown outcome goes only as far as the server confirms it.
  call.skip_sent = true;
  call.ask_server = true;
  return call;
}

OutboxPlan PlanOutbox(const Spool& spool, const Profile& profile,
                      std::chrono::system_clock::time_point now) {
  OutboxPlan plan;
  const OutboxListing listing = spool.Outbox(profile.settle, now);
  plan.waiting = listing.waiting.size();
  // The server files a file under its name cut to the record's width,
  // without regard to case: the first of a key goes, the others wait.
  std::map<std::string, std::string> keys;
  for (const SpoolEntry& entry : listing.complete) {
    const std::string path = spool.OutboxPath(entry.name);
    try {
      if (!entry.other.empty())
        throw Refusal(Visible(entry.name) + " est " + entry.other +
                      ", pas un fichier ordinaire : il n'est ni suivi ni envoyé");
      if (Visible(entry.name) != entry.name)
        throw Refusal("le nom « " + Visible(entry.name) + " » contient un caractère de contrôle");
      std::vector<std::string> warnings;
      CheckServerName(path, warnings);
      SendPlan(path, profile.pad, PadFrom::kProfile).Check();
    } catch (const std::exception& e) {
      plan.hold.emplace_back(entry.name, e.what());
      continue;
    }
    const auto [at, first] = keys.emplace(ServerNameKey(path), entry.name);
    if (!first) {
      plan.hold.emplace_back(entry.name, "le serveur le prendrait pour " + at->second +
                                             " (même nom « " + ServerName(path) +
                                             " » pour lui), envoyé dans le même appel : "
                                             "renommez-le et remettez-le dans outbox/");
      continue;
    }
    plan.send.push_back(entry.name);
  }
  return plan;
}

std::string FetchName(const std::string& pattern, const std::string& user, std::time_t now) {
  std::string name;
  for (std::size_t i = 0; i < pattern.size();) {
    if (pattern[i] != '{') {
      if (pattern[i] == '}')
        throw ProfileError("a « } » sans « { » dans « " + Visible(pattern) + " »");
      name += pattern[i++];
      continue;
    }
    const auto end = pattern.find('}', i);
    if (end == std::string::npos)
      throw ProfileError("a « { » sans « } » dans « " + Visible(pattern) + " »");
    const std::string field = pattern.substr(i + 1, end - i - 1);
    if (field == "user") {
      name += user;
    } else if (field.rfind("date:", 0) == 0 && field.size() > 5) {
      struct tm local {};
      ::localtime_r(&now, &local);
      char text[128];
      const std::size_t size = std::strftime(text, sizeof text, field.substr(5).c_str(), &local);
      if (size == 0)
        throw ProfileError("a un format de date vide ou trop long dans « " + Visible(pattern) +
                           " »");
      name.append(text, size);
    } else {
      throw ProfileError("a « {" + Visible(field) + "} » inconnu dans « " + Visible(pattern) +
                         " » ({user} ou {date:%y%m%d})");
    }
    i = end + 1;
  }
  if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos ||
      Visible(name) != name)
    throw ProfileError("donne « " + Visible(name) + " » pour « " + Visible(pattern) +
                       " », qui ne peut être un nom de fichier du serveur");
  return name;
}

std::vector<std::string> DueFetches(const Profile& profile, const Journal* journal,
                                    std::time_t now) {
  std::vector<std::string> due;
  const std::string since = UtcText(now - profile.fetch_every.count());
  for (const std::string& pattern : profile.fetch) {
    const std::string name = FetchName(pattern, profile.user, now);
    if (journal) {
      JournalRow like;
      like.server = kServerNumber;
      like.user = profile.user;
      like.server_key = ServerNameKey(name);
      // The journal's row keeps the refusal's status in its words only.
      if (const auto last = journal->LastAsked(like, since);
          last && (last->result == "rvTrue" ||
                   RefusalStatus(last->description) == xmodemquarvel::svFileNotExists))
        continue;
    }
    due.push_back(name);
  }
  return due;
}

}  // namespace xmodemq

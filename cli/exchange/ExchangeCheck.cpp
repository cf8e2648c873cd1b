#include <chrono>
#include <cstdio>

#include "exchange/Exchange.h"
#include "exchange/ExchangePlan.h"
#include "exchange/ExitStatus.h"
#include "exchange/Profile.h"
#include "exchange/Spool.h"
#include "journal/Journal.h"
#include "schedule/ScheduleStatus.h"
#include "system/FileErrors.h"
#include "terminal/Json.h"
#include "terminal/Text.h"
#include "terminal/Timestamps.h"

namespace xmodemq {

// Nothing is made: the spool is looked at only when it exists, the journal
// only read.
int CheckExchange(const Options& options) {
  std::string text;
  std::int64_t sends = 0, holds = 0, fetches = 0;
  bool calls_now = true;
  std::string spool_error;
  std::string profile_path = *options.profile;
  try {
    const Profile profile = LoadProfile(*options.profile);
    profile_path = profile.path;
    if (!profile.timezone.empty()) {
      ::setenv("TZ", profile.timezone.c_str(), 1);
      ::tzset();
    }
    const std::time_t now = WallNow();
    for (const std::string& pattern : profile.fetch) FetchName(pattern, profile.user, now);
    text += "Profil " + Visible(profile.path) + " valide : utilisateur " + Visible(profile.user) +
            ", lignes";
    for (const std::string& line : profile.lines) text += " " + Visible(line);
    text += ", spool " + Visible(profile.spool) + "\n";
    std::unique_ptr<Journal> journal;
    if (const auto place = ChooseJournal(
            profile.journal.empty() ? std::nullopt : std::optional(profile.journal), false))
      journal = Journal::Open(*place, Journal::Access::kRead);
    // Serving the queue, the run sends what the queue holds; the outbox of
    // its spool, if any, goes into the queue first.
    if (profile.queue)
      text += "  enverrait ce que la file d'attente de la base lui attribue (xmodemq submit" +
              std::string(profile.spool.empty() ? "" : ", outbox/") + ")\n";
    const std::string verb = profile.queue ? "  déposerait dans la file " : "  enverrait ";
    if (!profile.spool.empty()) try {
        const Spool spool = Spool::Open(profile.spool, true);
        const OutboxPlan plan = PlanOutbox(spool, profile, std::chrono::system_clock::now());
        for (const std::string& name : plan.send) text += verb + Visible(name) + "\n";
        for (const auto& [name, reason] : plan.hold)
          text += "  retiendrait " + Visible(name) + " : " + Visible(reason) + "\n";
        sends = static_cast<std::int64_t>(plan.send.size());
        holds = static_cast<std::int64_t>(plan.hold.size());
      } catch (const Refusal& e) {
        spool_error = e.what();
        text += "  spool : " + Visible(spool_error) + "\n";
      }
    for (const std::string& name : DueFetches(profile, journal.get(), now)) {
      text += "  demanderait " + Visible(name) + "\n";
      ++fetches;
    }
    const ScheduleStatus schedule = ReadScheduleStatus(
        profile.path, profile.journal.empty() ? std::nullopt : std::optional(profile.journal),
        profile.Schedule(), now);
    calls_now = schedule.verdict.admission == Admission::kCall;
    text += calls_now ? "  appellerait maintenant\n"
                      : "  n'appellerait pas maintenant : " + Visible(schedule.verdict.why) + "\n";
  } catch (const std::exception& e) {
    if (options.json)
      std::printf("%s\n", JsonObject()
                              .Add("profile", profile_path)
                              .Add("valid", false)
                              .Add("error", e.what())
                              .Text()
                              .c_str());
    else
      PrintLine(stderr, std::string("xmodemq: ") + e.what());
    return kExchangeUsage;
  }
  if (options.json)
    std::printf("%s\n", JsonObject()
                            .Add("profile", profile_path)
                            .Add("valid", true)
                            .Add("would_send", sends)
                            .Add("would_hold", holds)
                            .Add("would_fetch", fetches)
                            .Add("would_call_now", calls_now)
                            .Add("spool_error",
                                 spool_error.empty() ? std::nullopt : std::optional(spool_error))
                            .Text()
                            .c_str());
  else
    std::fputs(text.c_str(), stdout);
  return kExchangeDone;
}

}  // namespace xmodemq

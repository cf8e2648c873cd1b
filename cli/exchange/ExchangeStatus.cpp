#include <chrono>
#include <cstdio>

#include "exchange/Exchange.h"
#include "exchange/ExchangeLock.h"
#include "exchange/ExchangeReport.h"
#include "exchange/ExitStatus.h"
#include "exchange/Profile.h"
#include "exchange/Spool.h"
#include "schedule/ScheduleStatus.h"
#include "system/FileErrors.h"
#include "terminal/Json.h"
#include "terminal/Text.h"
#include "terminal/Timestamps.h"

namespace xmodemq {
namespace {

std::string Utc(const struct timespec& when) {
  return UtcText(when.tv_sec);
}

}  // namespace

// Reads only: the spool is opened as it is, nothing is made nor locked.
int RunExchangeStatus(const Options& options) {
  Profile profile;
  try {
    profile = LoadProfile(*options.profile);
  } catch (const ProfileError& e) {
    if (options.json)
      std::printf(
          "%s\n",
          JsonObject().Add("profile", *options.profile).Add("error", e.what()).Text().c_str());
    else
      PrintLine(stderr, std::string("xmodemq: ") + e.what());
    return kExchangeUsage;
  }
  if (!profile.timezone.empty()) {
    ::setenv("TZ", profile.timezone.c_str(), 1);
    ::tzset();
  }
  std::optional<Spool> spool;
  try {
    spool.emplace(Spool::Open(profile.spool, true));
  } catch (const Refusal& e) {
    const std::string why = e.what();
    if (options.json)
      std::printf("%s\n",
                  JsonObject().Add("profile", profile.path).Add("error", why).Text().c_str());
    else
      PrintLine(stderr, "xmodemq: " + why);
    return kExchangePerson;
  }
  const OutboxListing outbox = spool->Outbox(profile.settle, std::chrono::system_clock::now());
  std::int64_t bytes = 0;
  std::optional<std::string> oldest;
  for (const SpoolEntry& e : outbox.complete) bytes += e.size;
  if (!outbox.complete.empty()) oldest = Utc(outbox.complete.front().changed);
  const auto held = spool->Held();
  const ExchangeState state = LoadState(*spool);
  const auto holder = ExchangeLock::Holder(spool->Folder());
  const ExchangeReport last = state.last.value_or(ExchangeReport{});
  const ScheduleStatus schedule = ReadScheduleStatus(
      profile.path, profile.journal.empty() ? std::nullopt : std::optional(profile.journal),
      profile.Schedule(), WallNow());
  if (options.json) {
    JsonObject json;
    json.Add("profile", profile.path)
        .Add("user", profile.user)
        .Add("running", holder.has_value())
        .Add("running_pid", holder ? std::optional<std::int64_t>(holder->pid) : std::nullopt)
        .Add("running_since", holder ? std::optional(holder->started) : std::nullopt)
        .Add("outbox_files", static_cast<std::int64_t>(outbox.complete.size()))
        .Add("outbox_bytes", bytes)
        .Add("outbox_oldest", oldest)
        .Add("outbox_waiting", static_cast<std::int64_t>(outbox.waiting.size()))
        .Add("held_files", static_cast<std::int64_t>(held.size()));
    std::string reasons;
    for (const auto& [entry, reason] : held)
      reasons += (reasons.empty() ? "" : "\n") + entry.name + " : " + reason;
    json.Add("held", reasons)
        .Add("last_started", state.last ? std::optional(last.started) : std::nullopt)
        .Add("last_ended", state.last ? std::optional(last.ended) : std::nullopt)
        .Add("last_line", last.line)
        .Add("last_exit_status",
             state.last ? std::optional<std::int64_t>(last.exit_status) : std::nullopt)
        .Add("last_sent", last.sent)
        .Add("last_received", last.received)
        .Add("last_message", last.message)
        .Add("last_return", state.last_received)
        .Add("last_return_at",
             state.last_received_at.empty() ? std::nullopt : std::optional(state.last_received_at));
    schedule.AddTo(json);
    std::printf("%s\n", json.Text().c_str());
    return kExchangeDone;
  }
  std::string text =
      "Profil " + Visible(profile.path) + " (utilisateur " + Visible(profile.user) + ")\n";
  if (holder) text += "Un échange est en cours : " + holder->Text() + ".\n";
  text += "À envoyer : " + std::to_string(outbox.complete.size()) + " fichier(s), " +
          GroupDigits(bytes) + " octets" +
          (oldest ? ", le plus ancien du " + LocalTime(*oldest) : std::string()) + "\n";
  if (!outbox.waiting.empty())
    text += "En cours d'écriture : " + std::to_string(outbox.waiting.size()) + " fichier(s)\n";
  text += "Retenus : " + std::to_string(held.size()) + "\n";
  for (const auto& [entry, reason] : held)
    text += "  " + Visible(entry.name) + " : " + Visible(reason) + "\n";
  if (state.last)
    text += "Dernier appel : " + LocalTime(last.started) +
            (last.line.empty() ? std::string() : ", ligne " + Visible(last.line)) + ", code " +
            std::to_string(last.exit_status) + " : " + std::to_string(last.sent) + " envoyé(s), " +
            std::to_string(last.received) + " reçu(s) ; " + Visible(last.message) + "\n";
  else
    text += "Aucun appel encore.\n";
  if (!state.last_received.empty())
    text += "Dernier retour : " + Visible(state.last_received) + ", le " +
            LocalTime(state.last_received_at) + "\n";
  text += schedule.Text();
  std::fputs(text.c_str(), stdout);
  return kExchangeDone;
}

}  // namespace xmodemq

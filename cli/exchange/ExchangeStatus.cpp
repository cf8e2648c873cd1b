#include <chrono>
#include <cstdio>

#include "exchange/Exchange.h"
#include "exchange/ExchangeLock.h"
#include "exchange/ExchangeReport.h"
#include "exchange/ExitStatus.h"
#include "exchange/Profile.h"
#include "exchange/Spool.h"
#include "journal/Journal.h"
#include "journal/JournalPlace.h"
#include "queue/PgQueue.h"
#include "schedule/CallSchedule.h"
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

// The queue that the machines serve, when the profile's journal is a
// database: its depth and who holds which file and which line, from any
// machine. An error instead when the database cannot be read.
struct QueueView {
  std::optional<QueueStatus> status;
  std::string error;
};

QueueView ReadQueue(const Profile& profile) {
  QueueView view;
  if (!NamesDatabase(profile.journal)) return view;
  try {
    if (auto queue = PgQueue::OpenToRead(profile.journal))
      view.status = queue->Status(profile.user);
    else
      view.status.emplace();
  } catch (const JournalError& e) {
    view.error = e.what();
  }
  return view;
}

// One lease a line: for people "  WHAT : HOLDER, bail jusqu'au LOCAL (échu)";
// for JSON "WHAT : HOLDER : UTC[ : échu]", the lines joined by "\n".
std::string Leases(const std::vector<QueueStatus::Held>& held, bool people) {
  std::string text;
  for (const QueueStatus::Held& h : held) {
    if (people)
      text += "  " + Visible(h.what) + " : " + Visible(h.holder) + ", bail jusqu'au " +
              LocalTime(h.lease_end) + (h.ended ? " (échu)" : "") + "\n";
    else
      text += (text.empty() ? "" : "\n") + h.what + " : " + h.holder + " : " + h.lease_end +
              (h.ended ? " : échu" : "");
  }
  return text;
}

void AddQueue(JsonObject& json, const QueueView& view) {
  if (!view.error.empty()) json.Add("queue_error", view.error);
  if (!view.status) return;
  const QueueStatus& q = *view.status;
  json.Add("queue_waiting", q.waiting)
      .Add("queue_waiting_bytes", q.waiting_bytes)
      .Add("queue_oldest", q.oldest.empty() ? std::nullopt : std::optional(q.oldest))
      .Add("queue_sent", q.sent)
      .Add("queue_held", q.held)
      .Add("queue_late", q.late)
      .Add("queue_file_leases", Leases(q.files, false))
      .Add("queue_line_leases", Leases(q.lines, false));
}

std::string QueueText(const QueueView& view) {
  if (!view.error.empty()) return "File d'attente illisible : " + Visible(view.error) + "\n";
  if (!view.status) return "";
  const QueueStatus& q = *view.status;
  std::string text =
      "File d'attente : " + std::to_string(q.waiting) + " fichier(s), " +
      GroupDigits(q.waiting_bytes) + " octets" +
      (q.oldest.empty() ? std::string() : ", le plus ancien du " + LocalTime(q.oldest)) + " ; " +
      std::to_string(q.sent) + " envoyé(s), " + std::to_string(q.held) + " retenu(s)\n";
  if (!q.files.empty()) text += "Fichiers en cours :\n" + Leases(q.files, true);
  if (!q.lines.empty()) text += "Lignes tenues :\n" + Leases(q.lines, true);
  if (q.late > 0)
    text +=
        "Résultats tardifs refusés (bail repris par un autre) : " + std::to_string(q.late) + "\n";
  return text;
}

}  // namespace

// Reads only: the spool is opened as it is, nothing is made nor locked.
int RunExchangeStatus(const Options& options) {
  Profile profile;
  try {
    profile = LoadProfile(*options.profile, ProfileUse::kJournalOnly);
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
  if (profile.spool.empty()) {
    // A profile that serves the queue without a spool: the queue and the
    // schedule are all there is to show.
    const ScheduleStatus schedule =
        ReadScheduleStatus(profile.path, profile.journal, profile.Schedule(), WallNow());
    const QueueView queue = ReadQueue(profile);
    if (options.json) {
      JsonObject json;
      json.Add("profile", profile.path).Add("user", profile.user);
      schedule.AddTo(json);
      AddQueue(json, queue);
      std::printf("%s\n", json.Text().c_str());
    } else {
      std::fputs(("Profil " + Visible(profile.path) + " (utilisateur " + Visible(profile.user) +
                  ")\n" + schedule.Text() + QueueText(queue))
                     .c_str(),
                 stdout);
    }
    return kExchangeDone;
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
  const QueueView queue = ReadQueue(profile);
  // What the outbox gave the queue today (queued/YYYY-MM-DD/).
  const std::int64_t queued =
      profile.queue ? spool->QueuedOn(LocalDayOf(WallNow())).value_or(0) : 0;
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
        .Add("held_files", static_cast<std::int64_t>(held.size()))
        .Add("queued_today", profile.queue ? std::optional(queued) : std::nullopt);
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
    AddQueue(json, queue);
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
  if (profile.queue) text += "Déposés dans la file aujourd'hui : " + std::to_string(queued) + "\n";
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
  text += QueueText(queue);
  std::fputs(text.c_str(), stdout);
  return kExchangeDone;
}

}  // namespace xmodemq

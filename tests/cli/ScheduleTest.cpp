#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CommandTable.h"
#include "journal/Journal.h"
#include "schedule/AlertCommand.h"
#include "schedule/Alerts.h"
#include "schedule/CallSchedule.h"
#include "schedule/CallWindows.h"
#include "schedule/EventLog.h"
#include "schedule/ScheduleStatus.h"
#include "terminal/Timestamps.h"

namespace xmodemq::test {
namespace {

std::time_t At(const std::string& utc) {
  const auto when = ParseUtc(utc);
  EXPECT_TRUE(when) << utc;
  return when.value_or(0);
}

std::vector<CallWindow> Windows(const std::vector<std::string>& texts) {
  std::vector<CallWindow> windows;
  for (const std::string& text : texts) {
    const ParsedWindow parsed = ParseCallWindow(text);
    EXPECT_TRUE(parsed.window) << text << " : " << parsed.error;
    if (parsed.window) windows.push_back(*parsed.window);
  }
  return windows;
}

// Paris is UTC+1 until 2024-03-31 02:00, UTC+2 from then to 2024-10-27 03:00.
TEST(Schedule, WindowsAreReadOnTheProfilesWallClockAcrossMidnightAndSummerTime) {
  const Zone paris("Europe/Paris");
  const struct {
    std::vector<std::string> windows;
    const char* utc;
    bool inside;
  } rows[] = {
      {{"Mo-Fr 19:00-07:00"}, "2024-03-25T17:59:00Z", false},  // Monday 18:59
      {{"Mo-Fr 19:00-07:00"}, "2024-03-25T18:00:00Z", true},   // Monday 19:00
      {{"Mo-Fr 19:00-07:00"}, "2024-03-26T05:59:00Z", true},   // Tuesday 06:59
      {{"Mo-Fr 19:00-07:00"}, "2024-03-26T06:00:00Z", false},  // Tuesday 07:00
      {{"Mo-Fr 19:00-07:00"}, "2024-03-30T05:30:00Z", true},   // Saturday 06:30, Friday's night
      {{"Mo-Fr 19:00-07:00"}, "2024-03-31T04:30:00Z", false},  // Sunday 06:30
      {{"Mo-Fr 19:00-07:00"}, "2024-03-25T05:30:00Z", false},  // Monday 06:30: no Sunday night
      {{"Mo-Fr 19:00-07:00"}, "2024-03-30T18:30:00Z", false},  // Saturday 19:30
      {{"Sa 00:00-24:00"}, "2024-03-30T22:59:00Z", true},      // Saturday 23:59
      {{"Sa 00:00-24:00"}, "2024-03-30T23:00:00Z", false},     // Sunday 00:00
      {{"Sa 00:00-24:00"}, "2024-03-29T23:00:00Z", true},      // Saturday 00:00
      {{"Fr-Mo 22:00-23:00"}, "2024-03-31T20:30:00Z", true},   // Sunday 22:30 (CEST)
      {{"Fr-Mo 22:00-23:00"}, "2024-03-27T21:30:00Z", false},  // Wednesday 22:30
      {{"Mo,We 08:00-12:00"}, "2024-03-27T07:00:00Z", true},   // Wednesday 08:00
      {{"Mo,We 08:00-12:00"}, "2024-03-26T07:00:00Z", false},  // Tuesday 08:00
      {{"Mo,We 08:00-12:00"}, "2024-03-27T11:00:00Z", false},  // Wednesday 12:00
      {{"Tu 10:00-11:00", "Th 10:00-11:00"}, "2024-03-28T09:30:00Z", true},
      {{"Tu 10:00-11:00", "Th 10:00-11:00"}, "2024-03-27T09:30:00Z", false},
      // Summer time begins: 02:00 becomes 03:00.
      {{"Su 01:00-04:00"}, "2024-03-31T00:30:00Z", true},   // 01:30 CET
      {{"Su 01:00-04:00"}, "2024-03-31T01:30:00Z", true},   // 03:30 CEST
      {{"Su 01:00-04:00"}, "2024-03-31T02:00:00Z", false},  // 04:00 CEST
      {{"Su 02:00-03:00"}, "2024-03-31T01:00:00Z", false},  // 03:00 CEST: the hour never lived
      // Winter time comes back: 03:00 becomes 02:00, the hour is lived twice.
      {{"Su 02:00-03:00"}, "2024-10-27T00:30:00Z", true},   // 02:30 CEST
      {{"Su 02:00-03:00"}, "2024-10-27T01:30:00Z", true},   // 02:30 CET
      {{"Su 02:00-03:00"}, "2024-10-27T02:00:00Z", false},  // 03:00 CET
      {{}, "2024-03-27T03:00:00Z", true},
  };
  for (const auto& row : rows)
    EXPECT_EQ(InsideWindows(Windows(row.windows), At(row.utc)), row.inside)
        << (row.windows.empty() ? "" : row.windows.front()) << " at " << row.utc;

  const struct {
    std::vector<std::string> windows;
    const char* from;
    std::optional<std::string> opens;
  } next[] = {
      {{"Mo-Fr 19:00-07:00"}, "2024-03-25T09:00:00Z", "2024-03-25T18:00:00Z"},
      {{"Mo-Fr 19:00-07:00"}, "2024-03-25T18:20:30Z", "2024-03-25T18:20:30Z"},
      {{"Mo-Fr 19:00-07:00"}, "2024-03-30T06:00:00Z", "2024-04-01T17:00:00Z"},
      {{"Su 01:00-04:00"}, "2024-03-30T12:00:00Z", "2024-03-31T00:00:00Z"},
      {{"Su 03:00-04:00"}, "2024-03-30T12:00:00Z", "2024-03-31T01:00:00Z"},
  };
  for (const auto& row : next) {
    const auto opens = NextWindowOpening(Windows(row.windows), At(row.from));
    EXPECT_EQ(opens ? std::optional(UtcText(*opens)) : std::nullopt, row.opens) << row.from;
  }
}

TEST(Schedule, AMalformedWindowSaysWhichPartIsWrong) {
  const struct {
    const char* text;
    const char* said;
  } rows[] = {
      {"Lu 19:00-07:00", "jours inconnus « Lu »"},
      {"Mo,,We 08:00-09:00", "jours inconnus"},
      {"Mo-Xx 08:00-09:00", "jours inconnus"},
      {"Mo-Fr 19:00", "attend « JOURS HH:MM-HH:MM »"},
      {"Mo-Fr19:00-07:00", "attend « JOURS HH:MM-HH:MM »"},
      {"Mo 24:00-07:00", "heure invalide"},
      {"Mo 19:60-20:00", "heure invalide"},
      {"Mo 19:00-24:01", "heure invalide"},
      {"Mo 9:00-10:00", "heure invalide"},
      {"Mo 10:00-10:00", "même heure"},
      {"", "attend"},
  };
  for (const auto& row : rows) {
    const ParsedWindow parsed = ParseCallWindow(row.text);
    EXPECT_FALSE(parsed.window) << row.text;
    EXPECT_NE(parsed.error.find(row.said), std::string::npos) << row.text << " : " << parsed.error;
  }
  const auto whole = ParseCallWindow("Mo 00:00-24:00").window;
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->days, 2u);
  EXPECT_EQ(whole->start, 0);
  EXPECT_EQ(whole->end, 1440);
  EXPECT_EQ(ParseCallWindow("Fr-Mo 01:00-02:00").window->days, 0b1100011u);
}

TEST(Schedule, BackOffDoublesFromTheMinimumToTheMaximumAndAGoodCallResetsIt) {
  SchedulePolicy policy;
  policy.retry_min = 10min;
  policy.retry_max = 4h;
  const std::chrono::seconds expected[] = {10min, 20min, 40min, 80min, 160min, 4h, 4h};
  for (std::size_t i = 0; i < std::size(expected); ++i)
    EXPECT_EQ(Backoff(static_cast<std::int64_t>(i + 1), policy), expected[i]) << i + 1;
  EXPECT_EQ(Backoff(60, policy), 4h);
  SchedulePolicy fixed = policy;
  fixed.retry_min = fixed.retry_max = 5min;
  EXPECT_EQ(Backoff(3, fixed), 5min);

  const Zone paris("Europe/Paris");
  const std::time_t t0 = At("2024-03-25T18:00:00Z");
  // Each run: what it amounts to, then the failures in a row, the wait
  // before the next call from the run's end, and the calls of the day.
  const struct {
    CallResult result;
    std::int64_t failures;
    std::optional<std::chrono::seconds> wait;
    std::int64_t calls_today;
  } runs[] = {
      {CallResult::kFailed, 1, 10min, 1}, {CallResult::kFailed, 2, 20min, 2},
      {CallResult::kNone, 2, 20min, 2},   {CallResult::kFailed, 3, 40min, 3},
      {CallResult::kGood, 0, {}, 4},      {CallResult::kFailed, 1, 10min, 5},
  };
  CallState state;
  std::time_t when = t0;
  for (const auto& run : runs) {
    const CallState before = state;
    NoteCall(state, policy, run.result, "x", when, when + 30, "why");
    EXPECT_EQ(state.failures, run.failures);
    if (run.result == CallResult::kNone)
      EXPECT_EQ(state.next_call, before.next_call);
    else if (run.wait)
      EXPECT_EQ(state.next_call, UtcText(when + 30 + run.wait->count()));
    else
      EXPECT_FALSE(state.next_call);
    EXPECT_EQ(state.calls_today, run.calls_today);
    if (run.result != CallResult::kNone) when += 3600;
  }
  EXPECT_EQ(state.failing_since, UtcText(t0 + 4 * 3600));
  // A new local day counts from one; the account refused stops the calls.
  NoteCall(state, policy, CallResult::kAccountRefused, "person", At("2024-03-25T23:10:00Z"),
           At("2024-03-25T23:11:00Z"), "mot de passe erroné (status 3)");
  EXPECT_EQ(state.calls_today, 1);
  EXPECT_EQ(state.calls_day, "2024-03-26");
  EXPECT_EQ(state.stopped, "mot de passe erroné (status 3)");
  EXPECT_EQ(state.failures, 0);
}

TEST(Schedule, ARunCallsOnlyInsideItsWindowsAfterTheBackOffWithinTheDaysCalls) {
  const Zone paris("Europe/Paris");
  SchedulePolicy policy;
  policy.windows = Windows({"Mo-Fr 19:00-07:00"});
  policy.max_calls_per_day = 3;
  const std::string monday = "2024-03-25";
  const std::time_t evening = At("2024-03-25T19:00:00Z");  // 20:00
  CallState backing, full, nearly, stopped;
  backing.failures = 2, backing.next_call = "2024-03-25T19:30:00Z";
  full.calls_day = nearly.calls_day = monday, full.calls_today = 3, nearly.calls_today = 2;
  CallState yesterday = full;
  yesterday.calls_day = "2024-03-24";
  stopped.stopped = "mot de passe erroné";
  const struct {
    CallState state;
    std::time_t now;
    bool forced;
    Admission admission;
  } rows[] = {
      {{}, evening, false, Admission::kCall},
      {{}, At("2024-03-25T12:00:00Z"), false, Admission::kOutsideWindows},
      {{}, At("2024-03-25T12:00:00Z"), true, Admission::kCall},
      {backing, At("2024-03-25T19:29:59Z"), false, Admission::kBackingOff},
      {backing, At("2024-03-25T19:30:00Z"), false, Admission::kCall},
      {backing, evening, true, Admission::kCall},
      {full, evening, false, Admission::kDayFull},
      {full, evening, true, Admission::kCall},
      {nearly, evening, false, Admission::kCall},
      {yesterday, evening, false, Admission::kCall},
      // 00:30 on Tuesday is another day.
      {full, At("2024-03-25T23:30:00Z"), false, Admission::kCall},
      {stopped, evening, false, Admission::kStopped},
      {stopped, evening, true, Admission::kStopped},
  };
  for (const auto& row : rows) {
    const Verdict verdict = Admit(policy, row.state, row.now, row.forced);
    EXPECT_EQ(verdict.admission, row.admission) << UtcText(row.now) << " " << verdict.why;
    EXPECT_EQ(verdict.why.empty(), row.admission == Admission::kCall) << verdict.why;
  }
  Said(Admit(policy, {}, At("2024-03-25T12:00:00Z"), false).why,
       {"prochaine ouverture le 2024-03-25 19:00:00"});
  Said(Admit(policy, stopped, evening, false).why, {"--resume-calls"});
}

TEST(Schedule, EachConditionHoldsFromItsThreshold) {
  const Zone paris("Europe/Paris");
  SchedulePolicy policy;
  policy.alert_after = 24h;
  policy.alert_age = 2h;
  const std::time_t now = At("2024-03-26T12:00:00Z");
  const CallState calm;
  CallState failing, recent, stopped;
  failing.failures = recent.failures = 5;
  failing.failing_since = "2024-03-25T12:00:00Z";
  recent.failing_since = "2024-03-25T12:00:01Z";
  stopped.stopped = "utilisateur inconnu (status 2)";
  const struct {
    AlertFacts facts;
    std::vector<std::string> names;
  } rows[] = {
      {{}, {}},
      {{2, std::nullopt, calm}, {"held"}},
      {{0, now - 7200, calm}, {"outbox_age"}},
      {{0, now - 7199, calm}, {}},
      {{0, std::nullopt, failing}, {"failing"}},
      {{0, std::nullopt, recent}, {}},
      {{0, std::nullopt, stopped}, {"stopped"}},
      {{1, now - 9000, failing}, {"held", "failing", "outbox_age"}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> names;
    for (const Condition& c : Conditions(policy, row.facts, now)) names.push_back(c.name);
    EXPECT_EQ(names, row.names);
  }
}

TEST(Schedule, TheAlertCommandRunsWithoutAShellAndIsStoppedAfterItsTime) {
  TempDir d;
  const std::string out = (d / "out").string();
  EXPECT_EQ(RunAlertCommand({"/bin/sh", "-c", "printf '%s|%s' \"$XMODEMQ_ALERT\" \"$1\" > " + out,
                             "sh", "a b; touch " + (d / "injected").string()},
                            {{"XMODEMQ_ALERT", "held"}}, 10s),
            "0");
  EXPECT_EQ(ReadFile(d / "out"), "held|a b; touch " + (d / "injected").string());
  EXPECT_FALSE(std::filesystem::exists(d / "injected"));
  EXPECT_EQ(RunAlertCommand({"/bin/sh", "-c", "exit 3"}, {}, 10s), "code de sortie 3");
  Said(RunAlertCommand({"/nonexistent/notify"}, {}, 10s), {"introuvable"});
  // A command that hangs, and what it started, are stopped.
  const auto start = std::chrono::steady_clock::now();
  const std::string hung =
      RunAlertCommand({"/bin/sh", "-c", "trap '' TERM; sleep 30 & wait"}, {}, 300ms);
  Said(hung, {"délai dépassé"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(Schedule, AnAlertRunsOncePerNewConditionAndClosesWhenItClears) {
  const Zone paris("Europe/Paris");
  TempDir d;
  const std::string out = (d / "alerts").string();
  auto journal = Journal::Open({(d / "j.sqlite").string()}, Journal::Access::kWrite);
  SchedulePolicy policy;
  policy.alert = {"/bin/sh", "-c",
                  "echo \"$XMODEMQ_ALERT $XMODEMQ_PROFILE $XMODEMQ_USER\" >> " + out};
  const EventLog log("/p.toml", true);
  const Condition held{"held", "1 fichier"}, age{"outbox_age", "vieux"};
  const std::vector<std::vector<Condition>> runs = {{held}, {held}, {held, age}, {age},
                                                    {},     {held}, {}};
  std::time_t now = At("2024-03-25T18:00:00Z");
  for (const auto& conditions : runs) {
    UpdateAlerts(*journal, "/p.toml", "PS01", policy, conditions, log, now);
    now += 900;
    std::vector<std::string> open;
    for (const AlertRecord& a : journal->Alerts("/p.toml", true)) open.push_back(a.condition);
    std::vector<std::string> expected;
    for (const Condition& c : conditions) expected.push_back(c.name);
    EXPECT_EQ(open, expected);
  }
  EXPECT_EQ(ReadFile(d / "alerts"),
            "held /p.toml PS01\noutbox_age /p.toml PS01\nheld /p.toml PS01\n");
  const auto all = journal->Alerts("/p.toml", false);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].closed, "2024-03-25T18:45:00Z");
  EXPECT_EQ(all[0].command, "0");
  // Another profile's alerts are its own.
  EXPECT_TRUE(journal->Alerts("/other.toml", false).empty());
  // A failing command is noted, and does not stop the run.
  policy.alert = {"/bin/false"};
  UpdateAlerts(*journal, "/p.toml", "PS01", policy, {age}, log, now);
  EXPECT_EQ(journal->Alerts("/p.toml", true).at(0).command, "code de sortie 1");
}

// What `exchange status` says of the schedule: the failures in a row from
// the first one on, why calls stopped and each open alert, the journal's
// texts with their control characters made visible.
TEST(Schedule, TheStatusTellsTheFailuresTheStopAndTheAlerts) {
  ScheduleStatus status;
  status.state.failures = 1, status.state.failing_since = "2024-03-25T19:00:00Z";
  status.state.stopped = "refus\x1b[2J";
  status.alerts = {{0, "held", "F\x1b]0;", "2024-03-25T19:00:00Z", std::nullopt, ""}};
  Said(status.Text(), {"Échecs d'appel de suite : 1, depuis le ", "APPELS ARRÊTÉS : refus",
                       "Alertes ouvertes : 1\n  held depuis le ", "!\x1b"});
  status.state.failures = 0;
  Said(status.Text(), {"!Échecs"});
  status.error = "disque\x1b";
  const std::string text = status.Text();
  EXPECT_EQ(text.rfind("Calendrier illisible : disque", 0), 0u) << text;
  Said(text, {"!\x1b"});
}

// What a call tells as it goes becomes one event per line: each line in its
// last state, a line's end waited for across writes, empty lines left out.
TEST(Schedule, ACallsOutputBecomesOneEventALine) {
  const struct {
    std::vector<std::string> writes;
    std::string events, pending;
  } rows[] = {
      {{"Appel\nLigne\n"}, "Appel|Ligne|", ""},
      {{"12 %\r50 %\r100 %\n"}, "100 %|", ""},
      {{"ab\rcd\nef"}, "cd|", "ef"},
      {{"Envo", "i", "é\nFin"}, "Envoié|", "Fin"},
      {{"\n\n", "x\r\n"}, "", ""},
  };
  for (const auto& row : rows) {
    std::string pending, events;
    for (const std::string& write : row.writes)
      for (const std::string& line : EventLog::TakeLines(pending, write)) events += line + "|";
    EXPECT_EQ(events, row.events) << row.writes[0];
    EXPECT_EQ(pending, row.pending) << row.writes[0];
  }
}

TEST(Schedule, TheJournalIsStandardErrorOnlyWhenJournalStreamNamesIt) {
  struct stat st {};
  ASSERT_EQ(::fstat(STDERR_FILENO, &st), 0);
  const std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  const struct {
    std::optional<std::string> value;
    bool journal;
  } rows[] = {
      {std::nullopt, false},
      {mine, true},
      {std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1), false},
      {std::to_string(st.st_dev + 1) + ":" + std::to_string(st.st_ino), false},
      {mine + "x", false},
      {"", false},
  };
  for (const auto& row : rows) {
    const Variable stream("JOURNAL_STREAM", row.value);
    EXPECT_EQ(EventLog::StderrIsJournal(), row.journal) << row.value.value_or("(unset)");
  }
}

}  // namespace
}  // namespace xmodemq::test

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "CommandTable.h"
#include "terminal/Timestamps.h"

namespace xmodemq::test {
namespace {

// The office's windows, as the profile below says them, judged here on the
// test's own reading of the wall clock in Paris.
bool InsideOfficeWindows(const std::tm& t) {
  const int minute = t.tm_hour * 60 + t.tm_min;
  const bool weekday = t.tm_wday >= 1 && t.tm_wday <= 5;
  const bool after_weekday = t.tm_wday >= 2 && t.tm_wday <= 6;
  return (weekday && minute >= 19 * 60) || (after_weekday && minute < 7 * 60) ||
         (t.tm_wday == 6 && minute >= 9 * 60 && minute < 12 * 60) ||
         (t.tm_wday == 0 && minute >= 60 && minute < 4 * 60);
}

std::chrono::minutes ExpectedBackoff(int failures) {
  return std::min(std::chrono::minutes(30) * (1 << std::min(failures - 1, 8)),
                  std::chrono::minutes(120));
}

struct Tick {
  std::time_t when;
  int status;
  bool dialled;
};

// A week of an office in Paris (summer time begins on its Sunday), the
// exchange run by the timer every 15 minutes through the time-of-day seam:
// files dropped each afternoon (one while a call runs, one not whole
// records), returns waiting on some days, a call cut, the line busy, then
// silent, the password wrong for an evening. Every file reaches the server
// once, every return the inbox once, calls go out only inside the windows
// and after their back-off, each condition alerts once and none is open at
// the end.
TEST(Exchange, AWeekOfTimerTicksCallsInsideTheWindowsBacksOffAndAlertsOnce) {
  const int days = kUnderAddressSanitizer ? 3 : 7;
  TempDir d, busy_dir, silent_dir;
  for (const char* folder : {"store", "spool", "spool/outbox"}) {
    fs::create_directories(d / folder);
    fs::permissions(d / folder, fs::perms(0700));
  }
  const auto password = [&](const std::string& text) { WritePrivate(d / "pw", text + "\n"); };
  password(kSecret);
  WritePrivate(d / "accounts", std::string("PS01:") + kSecret + "\n");
  // The first call is cut after a few frames; sends resume.
  Simulator main(d, {"--store", (d / "store").string(), "--resume-sends", "--accounts",
                     (d / "accounts").string(), "--cut-after", "3"});
  Simulator busy(busy_dir, {"--dial-answer", "BUSY,NO CARRIER"});
  Simulator silent(silent_dir, {});
  silent.Signal(SIGSTOP);
  const auto profile = [&](const std::string& line) {
    WritePrivate(d / "profile.toml",
                 "user = \"PS01\"\npassword_file = \"pw\"\nlines = [\"" + line +
                     "\"]\nattempts = 0\nspool = \"spool\"\nfetch = [\"RET{date:%y%m%d}\"]\n"
                     "fetch_every = \"1d\"\nsettle = \"0s\"\njournal = \"journal.sqlite\"\n"
                     "timezone = \"Europe/Paris\"\n"
                     "windows = [\"Mo-Fr 19:00-07:00\", \"Sa 09:00-12:00\", \"Su 01:00-04:00\"]\n"
                     "retry_min = \"30m\"\nretry_max = \"2h\"\nalert_after = \"1h\"\n"
                     "alert_age = \"8h\"\nalert = [\"/bin/sh\", \"-c\", "
                     "\"echo \\\"$XMODEMQ_ALERT $XMODEMQ_SINCE\\\" >> " +
                     (d / "alerts").string() + "\"]\n");
  };
  const auto args = [&](std::vector<std::string> more) {
    more.insert(more.begin(),
                {XMODEMQ_PATH, "exchange", "--profile", (d / "profile.toml").string()});
    return more;
  };
  std::vector<std::string> bills;
  const auto drop = [&](const std::string& name, const std::string& content, std::time_t when) {
    const fs::path path = d / "spool/outbox" / name;
    WriteFile(path, content);
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    if (content.size() % 128 == 0) bills.push_back(name);
  };

  const Zone paris("Europe/Paris");
  const std::time_t start = *ParseUtc("2024-03-24T23:00:00Z");  // Monday 00:00
  const std::time_t end = days == 7 ? *ParseUtc("2024-03-31T22:00:00Z") : start + days * 86400;
  std::vector<std::string> returns;
  std::vector<Tick> ticks;
  unsigned seed = 1;
  const auto t0 = std::chrono::steady_clock::now();
  for (std::time_t now = start; now < end; now += 900) {
    std::tm t{};
    ::localtime_r(&now, &t);
    char day[8];
    std::strftime(day, sizeof day, "%y%m%d", &t);
    const int hhmm = t.tm_hour * 100 + t.tm_min;
    const bool weekday = t.tm_wday >= 1 && t.tm_wday <= 5;
    // The fund's returns for Monday, Wednesday and Friday, each ready
    // before its day begins (the first call of a day asks for its name).
    if (now == start || (hhmm == 2300 && (t.tm_wday == 2 || t.tm_wday == 4))) {
      const std::time_t of = now == start ? now : now + 3600;
      std::tm that{};
      ::localtime_r(&of, &that);
      char name[16];
      std::strftime(name, sizeof name, "RET%y%m%d", &that);
      WriteFile(d / "store" / name, BillingFile(3, ++seed));
      returns.push_back(name);
    }
    if (hhmm == 1400 && weekday)
      for (const char* part : {"A", "B"})
        drop("F" + std::string(day) + part + ".TXT", BillingFile(5 + t.tm_wday, ++seed), now);
    if (hhmm == 1400 && t.tm_wday == 5) drop("BAD.TXT", std::string(130, 'x'), now);
    if ((hhmm == 800 && t.tm_wday == 6) || (hhmm == 30 && t.tm_wday == 0))
      drop("F" + std::string(day) + "W.TXT", BillingFile(4, ++seed), now);
    // Thursday evening the password is wrong until a person puts it right.
    if (hhmm == 1800 && t.tm_wday == 4) password("faux");
    if (hhmm == 2230 && t.tm_wday == 4) {
      password(kSecret);
      Expect(Process(args({"--resume-calls"}),
                     {{"XMODEMQ_TEST_NOW", UtcText(now)}, {"XMODEMQ_PASSWORD", std::nullopt}})
                 .Wait(30s),
             0);
    }
    // Friday evening a person looks at the held file.
    if (hhmm == 2100 && t.tm_wday == 5) {
      fs::remove(d / "spool/held/BAD.TXT");
      fs::remove(d / "spool/held/BAD.TXT.raison");
    }
    // Tuesday's first evening hour the line is busy, Wednesday's first
    // quarter it answers nothing.
    if (t.tm_wday == 2 && t.tm_hour == 19)
      profile(busy.Link());
    else if (t.tm_wday == 3 && hhmm == 1900)
      profile(silent.Link());
    else
      profile(main.Link());

    const std::size_t openings = main.Openings() + busy.Openings();
    Process run(args({"--json"}),
                {{"XMODEMQ_TEST_NOW", UtcText(now)}, {"XMODEMQ_PASSWORD", std::nullopt}});
    // Friday's first call: the billing software drops one more file meanwhile.
    if (t.tm_wday == 5 && hhmm == 1900) {
      EXPECT_TRUE(main.Await("envoi de « F" + std::string(day) + "A »", 60s)) << main.Log();
      drop("F" + std::string(day) + "C.TXT", BillingFile(6, ++seed), now);
    }
    const Outcome r = run.Wait(120s);
    const bool dialled = One(r)["line"] != Q("");
    ticks.push_back({now, r.status, dialled});
    ASSERT_TRUE(r.status == 0 || r.status == 10 || r.status == 20 || r.status == 75)
        << UtcText(now) << r.All();
    // A tick that does not call says so at once and opens no line.
    EXPECT_EQ(dialled,
              main.Openings() + busy.Openings() > openings || (t.tm_wday == 3 && hhmm == 1900))
        << UtcText(now) << r.All();
    if (dialled) {
      EXPECT_TRUE(InsideOfficeWindows(t)) << UtcText(now) << r.All();
    }
  }
  const auto took = std::chrono::steady_clock::now() - t0;
  silent.Signal(SIGCONT);

  // Back-off: after k failed calls in a row, no call before
  // min(30 min × 2^(k-1), 2 h); the account refused stops calls until resumed.
  int failures = 0;
  std::time_t failed_at = 0;
  std::size_t calls = 0, failed = 0, person = 0;
  for (const Tick& tick : ticks) {
    if (!tick.dialled) continue;
    ++calls;
    if (failures > 0) {
      EXPECT_GE(tick.when - failed_at, std::chrono::seconds(ExpectedBackoff(failures)).count())
          << UtcText(tick.when);
    }
    if (tick.status == 75) {
      ++failures;
      ++failed;
      failed_at = tick.when;
    } else {
      failures = 0;
    }
    person += tick.status == 20 ? 1 : 0;
  }
  EXPECT_EQ(failed, 4u);  // cut, busy twice, silent
  EXPECT_LT(calls, static_cast<std::size_t>(days) * 12);

  // Every file on the server once and whole, every return in the inbox once.
  const std::string log = main.Log();
  for (const std::string& bill : bills) {
    const std::string stem = bill.substr(0, bill.find('.'));
    EXPECT_EQ(CompletedSends(log, stem), 1u) << bill;
    EXPECT_TRUE(fs::exists(d / "store" / stem)) << bill;
  }
  EXPECT_EQ(bills.size(), static_cast<std::size_t>(days == 7 ? 13 : 6));
  EXPECT_TRUE(fs::is_empty(d / "spool/outbox"));
  for (const std::string& name : returns) {
    EXPECT_EQ(ReadFile(d / "spool/inbox" / name), ReadFile(d / "store" / name)) << name;
    EXPECT_FALSE(fs::exists(d / "spool/inbox" / (name + ".1"))) << name;
  }
  EXPECT_EQ(fs::exists(d / "spool/inbox")
                ? std::distance(fs::directory_iterator(d / "spool/inbox"), fs::directory_iterator())
                : 0,
            static_cast<std::ptrdiff_t>(returns.size()));

  // Each condition alerted once, when it began; none is open now.
  const std::string expected = days == 7
                                   ? "failing 2024-03-26T19:00:00Z\nstopped 2024-03-28T18:00:00Z\n"
                                     "outbox_age 2024-03-28T21:00:00Z\nheld 2024-03-29T18:00:00Z\n"
                                   : "failing 2024-03-26T19:00:00Z\n";
  std::string alerts = fs::exists(d / "alerts") ? ReadFile(d / "alerts") : "";
  // XMODEMQ_SINCE is the run's time of day, seconds after its tick.
  for (std::size_t at = alerts.find(' '); at != std::string::npos; at = alerts.find(' ', at + 1))
    alerts.replace(at + 18, 2, "00");
  EXPECT_EQ(alerts, expected);
  // The password refused, the file held.
  EXPECT_EQ(person, days == 7 ? 2u : 0u);
  Ends(Process(args({"status", "--json"}), {{"XMODEMQ_TEST_NOW", UtcText(end)}}).Wait(30s), 0,
       {{"alerts_open", "0"}, {"calls_stopped", "null"}, {"failures_in_row", "0"}});
  std::printf("a week of %zu ticks, %zu calls, in %.1f s\n", ticks.size(), calls,
              std::chrono::duration<double>(took).count());
}

}  // namespace
}  // namespace xmodemq::test

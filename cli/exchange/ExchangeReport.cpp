#include "exchange/ExchangeReport.h"

#include <fcntl.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <sstream>

#include "exchange/ExitStatus.h"
#include "exchange/Spool.h"
#include "system/WriteAll.h"
#include "terminal/Json.h"

namespace xmodemq {
namespace {

constexpr const char* kState = ".etat.toml";

std::string Text(const toml::table& table, const char* key) {
  return table[key].value_or(std::string());
}

std::int64_t Number(const toml::table& table, const char* key) {
  return table[key].value_or(std::int64_t{0});
}

}  // namespace

std::string ExchangeReport::Json() const {
  return JsonObject()
      .Add("profile", profile)
      .Add("user", user)
      .Add("started", started)
      .Add("ended", ended)
      .Add("line", line)
      .Add("exit_status", static_cast<std::int64_t>(exit_status))
      .Add("outcome", OutcomeName(exit_status))
      .Add("sent", sent)
      .Add("already_sent", already_sent)
      .Add("held", held)
      .Add("received", received)
      .Add("already_received", already_received)
      .Add("not_waiting", not_waiting)
      .Add("waiting", waiting)
      .Add("queued", queued)
      .Add("message", message)
      .Text();
}

ExchangeState LoadState(const Spool& spool) {
  ExchangeState state;
  const int fd = ::openat(spool.Folder().Fd(), kState, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return state;
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536)
    text.append(buffer, static_cast<std::size_t>(got));
  ::close(fd);
  toml::table table;
  try {
    table = toml::parse(text);
  } catch (const toml::parse_error&) {
    return state;
  }
  state.last_received = Text(table, "last_received");
  state.last_received_at = Text(table, "last_received_at");
  if (const toml::table* last = table["last"].as_table()) {
    ExchangeReport report;
    report.profile = Text(*last, "profile");
    report.user = Text(*last, "user");
    report.started = Text(*last, "started");
    report.ended = Text(*last, "ended");
    report.line = Text(*last, "line");
    report.exit_status = static_cast<int>(Number(*last, "exit_status"));
    report.sent = Number(*last, "sent");
    report.already_sent = Number(*last, "already_sent");
    report.held = Number(*last, "held");
    report.received = Number(*last, "received");
    report.already_received = Number(*last, "already_received");
    report.not_waiting = Number(*last, "not_waiting");
    report.waiting = Number(*last, "waiting");
    report.message = Text(*last, "message");
    state.last = report;
  }
  return state;
}

bool SaveState(const Spool& spool, const ExchangeReport& report) {
  ExchangeState state = LoadState(spool);
  if (!report.last_received.empty()) {
    state.last_received = report.last_received;
    state.last_received_at = report.ended;
  }
  toml::table last{{"profile", report.profile},
                   {"user", report.user},
                   {"started", report.started},
                   {"ended", report.ended},
                   {"line", report.line},
                   {"exit_status", report.exit_status},
                   {"sent", report.sent},
                   {"already_sent", report.already_sent},
                   {"held", report.held},
                   {"received", report.received},
                   {"already_received", report.already_received},
                   {"not_waiting", report.not_waiting},
                   {"waiting", report.waiting},
                   {"message", report.message}};
  toml::table table{{"last_received", state.last_received},
                    {"last_received_at", state.last_received_at},
                    {"last", last}};
  std::ostringstream out;
  out << table << "\n";
  const std::string aside = std::string(kState) + ".nouveau";
  const int dir = spool.Folder().Fd();
  ::unlinkat(dir, aside.c_str(), 0);
  const int fd =
      ::openat(dir, aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written =
      ::fchmod(fd, spool.StateMode()) == 0 && WriteAll(fd, out.str()) == 0 && ::fsync(fd) == 0;
  ::close(fd);
  return written && ::renameat(dir, aside.c_str(), dir, kState) == 0 && spool.Folder().Sync();
}

}  // namespace xmodemq

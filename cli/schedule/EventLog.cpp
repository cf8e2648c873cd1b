#include "schedule/EventLog.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/uio.h>
// Entries without the source's file and line: a person searches them by the
// fields below.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "terminal/Text.h"

namespace xmodemq {
namespace {

// libsystemd is loaded at the first event sent to systemd's journal, not at
// every start of xmodemq (with the compression and cryptography libraries it
// brings, bound at load time, it cost every command about a millisecond).
// Null when it cannot be loaded: the events then go to standard error, as
// when the journal refuses one.
decltype(&sd_journal_sendv) JournalSend() {
  static const auto send = []() -> decltype(&sd_journal_sendv) {
    // Never closed: it serves until the process ends.
    void* const library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    return reinterpret_cast<decltype(&sd_journal_sendv)>(dlsym(library, "sd_journal_sendv"));
  }();
  return send;
}

}  // namespace

bool EventLog::StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long device = 0, inode = 0;
  int used = 0;
  if (std::sscanf(stream, "%llu:%llu%n", &device, &inode, &used) != 2 || stream[used] != '\0')
    return false;
  struct stat st {};
  return ::fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

EventLog::EventLog(std::string profile, bool quiet)
    : profile_(std::move(profile)), quiet_(quiet), journal_(StderrIsJournal()) {}

EventLog::~EventLog() {
  if (lines_) std::fclose(lines_);
}

std::FILE* EventLog::Lines() {
  if (!journal_ || lines_) return lines_;
  cookie_io_functions_t io{};
  io.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
    auto* log = static_cast<EventLog*>(cookie);
    for (const std::string& line : TakeLines(log->pending_, {data, size}))
      log->Write({line, 6, {}, {}});
    return static_cast<ssize_t>(size);
  };
  io.close = [](void* cookie) -> int {
    auto* log = static_cast<EventLog*>(cookie);
    if (!log->pending_.empty()) log->Write({log->pending_, 6, {}, {}});
    log->pending_.clear();
    return 0;
  };
  lines_ = ::fopencookie(this, "w", io);
  if (lines_) std::setvbuf(lines_, nullptr, _IOLBF, 0);
  return lines_;
}

std::vector<std::string> EventLog::TakeLines(std::string& pending, std::string_view data) {
  pending.append(data);
  std::vector<std::string> lines;
  for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
    // A line redrawn with carriage returns keeps its last state.
    std::string line = pending.substr(0, end);
    pending.erase(0, end + 1);
    if (const auto cr = line.rfind('\r'); cr != std::string::npos) line.erase(0, cr + 1);
    if (!line.empty()) lines.push_back(std::move(line));
  }
  return lines;
}

void EventLog::Write(const LogEvent& event) const {
  if (journal_) {
    std::vector<std::string> fields = {
        "MESSAGE=" + Visible(event.message), "PRIORITY=" + std::to_string(event.priority),
        "SYSLOG_IDENTIFIER=xmodemq", "XMODEMQ_PROFILE=" + Visible(profile_)};
    if (!event.file.empty()) fields.push_back("XMODEMQ_FILE=" + Visible(event.file));
    if (!event.result.empty()) fields.push_back("XMODEMQ_RESULT=" + Visible(event.result));
    std::vector<struct iovec> parts;
    for (std::string& field : fields) parts.push_back({field.data(), field.size()});
    const auto send = JournalSend();
    if (send != nullptr && send(parts.data(), static_cast<int>(parts.size())) >= 0) return;
  }
  if (!quiet_) PrintLine(stderr, "xmodemq: " + event.message);
}

}  // namespace xmodemq

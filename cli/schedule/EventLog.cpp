#include "schedule/EventLog.h"

#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <sys/uio.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "terminal/Text.h"

namespace xmodemq {

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

void EventLog::Write(const LogEvent& event) const {
  if (journal_) {
    std::vector<std::string> fields = {
        "MESSAGE=" + Visible(event.message), "PRIORITY=" + std::to_string(event.priority),
        "SYSLOG_IDENTIFIER=xmodemq", "XMODEMQ_PROFILE=" + Visible(profile_)};
    if (!event.file.empty()) fields.push_back("XMODEMQ_FILE=" + Visible(event.file));
    if (!event.result.empty()) fields.push_back("XMODEMQ_RESULT=" + Visible(event.result));
    std::vector<struct iovec> parts;
    for (std::string& field : fields) parts.push_back({field.data(), field.size()});
    if (sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0) return;
  }
  if (!quiet_) PrintLine(stderr, "xmodemq: " + event.message);
}

}  // namespace xmodemq

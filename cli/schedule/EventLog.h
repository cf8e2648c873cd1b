#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace xmodemq {

// One event of an unattended exchange: one line for a person, and the
// fields a log can be searched by.
struct LogEvent {
  std::string message;
  // syslog's: 3 error, 4 warning, 5 notice, 6 information.
  int priority = 6;
  // The file it is about (a spool's path or a server's name), if any.
  std::string file;
  // What came of it: a transfer's ("sent", "received", "refuse", "failed"),
  // a file's ("held"), a run's ("done", "nothing", "later", "person",
  // "usage"), the schedule's ("not_now", "stopped", "resumed"), an alert's
  // ("alert", "alert_closed").
  std::string result;
};

// Where the exchange's events go. Under systemd's journal (JOURNAL_STREAM
// names standard error's device and inode, as systemd sets it for a
// service whose output it collects) each event is one journal entry with
// the fields XMODEMQ_PROFILE, XMODEMQ_FILE and XMODEMQ_RESULT beside
// MESSAGE and PRIORITY, and nothing goes to standard error; elsewhere (or
// when the journal refuses the entry) it is one line on standard error,
// "xmodemq: MESSAGE". Every text is shown with its control characters made
// visible: a file's name or a server's words cannot forge a line.
class EventLog {
 public:
  // `quiet`: nothing on standard error (the journal still gets every event).
  EventLog(std::string profile, bool quiet);
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  void Write(const LogEvent& event) const;
  // Whether the events go to the journal.
  bool ToJournal() const { return journal_; }
  // Under the journal: a stream whose every line is one event (what a call
  // tells as it goes: the modem, the line, each transfer), for the call's
  // output; nothing elsewhere. Owned by the log.
  std::FILE* Lines();

  // `data` written to Lines(), after the `pending` part of a line written
  // before: the whole lines it completes, each in its last state (a line
  // redrawn with carriage returns), empty ones left out; `pending` keeps
  // the part of a line not yet ended.
  static std::vector<std::string> TakeLines(std::string& pending, std::string_view data);

  // Whether JOURNAL_STREAM's "DEVICE:INODE" is standard error's.
  static bool StderrIsJournal();

 private:
  std::string profile_;
  bool quiet_;
  bool journal_;
  std::FILE* lines_ = nullptr;
  std::string pending_;
};

}  // namespace xmodemq

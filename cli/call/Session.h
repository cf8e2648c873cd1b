#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "call/CallStatus.h"
#include "commandline/Arguments.h"
#include "system/StopSignals.h"
#include "terminal/Progress.h"
#include "terminal/Terminal.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemq {

// Where a session runs: the component's clock and line, and where it writes.
// The defaults are the real ones; tests put a simulated world here.
struct SessionHost {
  std::shared_ptr<xmodemquarvel::Clock> clock;
  std::unique_ptr<xmodemquarvel::SerialPort> port;
  std::FILE* out = stderr;
  // Whether `out` is a terminal and how wide; read from stderr when not given.
  std::optional<bool> terminal;
  std::function<std::size_t()> columns;
  // Where --json writes its objects.
  std::FILE* data = stdout;
  // Asked on every pass of every wait of the call (at least every 100 ms),
  // beside the signals: false asks the running operation to stop and hang
  // up, as a signal does, and so is every later operation of the session.
  // What a call must hold while it runs (a lease) is renewed here, in the
  // call's own thread: nothing outlives the call.
  std::function<bool()> keep_going = {};
};

// One ModuleXmodem as the command drives it: its settings from the options,
// the Error events and trace text it raises, what the modem is doing while
// it dials, the progress display, and the break-off on SIGINT, SIGTERM and
// SIGHUP (the component's abort request, made from its yield: the running
// operation hangs up at its next wait and returns).
class Session {
 public:
  explicit Session(const Options& options, SessionHost host = {});
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  xmodemquarvel::ModuleXmodem& Module() { return *module_; }
  ProgressMode Mode() const { return mode_; }

  // Applies --settings and --device/--port. False when the component refused
  // one of them; the Error event's text has then been printed.
  bool Configure();

  // Selects another line of the pool; false (with the reason printed) when
  // the component refused it.
  bool UseDevice(const std::string& device);
  // After a failed Connect: why the line could not serve (it did not open, or
  // failed under the component), or nothing when the call itself failed.
  // Takes the reason, so that the next line starts afresh.
  std::optional<std::string> LineUnavailable();

  // Connect with the options' attempts, prefix and initialisation string,
  // showing the modem's progress: a line redrawn on a terminal (with the time
  // the answer is still awaited), a line per change otherwise.
  xmodemquarvel::ReturnValues Connect();
  // Disconnect when connected; safe to call twice.
  void Disconnect();
  // The operation returned on its own: an abort asked meanwhile came too
  // late to hang up, and the line is still up.
  void OperationEnded() { aborted_ = false; }
  // Asks the running operation to stop and hang up (from one of its events).
  void Abort() { aborted_ = module_->Abort() || aborted_; }

  // Starts the progress display of an operation (no-op without a display).
  void BeginProgress(const std::string& label, std::optional<int64_t> total_blocks);
  void Block(int32_t count);
  void EndProgress();
  // Blocks moved in this run and the seconds they took.
  int64_t BlocksThisRun() const;
  double Seconds() const;

  // Prints the outcome of a failed operation: the Error events raised during
  // it, "<source>: <description>" of the error record, what a refusal's status
  // means, and after a failed Connect the modem's last answer.
  void ReportFailure();
  // Informational text, unless --quiet.
  void Say(const std::string& text);
  // A message that --quiet does not silence.
  void Warn(const std::string& text);

  bool Interrupted() const;
  // The host's keep_going answered false: the running operation was asked
  // to stop.
  bool Released() const { return released_; }
  // kSignalExitBase + the signal, as a shell reports a command that the signal ended.
  int InterruptExitCode() const;

 private:
  void OnTrace(const std::string& text);
  void ShowStatus();
  void ClearStatus();

  // SIGINT, SIGTERM and SIGHUP are noted for as long as the session lives:
  // the yield asks the running operation to stop, and it hangs up in order.
  StopSignals signals_;
  const Options& options_;
  std::FILE* out_;
  bool terminal_;
  ProgressMode mode_;
  std::unique_ptr<TerminalWidth> width_;
  std::function<std::size_t()> columns_;
  std::shared_ptr<xmodemquarvel::Clock> clock_;
  std::unique_ptr<xmodemquarvel::ModuleXmodem> module_;
  std::unique_ptr<Progress> progress_;
  std::unique_ptr<CallStatus> status_;
  std::string status_drawn_;
  std::size_t status_columns_ = 0;
  RedrawnLine status_line_;
  std::function<bool()> keep_going_;
  bool released_ = false;
  bool connect_failed_ = false;
  // The line in use, as given.
  std::string device_;
  std::vector<std::string> errors_;
  bool connected_ = false;
  bool aborted_ = false;
};

// "Xmodem: SendFile: Transfert refusé, status 6" — the error record on one
// line; the CR LF that the component puts between two messages becomes " / ".
std::string FormatRecord(const std::string& source, const std::string& description);

}  // namespace xmodemq

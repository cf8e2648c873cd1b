#pragma once

#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Progress.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemq {

// One ModuleXmodem as the command drives it: its settings from the options,
// the Error events and trace text it raises, the progress display, and the
// break-off on Ctrl-C (the component is then disconnected from its own yield,
// the one way it offers to stop a transfer).
class Session {
 public:
  explicit Session(const Options& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  xmodemquarvel::ModuleXmodem& Module() { return *module_; }
  ProgressMode Mode() const { return mode_; }

  // Applies --settings and --device/--port. False when the component refused
  // one of them; the Error event's text has then been printed.
  bool Configure();

  // Connect with the options' attempts, prefix and initialisation string.
  xmodemquarvel::ReturnValues Connect();
  // Disconnect when connected; safe to call twice.
  void Disconnect();

  // Starts the progress display of an operation (no-op without a display).
  void BeginProgress(const std::string& label, std::optional<int64_t> total_blocks);
  void Block(int32_t count);
  // Ends the display; returns the blocks moved and the seconds taken.
  void EndProgress();
  const Progress* CurrentProgress() const { return progress_.get(); }

  // Prints the outcome of a failed operation: the Error events raised during
  // it, then "<source>: <description>" of the error record when it holds one.
  void ReportFailure();
  // Informational text on stderr, unless --quiet.
  void Say(const std::string& text);
  // Error events seen since the last report.
  const std::vector<std::string>& Errors() const { return errors_; }
  void ClearErrors() { errors_.clear(); }

  bool Interrupted() const;
  // 128 + the signal, as a shell reports a command that the signal ended.
  int InterruptExitCode() const;

 private:
  void OnTrace(const std::string& text);

  const Options& options_;
  ProgressMode mode_;
  std::unique_ptr<xmodemquarvel::ModuleXmodem> module_;
  std::unique_ptr<Progress> progress_;
  std::vector<std::string> errors_;
  bool connected_ = false;
  bool broke_off_ = false;
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

// "Xmodem: SendFile: Transfert refusé, status 6" — the error record on one
// line; the CR LF that the component puts between two messages becomes " / ".
std::string FormatRecord(const std::string& source, const std::string& description);

}  // namespace xmodemq

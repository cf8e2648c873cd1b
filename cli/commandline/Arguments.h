#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/SimulatorOptions.h"

namespace xmodemq {

enum class Command {
  None,
  Help,
  Version,
  Send,
  Receive,
  Pack,
  Unpack,
  Simulate,
  Demo,
  Journal,
  Exchange,
  Submit,
  FetchReturns
};

// A command line that cannot be run as written: the message says why.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Everything the command line said. Options may stand before or after the
// subcommand; each is checked against the subcommand once it is known.
struct Options {
  Command command = Command::None;
  // With Command::Help: the subcommand whose help is asked for (None: all).
  Command help_topic = Command::None;
  // Files named after the subcommand (several for a batch of sends or
  // receives on one call).
  std::vector<std::string> operands;

  // Output.
  bool quiet = false;
  bool progress = false;
  bool trace = false;

  // The line (send, receive).
  // One device, or a pool: the first that opens serves the transfer.
  std::vector<std::string> devices;
  std::optional<int32_t> port;
  std::string settings = "9600,N,8,1";
  int32_t attempts = 3;
  std::string prefix;
  std::string init;

  // The server's side of a transfer.
  std::string user;
  std::string pack_type = "0";
  std::optional<std::string> password_file;
  // send: a file of a last, short record goes as a copy filled with spaces.
  bool pad = false;
  // receive, pack, unpack: an existing target is replaced once the new file
  // is complete.
  bool replace = false;
  // receive: how old a partial file may be to be resumed without a word, and
  // resuming one whatever its age or origin.
  std::chrono::seconds partial_max_age = std::chrono::hours(24);
  bool resume_old = false;
  // receive: the free space (bytes) that the target's file system must have
  // before the call.
  int64_t min_free = int64_t{1} << 20;
  // unpack: a file that does not look packed is unpacked all the same.
  bool force = false;
  // unpack: every block is coded again and compared with the code read,
  // rather than a sample.
  bool verify = false;

  // The journal of the transfers (send, receive, journal): its place, or
  // none at all.
  std::optional<std::string> journal_path;
  bool no_journal = false;
  // send: a file that the journal says went already goes again.
  bool again = false;
  // send: a file whose last send has an unknown outcome goes as far as the
  // server's resume position confirms.
  bool ask_server = false;
  // send: the files that the journal says went already are left out, the
  // others go.
  bool skip_sent = false;
  // send, receive, pack, unpack, journal: one JSON object per file on stdout.
  bool json = false;
  // journal: the rows started from this time on (a journal time, UTC), and
  // those of this name.
  std::optional<std::string> since;
  std::optional<std::string> file_name;
  // journal: the rows started before this time (UTC), the last `lines` of
  // them, and no pager on a terminal.
  std::optional<std::string> until;
  std::optional<int32_t> lines;
  bool no_pager = false;

  // exchange: the profile; only check it and say what a run would do; and
  // (the operand "status") show the spool's state.
  std::optional<std::string> profile;
  bool check = false;
  bool now = false;
  // exchange: calls stopped by the server's refusal of the account resume.
  bool resume_calls = false;

  // simulate.
  SimulatorOptions simulator;

  // demo.
  std::optional<std::string> demo_dir;
  int32_t demo_records = 400;
};

// Reads argv; throws UsageError. An empty command line is a usage error too.
Options ParseArguments(const std::vector<std::string>& args);

const char* CommandName(Command command);

}  // namespace xmodemq

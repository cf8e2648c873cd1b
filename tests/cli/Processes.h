#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace xmodemq::test {

using namespace std::chrono_literals;

// Changes to the environment of a child: a value of nullopt removes the variable.
using Env = std::map<std::string, std::optional<std::string>>;

// The finished run of a command: its exit status (or the signal that ended it,
// as 128 + N) and all it wrote.
struct Outcome {
  int status = -1;
  bool timed_out = false;
  std::string out;
  std::string err;
  std::string All() const { return out + err; }
};

// A started process with its stdout and stderr collected through pipes.
class Process {
 public:
  // `env` is added to (or replaces in) this process's environment; a value of
  // nullopt removes the variable.
  Process(const std::vector<std::string>& args, const Env& env = {},
          const std::filesystem::path& cwd = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t Pid() const { return pid_; }
  // Collects output until the process ends or `limit` passes (then it is
  // killed and `timed_out` set).
  Outcome Wait(std::chrono::milliseconds limit);
  // Collects what is available for up to `limit`; false when the process ended.
  bool Pump(std::chrono::milliseconds limit);
  void Signal(int signo);
  const std::string& OutSoFar() const { return out_; }
  const std::string& ErrSoFar() const { return err_; }

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  std::optional<int> status_;
};

// Runs `xmodemq ARGS...` to its end (at most `limit`).
Outcome RunXmodemq(const std::vector<std::string>& args, const Env& env = {},
                   std::chrono::milliseconds limit = 30s);

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// `xmodemq simulate --link DIR/modem EXTRA...` running in the background,
// ready once the link exists; stopped by SIGTERM at the end, when it must
// exit 0 and take its link away.
class Simulator {
 public:
  Simulator(const TempDir& dir, const std::vector<std::string>& extra);
  ~Simulator();
  const std::string& Link() const { return link_; }
  // Stops it now; returns its outcome.
  Outcome Stop();
  // What it logged so far.
  std::string Log();
  // How many times a client opened the device so far: no opening, no call.
  std::size_t Openings();

 private:
  std::string link_;
  std::unique_ptr<Process> process_;
  std::optional<Outcome> outcome_;
};

// A process on a pseudo-terminal of a set size, as a user at a terminal runs
// it: its stdout and stderr on the screen, its stdin the keyboard.
class Terminal {
 public:
  Terminal(const std::vector<std::string>& args, const Env& env = {}, unsigned short columns = 80);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Reads until `text` shows or `limit` passes.
  bool ReadUntil(const std::string& text, std::chrono::milliseconds limit);
  void Type(const std::string& keys);
  // Changes the window's width; the process gets SIGWINCH.
  void Resize(unsigned short columns);
  bool EchoOn();
  void Signal(int signo);
  // Its exit status (128 + N for signal N), -1 if it did not end in time.
  int Wait(std::chrono::milliseconds limit);
  const std::string& Screen() const { return screen_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  int slave_ = -1;
  bool ended_ = false;
  std::string screen_;
};

// The lines a terminal shows for `screen`: split at CR and LF, the
// clear-to-end sequences taken out.
std::vector<std::string> ScreenLines(const std::string& screen);
// Columns of a UTF-8 text.
std::size_t Width(const std::string& text);

// The environment that preloads the failure shim (see FailShim.cpp):
// `open_fail` is TEXT:ERRNO, `write_fail` TEXT:BYTES.
Env FailureEnv(const std::string& open_fail, const std::string& write_fail = {});

// A folder's files and folders, by path relative to it (a folder's ends with
// '/' and maps to ""), with their contents; symbolic links are left out.
using Tree = std::map<std::string, std::string>;
void MakeTree(const std::filesystem::path& dir, const Tree& tree);
Tree ReadTree(const std::filesystem::path& dir);
// The arguments of a table row: "D/..." is a path in the row's folder `d`,
// "LINK" the simulator's link.
std::vector<std::string> Expand(const std::vector<std::string>& args,
                                const std::filesystem::path& d, const std::string& link);

std::size_t Count(const std::string& text, const std::string& what);
// `xmodemq COMMAND FILE --user PS0001 --device LINK EXTRA...`.
std::vector<std::string> Client(const std::string& command, const std::filesystem::path& file,
                                const std::string& link, std::vector<std::string> extra = {});

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// A billing-style text: fixed-width 128-character records of digits and spaces.
std::string BillingRecords(int count, unsigned seed);

}  // namespace xmodemq::test

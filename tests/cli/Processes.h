#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "demo/BillingFile.h"
#include "support/Files.h"

namespace xmodemq::test {

using namespace std::chrono_literals;
using xmodemquarvel::testing::ReadFile;
using xmodemquarvel::testing::TempDir;
using xmodemquarvel::testing::WriteFile;

// Changes to the environment of a child: a value of nullopt removes the variable.
using Env = std::map<std::string, std::optional<std::string>>;

// The finished run of a command: its exit status (or the signal that ended it,
// as 128 + N) and all it wrote.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  std::string All() const { return out + err; }
};

// A started process with its stdout and stderr collected through pipes, or,
// given `columns`, on a pseudo-terminal of that width (0: one that gives no
// size) as a user at a terminal runs it: all it writes is then in OutSoFar().
// Given `as`, it runs as that user, with that user's group alone.
class Process {
 public:
  Process(const std::vector<std::string>& args, const Env& env = {},
          const std::filesystem::path& cwd = {}, std::optional<unsigned short> columns = {},
          std::optional<uid_t> as = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Collects output until the process ends or `limit` passes (then it is
  // killed).
  Outcome Wait(std::chrono::milliseconds limit);
  // Collects what is available for up to `limit`; false when the process ended.
  bool Pump(std::chrono::milliseconds limit);
  // Collects output until `text` shows or `limit` passes.
  bool Await(const std::string& text, std::chrono::milliseconds limit);
  void Signal(int signo);
  pid_t Pid() const { return pid_; }
  const std::string& OutSoFar() const { return out_; }
  const std::string& ErrSoFar() const { return err_; }

  // On a terminal: keys typed, the window resized (the process gets
  // SIGWINCH), whether the terminal echoes (read again after the end).
  void Type(const std::string& keys);
  void Resize(unsigned short columns);
  bool EchoOn();

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int terminal_ = -1;
  std::string out_;
  std::string err_;
  std::optional<int> status_;
};

// `xmodemq simulate --link DIR/modem EXTRA...` running in the background,
// ready once the link exists (given `--listen` in EXTRA, no link: Link() is
// the rfc2217:// address it serves); stopped by SIGTERM at the end, when it must
// exit 0 and take its link away.
class Simulator {
 public:
  // `cwd`: where it runs (default: the test's own folder); `as`: the user.
  Simulator(const TempDir& dir, const std::vector<std::string>& extra,
            const std::filesystem::path& cwd = {}, std::optional<uid_t> as = {});
  ~Simulator();
  const std::string& Link() const { return link_; }
  // Collects its log until `text` shows or `limit` passes.
  bool Await(const std::string& text, std::chrono::milliseconds limit);
  // Stops it now; returns its outcome.
  Outcome Stop();
  // What it logged so far.
  std::string Log();
  // How many times a client opened the device so far: no opening, no call.
  std::size_t Openings();
  // SIGSTOP: a line that answers nothing; SIGCONT brings it back.
  void Signal(int signo) { process_->Signal(signo); }

 private:
  std::string link_;
  std::unique_ptr<Process> process_;
  std::optional<Outcome> outcome_;
};

// `xmodemq ARGS...` in `env`, as `as`, run to its end (killed after `limit`).
Outcome Xmq(std::vector<std::string> args, const Env& env = {},
            std::chrono::milliseconds limit = 60s, std::optional<uid_t> as = {});
// `text` written to `path`, readable by its owner alone (0600).
void WritePrivate(const std::filesystem::path& path, const std::string& text);

// An environment variable set (or unset) for the life of the object; the
// time zone read again each time.
class Variable {
 public:
  Variable(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~Variable() { Set(old_); }

 private:
  void Set(const std::optional<std::string>& value) const {
    value ? ::setenv(name_, value->c_str(), 1) : ::unsetenv(name_);
    ::tzset();
  }
  const char* name_;
  std::optional<std::string> old_;
};

// The process's time zone for the life of the object.
struct Zone : Variable {
  explicit Zone(const char* zone) : Variable("TZ", zone) {}
};

std::size_t Count(const std::string& text, const std::string& what);
// Whether this test program runs under AddressSanitizer (g++ or clang),
// where the long tests take a shorter course.
constexpr bool kUnderAddressSanitizer =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
    __has_feature(address_sanitizer);
#else
    false;
#endif
// How many sends of `name` (a server's name) the simulated server completed
// with data, from its log.
std::size_t CompletedSends(const std::string& log, const std::string& name);

// One JSON object per line, parsed strictly: each member's value as JSON
// text, a string's decoded and put back between quotes ("\"é\""). Nothing
// when a line is not one flat JSON object.
using JsonFields = std::map<std::string, std::string>;
std::optional<std::vector<JsonFields>> ParseJsonLines(const std::string& text);
// The one JSON object that a run wrote; an empty one, a failure, otherwise.
JsonFields One(const Outcome& r);
// A run's status, and members of its one JSON object ("(absent)": none).
void Ends(const Outcome& r, int status, const JsonFields& members);
// "\"text\"": a string value as ParseJsonLines gives it.
inline std::string Q(const std::string& text) {
  return "\"" + text + "\"";
}
// The text with 0xFF alone, doubled, and before the bytes that would end or
// start a Telnet subnegotiation in each of its 128-byte blocks.
std::string WithIacInEveryBlock(std::string text);

}  // namespace xmodemq::test

#include "Processes.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace xmodemq::test {
namespace {

using Clock = std::chrono::steady_clock;

void ReadSome(int& fd, std::string& into) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    // End of file; on a terminal, EIO once no one holds its other side.
    ::close(fd);
    fd = -1;
  }
}

}  // namespace

Process::Process(const std::vector<std::string>& args, const Env& env,
                 const std::filesystem::path& cwd, std::optional<unsigned short> columns) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) environment.push_back(entry);
  }
  for (const auto& [name, value] : env)
    if (value) environment.push_back(name + "=" + *value);
  std::vector<char*> argv;
  std::vector<char*> envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  for (auto& e : environment) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const std::string dir = cwd.string();

  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (columns) {
    winsize size{24, *columns, 0, 0};
    pid_ = ::forkpty(&out_fd_, nullptr, nullptr, &size);
  } else if (::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0) {
    pid_ = ::fork();
  }
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    if (!columns) {
      ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      // Its own process group: a signal meant for it reaches no one else.
      ::setpgid(0, 0);
    }
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (columns) {
    // A second hold on the terminal, to type, resize and read its settings
    // after the end; the reading side closes at the end of the output.
    ::fcntl(out_fd_, F_SETFD, FD_CLOEXEC);
    terminal_ = ::fcntl(out_fd_, F_DUPFD_CLOEXEC, 0);
    return;
  }
  ::close(out[1]);
  ::close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
}

Process::~Process() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {out_fd_, err_fd_, terminal_})
    if (fd >= 0) ::close(fd);
}

bool Process::Pump(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    const int r = ::poll(fds, 2, static_cast<int>(std::max<long long>(left, 0)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return true;
    if (fds[0].revents != 0) ReadSome(out_fd_, out_);
    if (fds[1].revents != 0) ReadSome(err_fd_, err_);
  }
  return false;
}

bool Process::Await(const std::string& text, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  const auto shown = [&] { return (out_ + err_).find(text) != std::string::npos; };
  while (!shown() && Clock::now() < deadline && Pump(20ms)) {
  }
  return shown();
}

Outcome Process::Wait(std::chrono::milliseconds limit) {
  Outcome outcome;
  const auto deadline = Clock::now() + limit;
  while (!status_) {
    if (Clock::now() >= deadline && !outcome.timed_out) {
      outcome.timed_out = true;
      ::kill(pid_, SIGKILL);
    }
    // Output first: a process blocked on a full pipe would never end.
    if (!Pump(50ms)) std::this_thread::sleep_for(2ms);
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_)
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  while (Pump(100ms)) {
  }
  outcome.status = *status_;
  outcome.out = out_;
  outcome.err = err_;
  return outcome;
}

void Process::Signal(int signo) {
  if (!status_) ::kill(pid_, signo);
}

void Process::Type(const std::string& keys) {
  ASSERT_EQ(::write(terminal_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

void Process::Resize(unsigned short columns) {
  const winsize size{24, columns, 0, 0};
  ::ioctl(terminal_, TIOCSWINSZ, &size);
}

bool Process::EchoOn() {
  termios t{};
  EXPECT_EQ(::tcgetattr(terminal_, &t), 0);
  return (t.c_lflag & ECHO) != 0;
}

int Terminal::Wait(std::chrono::milliseconds limit) {
  const Outcome outcome = Process::Wait(limit);
  return outcome.timed_out ? -1 : outcome.status;
}

Outcome RunXmodemq(const std::vector<std::string>& args, const Env& env,
                   std::chrono::milliseconds limit) {
  std::vector<std::string> full = {XMODEMQ_PATH};
  full.insert(full.end(), args.begin(), args.end());
  return Process(full, env).Wait(limit);
}

Simulator::Simulator(const TempDir& dir, const std::vector<std::string>& extra,
                     const std::filesystem::path& cwd)
    : link_((dir / "modem").string()) {
  const bool listen = std::find(extra.begin(), extra.end(), "--listen") != extra.end();
  std::vector<std::string> args = {XMODEMQ_PATH, "simulate"};
  if (!listen) args.insert(args.end(), {"--link", link_});
  args.insert(args.end(), extra.begin(), extra.end());
  process_ = std::make_unique<Process>(args, Env{}, cwd);
  // A terminal server is ready once it has said where: "Simulateur prêt : rfc2217://...".
  const auto ready = [&] {
    std::error_code ec;
    if (!listen) return std::filesystem::exists(link_, ec);
    const std::size_t at = process_->OutSoFar().find("rfc2217://");
    const std::size_t end = process_->OutSoFar().find('\n', at);
    if (end != std::string::npos) link_ = process_->OutSoFar().substr(at, end - at);
    return end != std::string::npos;
  };
  const auto deadline = Clock::now() + 10s;
  while (!ready() && Clock::now() < deadline && process_->Pump(20ms)) {
  }
  if (!ready()) throw std::runtime_error("the simulator is not ready: " + process_->ErrSoFar());
}

Simulator::~Simulator() {
  // Every simulator must stop cleanly on SIGTERM: exit 0, link removed.
  const Outcome outcome = Stop();
  if (outcome.status != 0)
    ADD_FAILURE() << "simulate exited " << outcome.status << ": " << outcome.All();
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::symlink_status(link_, ec)))
    ADD_FAILURE() << "simulate left its link " << link_;
}

Outcome Simulator::Stop() {
  if (!outcome_) {
    process_->Signal(SIGTERM);
    outcome_ = process_->Wait(10s);
  }
  return *outcome_;
}

std::string Simulator::Log() {
  if (!outcome_) process_->Pump(0ms);
  return outcome_ ? outcome_->All() : process_->OutSoFar() + process_->ErrSoFar();
}

std::string Simulator::Store() {
  const std::string log = Log();
  const std::string label = "Dossier du serveur : ";
  const auto at = log.find(label);
  if (at == std::string::npos) return {};
  const auto end = log.find_first_of(" \n", at + label.size());
  return log.substr(at + label.size(), end - at - label.size());
}

bool Simulator::Await(const std::string& text, std::chrono::milliseconds limit) {
  return outcome_ ? outcome_->All().find(text) != std::string::npos : process_->Await(text, limit);
}

std::size_t Simulator::Openings() {
  return Count(Log(), "client : port ouvert");
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string BillingRecords(int count, unsigned seed) {
  std::mt19937 random(seed);
  std::string text;
  for (int r = 0; r < count; ++r) {
    // Fixed-width fields of 6 to 15 digits (insured number, act code, amount,
    // date) between runs of 1 to 6 spaces, to 126 characters and CR LF.
    std::string record;
    while (record.size() < 120) {
      for (auto width = 6 + random() % 10; width > 0 && record.size() < 120; --width)
        record.push_back(static_cast<char>('0' + random() % 10));
      record.append(1 + random() % 6, ' ');
    }
    record.resize(126, ' ');
    text += record + "\r\n";
  }
  return text;
}

std::string WithIacInEveryBlock(std::string text) {
  for (std::size_t b = 0; b < text.size() / 128; ++b)
    text.replace(b * 128 + 5 * (b % 20), 6, "\xFF\xFF\xFF\xF0\xFF\xFA");
  return text;
}

namespace {

// The parser's cursor over one line.
struct JsonCursor {
  const std::string& text;
  std::size_t at = 0;

  bool Take(char c) {
    if (at < text.size() && text[at] == c) return ++at, true;
    return false;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (at < text.size() && text[at] != '"') {
      const auto c = static_cast<unsigned char>(text[at++]);
      if (c < 0x20) return false;
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        continue;
      }
      if (at >= text.size()) return false;
      const char e = text[at++];
      const std::string simple = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
      if (const auto k = simple.find(e); k != std::string::npos) {
        out.push_back(meant[k]);
      } else if (e == 'u' && at + 4 <= text.size()) {
        const unsigned code = std::stoul(text.substr(at, 4), nullptr, 16);
        at += 4;
        // UTF-8 of a code point below U+10000 (the command writes no others).
        if (code < 0x80) {
          out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
          out.push_back(static_cast<char>(0xC0 | (code >> 6)));
          out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
          out.push_back(static_cast<char>(0xE0 | (code >> 12)));
          out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
          out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
      } else {
        return false;
      }
    }
    return Take('"');
  }
  bool Value(std::string& out) {
    if (at < text.size() && text[at] == '"') {
      std::string decoded;
      if (!String(decoded)) return false;
      out = Q(decoded);
      return true;
    }
    for (const char* word : {"null", "true", "false"})
      if (text.compare(at, std::strlen(word), word) == 0) {
        at += std::strlen(word);
        out = word;
        return true;
      }
    const std::size_t start = at;
    Take('-');
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    out = text.substr(start, at - start);
    return at > start && out != "-" && (out.size() == 1 || out[0] != '0');
  }
};

}  // namespace

std::optional<std::vector<JsonFields>> ParseJsonLines(const std::string& text) {
  std::vector<JsonFields> objects;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) return std::nullopt;
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    JsonCursor c{line};
    JsonFields fields;
    if (!c.Take('{')) return std::nullopt;
    while (!c.Take('}')) {
      std::string name, value;
      if ((!fields.empty() && !c.Take(',')) || !c.String(name) || !c.Take(':') || !c.Value(value) ||
          !fields.emplace(name, value).second)
        return std::nullopt;
    }
    if (c.at != line.size()) return std::nullopt;
    objects.push_back(std::move(fields));
  }
  return objects;
}

}  // namespace xmodemq::test

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
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace xmodemq::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Environment(const Env& changes) {
  std::vector<std::string> result;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (changes.count(name) == 0) result.push_back(entry);
  }
  for (const auto& [name, value] : changes)
    if (value) result.push_back(name + "=" + *value);
  return result;
}

bool ReadSome(int& fd, std::string& into) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  ::close(fd);
  fd = -1;
  return false;
}

}  // namespace

Process::Process(const std::vector<std::string>& args, const Env& env,
                 const std::filesystem::path& cwd) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2");
  std::vector<std::string> environment = Environment(env);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string dir = cwd.string();

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    // Its own process group: a signal meant for it reaches no one else.
    ::setpgid(0, 0);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
}

Process::~Process() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
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
  // Both pipes closed: the process has ended (or closed them).
  return false;
}

Outcome Process::Wait(std::chrono::milliseconds limit) {
  Outcome outcome;
  const auto deadline = Clock::now() + limit;
  while (!status_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 && !outcome.timed_out) {
      outcome.timed_out = true;
      ::kill(pid_, SIGKILL);
    }
    // Output first: a process blocked on a full pipe would never end.
    if (out_fd_ >= 0 || err_fd_ >= 0) {
      Pump(std::clamp(left, std::chrono::milliseconds(1), std::chrono::milliseconds(50)));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_)
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  while (out_fd_ >= 0 || err_fd_ >= 0) Pump(std::chrono::milliseconds(100));
  outcome.status = *status_;
  outcome.out = out_;
  outcome.err = err_;
  return outcome;
}

void Process::Signal(int signo) {
  if (!status_) ::kill(pid_, signo);
}

Outcome RunXmodemq(const std::vector<std::string>& args, const Env& env,
                   std::chrono::milliseconds limit) {
  std::vector<std::string> full = {XMODEMQ_PATH};
  full.insert(full.end(), args.begin(), args.end());
  Process process(full, env);
  return process.Wait(limit);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "xmodemq-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Simulator::Simulator(const TempDir& dir, const std::vector<std::string>& extra)
    : link_((dir / "modem").string()) {
  std::vector<std::string> args = {XMODEMQ_PATH, "simulate", "--link", link_};
  args.insert(args.end(), extra.begin(), extra.end());
  process_ = std::make_unique<Process>(args);
  const auto deadline = Clock::now() + 10s;
  std::error_code ec;
  while (!std::filesystem::exists(link_, ec) && Clock::now() < deadline) {
    if (!process_->Pump(20ms)) break;
  }
  if (!std::filesystem::exists(link_, ec))
    throw std::runtime_error("the simulator did not make its link: " + process_->ErrSoFar());
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

std::size_t Simulator::Openings() {
  return Count(Log(), "client : port ouvert");
}

Terminal::Terminal(const std::vector<std::string>& args, const Env& env, unsigned short columns) {
  std::vector<std::string> environment = Environment(env);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  char name[128] = {};
  pid_ = ::forkpty(&master_, name, nullptr, &size);
  if (pid_ < 0) throw std::runtime_error("forkpty");
  if (pid_ == 0) {
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  // Held open so that the terminal's settings can still be read at the end.
  slave_ = ::open(name, O_RDWR | O_NOCTTY);
}

Terminal::~Terminal() {
  if (!ended_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  ::close(master_);
  if (slave_ >= 0) ::close(slave_);
}

bool Terminal::ReadUntil(const std::string& text, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (screen_.find(text) == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[512];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return screen_.find(text) != std::string::npos;
    screen_.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

void Terminal::Type(const std::string& keys) {
  ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

void Terminal::Resize(unsigned short columns) {
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  ::ioctl(master_, TIOCSWINSZ, &size);
}

bool Terminal::EchoOn() {
  termios t{};
  EXPECT_EQ(::tcgetattr(slave_, &t), 0);
  return (t.c_lflag & ECHO) != 0;
}

void Terminal::Signal(int signo) {
  if (!ended_) ::kill(pid_, signo);
}

int Terminal::Wait(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (Clock::now() < deadline) {
    ReadUntil("\x01never", 20ms);
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      ended_ = true;
      ReadUntil("\x01never", 20ms);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  return -1;
}

std::vector<std::string> ScreenLines(const std::string& screen) {
  std::vector<std::string> lines(1);
  for (std::size_t i = 0; i < screen.size(); ++i) {
    if (screen.compare(i, 3, "\033[K") == 0) {
      i += 2;
    } else if (screen[i] == '\r' || screen[i] == '\n') {
      lines.emplace_back();
    } else {
      lines.back().push_back(screen[i]);
    }
  }
  return lines;
}

std::size_t Width(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

Env FailureEnv(const std::string& open_fail, const std::string& write_fail) {
  // An instrumented xmodemq wants its runtime first; the shim does without.
  const char* asan = std::getenv("ASAN_OPTIONS");
  Env env = {{"LD_PRELOAD", XMQ_FAIL_SHIM},
             {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
  if (!open_fail.empty()) env["XMQ_FAIL_OPEN"] = open_fail;
  if (!write_fail.empty()) env["XMQ_FAIL_WRITE"] = write_fail;
  return env;
}

void MakeTree(const std::filesystem::path& dir, const Tree& tree) {
  for (const auto& [name, content] : tree) {
    std::filesystem::create_directories((dir / name).parent_path());
    if (name.back() != '/') WriteFile(dir / name, content);
  }
}

Tree ReadTree(const std::filesystem::path& dir) {
  Tree tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    // A simulator's link to its pseudo-terminal is no file of the test's.
    if (entry.is_symlink()) continue;
    const std::string name = entry.path().lexically_relative(dir).string();
    if (entry.is_directory())
      tree[name + "/"] = "";
    else
      tree[name] = ReadFile(entry.path());
  }
  return tree;
}

std::vector<std::string> Expand(const std::vector<std::string>& args,
                                const std::filesystem::path& d, const std::string& link) {
  std::vector<std::string> out;
  for (const std::string& a : args) {
    if (a == "LINK")
      out.push_back(link);
    else if (a.rfind("D/", 0) == 0)
      out.push_back((d / a.substr(2)).string());
    else
      out.push_back(a);
  }
  return out;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<std::string> Client(const std::string& command, const std::filesystem::path& file,
                                const std::string& link, std::vector<std::string> extra) {
  std::vector<std::string> args = {command, file.string(), "--user", "PS0001", "--device", link};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string BillingRecords(int count, unsigned seed) {
  std::mt19937 random(seed);
  std::string text;
  for (int r = 0; r < count; ++r) {
    std::string record;
    // Fixed-width fields: insured number, act code, amount, date, padding.
    for (int field = 0; record.size() < 120; ++field) {
      const int width = 6 + static_cast<int>(random() % 10);
      for (int i = 0; i < width && record.size() < 120; ++i)
        record.push_back(static_cast<char>('0' + random() % 10));
      const int spaces = 1 + static_cast<int>(random() % 6);
      record.append(static_cast<std::size_t>(spaces), ' ');
    }
    record.resize(126, ' ');
    record += "\r\n";
    text += record;
  }
  return text;
}

}  // namespace xmodemq::test

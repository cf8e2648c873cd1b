#include "Processes.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "journal/Sqlite.h"

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
                 const std::filesystem::path& cwd, std::optional<unsigned short> columns,
                 std::optional<uid_t> as) {
  const passwd* user = as ? ::getpwuid(*as) : nullptr;
  if (as && user == nullptr) throw std::runtime_error("no user " + std::to_string(*as));
  const gid_t group = user ? user->pw_gid : 0;
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) environment.push_back(entry);
  }
  for (const auto& [name, value] : env)
    if (value) environment.push_back(name + "=" + *value);
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  for (auto& e : environment) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const std::string dir = cwd.string();

  int out[2] = {-1, -1}, err[2] = {-1, -1};
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
    if (as && (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(*as) != 0))
      ::_exit(126);
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
  const auto deadline = Clock::now() + limit;
  while (!status_) {
    if (Clock::now() >= deadline) ::kill(pid_, SIGKILL);
    // Output first: a process blocked on a full pipe would never end.
    if (!Pump(50ms)) std::this_thread::sleep_for(2ms);
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_)
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  while (Pump(100ms)) {
  }
  return {*status_, out_, err_};
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

Simulator::Simulator(const TempDir& dir, const std::vector<std::string>& extra,
                     const std::filesystem::path& cwd, std::optional<uid_t> as)
    : link_((dir / "modem").string()) {
  const bool listen = std::find(extra.begin(), extra.end(), "--listen") != extra.end();
  std::vector<std::string> args = {XMODEMQ_PATH, "simulate"};
  if (!listen) args.insert(args.end(), {"--link", link_});
  args.insert(args.end(), extra.begin(), extra.end());
  process_ = std::make_unique<Process>(args, Env{}, cwd, std::nullopt, as);
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
  // The line it announces is one a client can dial, wherever it listens.
  EXPECT_EQ(link_.find("0.0.0.0"), std::string::npos) << link_;
}

Simulator::~Simulator() {
  // Every simulator must stop cleanly on SIGTERM: exit 0 and said, link removed.
  const Outcome outcome = Stop();
  if (outcome.status != 0 || outcome.err.find("simulateur : arrêt\n") == std::string::npos)
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

bool Simulator::Await(const std::string& text, std::chrono::milliseconds limit) {
  return outcome_ ? outcome_->All().find(text) != std::string::npos : process_->Await(text, limit);
}

std::size_t Simulator::Openings() {
  return Count(Log(), "client : port ouvert");
}

Outcome Xmq(std::vector<std::string> args, const Env& env, std::chrono::milliseconds limit,
            std::optional<uid_t> as) {
  args.insert(args.begin(), XMODEMQ_PATH);
  return Process(args, env, {}, {}, as).Wait(limit);
}

void WritePrivate(const std::filesystem::path& path, const std::string& text) {
  WriteFile(path, text);
  std::filesystem::permissions(path, std::filesystem::perms(0600));
}

std::size_t CompletedSends(const std::string& log, const std::string& name) {
  std::size_t count = 0;
  const std::string done = "transfert de « " + name + " » terminé, ";
  for (std::size_t at = log.find(done); at != std::string::npos; at = log.find(done, at + 1))
    if (log.compare(at + done.size(), 2, "0 ") != 0) ++count;
  return count;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string WithIacInEveryBlock(std::string text) {
  for (std::size_t b = 0; b < text.size() / 128; ++b)
    text.replace(b * 128 + 5 * (b % 20), 6, "\xFF\xFF\xFF\xF0\xFF\xFA");
  return text;
}

// Each line read by SQLite's JSON functions, which take strict JSON only.
JsonFields One(const Outcome& r) {
  const auto objects = ParseJsonLines(r.out);
  EXPECT_TRUE(objects && objects->size() == 1) << r.All();
  return objects && objects->size() == 1 ? objects->front() : JsonFields{};
}

void Ends(const Outcome& r, int status, const JsonFields& members) {
  EXPECT_EQ(r.status, status) << r.All();
  const JsonFields got = One(r);
  for (const auto& [name, value] : members) {
    const auto at = got.find(name);
    EXPECT_EQ(at == got.end() ? "(absent)" : at->second, value) << name << "\n" << r.All();
  }
}

std::optional<std::vector<JsonFields>> ParseJsonLines(const std::string& text) {
  if (!text.empty() && text.back() != '\n') return std::nullopt;
  std::vector<JsonFields> objects;
  std::istringstream lines(text);
  try {
    const Database db(":memory:", SQLITE_OPEN_READWRITE);
    for (std::string line; std::getline(lines, line);) {
      Statement object(db, "SELECT json_type(?1)");
      if (!object.Bind(1, line).Step() || object.Text(0) != "object") return std::nullopt;
      Statement members(db, "SELECT key, type, value FROM json_each(?1)");
      members.Bind(1, line);
      JsonFields& fields = objects.emplace_back();
      while (members.Step()) {
        const std::string type = members.Text(1);
        // Numbers are whole, values flat, names given once.
        if (type == "real" || type == "array" || type == "object" ||
            !fields
                 .emplace(members.Text(0), type == "text"      ? Q(members.Text(2))
                                           : type == "integer" ? members.Text(2)
                                                               : type)
                 .second)
          return std::nullopt;
      }
    }
  } catch (const SqliteError&) {
    return std::nullopt;
  }
  return objects;
}

}  // namespace xmodemq::test

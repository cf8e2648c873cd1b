#include "call/Password.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "system/FileErrors.h"
#include "system/StopSignals.h"

namespace xmodemq {
namespace {

std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string FromFile(const std::string& path) {
  // Readable by others, the file gives the password away as surely as an
  // argument would: say so, but go on (the user may have reasons).
  struct stat st {};
  const bool found = ::stat(path.c_str(), &st) == 0;
  if (found && S_ISDIR(st.st_mode))
    throw PasswordError("le fichier de mot de passe " + path +
                        " est un dossier : donnez le "
                        "fichier lui-même");
  if (found && S_ISREG(st.st_mode) && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    std::fprintf(stderr,
                 "xmodemq: attention : %s est lisible par d'autres utilisateurs "
                 "(chmod 600 %s)\n",
                 path.c_str(), path.c_str());
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PasswordError(FileError("lire le fichier de mot de passe", path, errno));
  std::string text;
  std::getline(in, text, '\0');
  const std::string line = FirstLine(text);
  if (line.empty()) throw PasswordError("le fichier de mot de passe " + path + " est vide");
  return line;
}

// The terminal settings to put back if SIGINT arrives while echo is off.
// tcsetattr() is async-signal-safe, so the signal's hook restores them itself.
termios g_saved_terminal{};
volatile sig_atomic_t g_echo_off = 0;

extern "C" void RestoreTerminal(int) {
  if (g_echo_off) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved_terminal);
  g_echo_off = 0;
}

// Echo off for the life of the object; the previous settings come back on
// every way out, SIGINT, SIGTERM and SIGHUP included (the stop signals' hook).
class EchoOff {
 public:
  EchoOff() {
    if (::tcgetattr(STDIN_FILENO, &g_saved_terminal) != 0)
      throw PasswordError("terminal illisible : " + ErrnoText(errno));
    termios quiet = g_saved_terminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    g_echo_off = 1;
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
      const int err = errno;
      RestoreTerminal(0);
      throw PasswordError("impossible de couper l'écho : " + ErrnoText(err));
    }
  }
  ~EchoOff() { RestoreTerminal(0); }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  // In place before echo goes off, and gone after it comes back.
  StopSignals signals_{RestoreTerminal};
};

std::string FromPrompt() {
  static constexpr char kPrompt[] = "Mot de passe : ";
  if (::write(STDERR_FILENO, kPrompt, sizeof kPrompt - 1) < 0) {
    // Nowhere to show the prompt; reading still works.
  }
  std::string line;
  {
    EchoOff guard;
    char c = 0;
    for (;;) {
      const ssize_t n = ::read(STDIN_FILENO, &c, 1);
      if (n < 0 && errno == EINTR && StopSignals::Pending() == 0) continue;
      if (n <= 0 || c == '\n') break;
      line.push_back(c);
    }
  }
  // Ctrl-C at the prompt: nothing is dialled.
  if (StopSignals::Pending() != 0) {
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, "\n", 1);
    throw Interruption("mot de passe non saisi");
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) throw PasswordError("mot de passe vide");
  return line;
}

}  // namespace

std::string ObtainPassword(const std::optional<std::string>& password_file) {
  if (password_file) return FromFile(*password_file);
  if (const char* env = std::getenv(kPasswordVariable); env != nullptr && *env != '\0') return env;
  if (::isatty(STDIN_FILENO)) return FromPrompt();
  throw PasswordError("aucun mot de passe : donnez --password-file FICHIER, ou la variable " +
                      std::string(kPasswordVariable) +
                      ", ou lancez la commande depuis un terminal pour le saisir");
}

}  // namespace xmodemq

#include "FileOperation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "ExitCodes.h"
#include "FileErrors.h"
#include "Progress.h"
#include "SafeFiles.h"
#include "Terminal.h"

namespace xmodemq {
namespace {

// The source's size, once it is known to be a readable regular file.
int64_t CheckSource(const FileOperation& op) {
  struct stat st {};
  if (::stat(op.source.c_str(), &st) != 0) {
    if (errno == ENOENT) throw Refusal(op.source + " n'existe pas");
    throw Refusal(FileError("lire", op.source, errno));
  }
  if (S_ISDIR(st.st_mode)) throw Refusal(op.source + " est un dossier, pas un fichier");
  if (!S_ISREG(st.st_mode)) throw Refusal(op.source + " n'est pas un fichier ordinaire");
  const int fd = ::open(op.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw Refusal(FileError("lire", op.source, errno));
  ::close(fd);
  if (op.packed_source && (st.st_size == 0 || st.st_size % 128 != 0))
    throw Refusal(op.source + " n'est pas un fichier compacté valide : sa taille (" +
                  GroupDigits(st.st_size) + " octets) n'est pas un multiple non nul de 128");
  struct stat target {};
  if (::stat(op.target.c_str(), &target) == 0 && target.st_dev == st.st_dev &&
      target.st_ino == st.st_ino)
    throw Refusal(op.source + " et " + op.target +
                  " sont le même fichier : l'écrire le détruirait pendant sa lecture");
  return st.st_size;
}

}  // namespace

int RunFileOperation(const Options& options, const FileOperation& op) {
  const int64_t size = CheckSource(op);
  struct stat st {};
  const bool existed = ::stat(op.target.c_str(), &st) == 0;
  ReplaceOnSuccess output(op.target);

  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  const ProgressMode mode = ChooseProgressMode(options.quiet, options.progress, terminal);
  std::unique_ptr<TerminalWidth> width;
  if (terminal) width = std::make_unique<TerminalWidth>(STDERR_FILENO);
  Progress progress(stderr, mode, op.label, (size + 127) / 128,
                    [&width] { return width ? width->Get() : 80; });
  xmodemquarvel::ModuleXmodem module;
  if (mode != ProgressMode::None) module.Trace(true);
  module.*(op.event) = [&progress](int32_t& count) { progress.Block(count); };
  try {
    op.run(module, output.Path());
  } catch (const std::system_error& e) {
    progress.Interrupt();
    std::string message;
    if (op.packed_source && e.code() == std::errc::invalid_argument)
      message = op.source + " n'est pas un fichier compacté valide (son bloc de fin est incorrect)";
    else if (std::string(e.what()).find(output.Path()) != std::string::npos)
      message = FileError("écrire", op.target, e.code().value());
    else
      message = FileError("lire", op.source, e.code().value());
    std::fprintf(stderr, "xmodemq: %s : %s ; %s %s\n", op.label.c_str(), message.c_str(),
                 op.target.c_str(), existed ? "est laissé tel quel" : "n'est pas créé");
    return kExitFailure;
  }
  output.Commit();
  progress.Finish();
  // Both files by their own size: an unpack's events count the packed blocks
  // read, not the blocks written.
  if (mode != ProgressMode::None) {
    const int64_t written = ::stat(op.target.c_str(), &st) == 0 ? st.st_size : 0;
    std::fprintf(stderr, "Fichier %s (%s blocs) %s dans %s : %s blocs de 128 octets.\n",
                 op.source.c_str(), GroupDigits((size + 127) / 128).c_str(), op.done.c_str(),
                 op.target.c_str(), GroupDigits(written / 128).c_str());
  }
  return kExitOk;
}

}  // namespace xmodemq

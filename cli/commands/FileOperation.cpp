#include "commands/FileOperation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "commandline/ExitCodes.h"
#include "files/PackedFileCheck.h"
#include "files/ReplaceOnSuccess.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "system/Records.h"
#include "system/StopSignals.h"
#include "terminal/Json.h"
#include "terminal/Progress.h"
#include "terminal/Terminal.h"
#include "terminal/Text.h"

namespace xmodemq {
namespace {

// The source, open, once it is known to be a regular file that is not the
// target; what is read is what was checked.
UniqueFd OpenSource(const FileOperation& op, struct stat& st) {
  // Opening a FIFO must not wait for a writer: it is refused below.
  UniqueFd fd(::open(op.source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    if (errno == ENOENT) throw Refusal(op.source + " n'existe pas");
    throw Refusal(FileError("lire", op.source, errno));
  }
  if (::fstat(fd.Get(), &st) != 0) throw Refusal(FileError("lire", op.source, errno));
  if (S_ISDIR(st.st_mode)) throw Refusal(op.source + " est un dossier, pas un fichier");
  if (!S_ISREG(st.st_mode)) throw Refusal(op.source + " n'est pas un fichier ordinaire");
  ::fcntl(fd.Get(), F_SETFL, O_RDONLY);
  struct stat target {};
  if (::stat(op.target.c_str(), &target) == 0 && target.st_dev == st.st_dev &&
      target.st_ino == st.st_ino)
    throw Refusal(op.source + " et " + op.target +
                  " sont le même fichier : l'écrire le détruirait pendant sa lecture");
  return fd;
}

// --json: the operation's object once it ended, its target's size when it
// was written.
void PrintJson(const FileOperation& op, int64_t source_size, std::optional<int64_t> target_size,
               int status, const std::string& description) {
  std::optional<int64_t> target_blocks;
  if (target_size) target_blocks = RecordsFor(*target_size);
  std::printf("%s\n", JsonObject()
                          .Add("operation", op.unpack ? "unpack" : "pack")
                          .Add("source", Absolute(op.source))
                          .Add("target", Absolute(op.target))
                          .Add("source_bytes", source_size)
                          .Add("source_blocks", RecordsFor(source_size))
                          .Add("target_bytes", target_size)
                          .Add("target_blocks", target_blocks)
                          .Add("exit_status", static_cast<int64_t>(status))
                          .Add("description", description)
                          .Text()
                          .c_str());
  std::fflush(stdout);
}

}  // namespace

int RunFileOperation(const Options& options, const FileOperation& op) {
  struct stat st {};
  const UniqueFd source = OpenSource(op, st);
  const int64_t size = st.st_size;
  if (op.unpack && !options.force) {
    if (const auto why = NotPacked(source.Get(), size))
      throw Refusal(op.source + " n'est pas un fichier compacté valide : " + *why +
                    ". --force le décompacte quand même");
  }
  const bool existed = ::lstat(op.target.c_str(), &st) == 0;
  ReplaceOnSuccess output(op.target, options.replace);

  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  const ProgressMode mode = ChooseProgressMode(options.quiet, options.progress, terminal);
  std::unique_ptr<TerminalWidth> width;
  if (terminal) width = std::make_unique<TerminalWidth>(STDERR_FILENO);
  Progress progress(stderr, mode, op.label, RecordsFor(size),
                    [&width] { return width ? width->Get() : 80; });
  const std::string written_to = output.Path();
  const std::string left = op.target + (existed ? " est laissé tel quel" : " n'est pas créé");
  // Ctrl-C stops the conversion between two blocks; the temporary file goes.
  const StopSignals signals;
  int32_t count = 0;
  try {
    op.convert(source.Get(), op.source, output.Descriptor(), written_to, count,
               [&progress, mode](int32_t& n) {
                 if (StopSignals::Pending() != 0) throw Interruption("interrompu");
                 if (mode != ProgressMode::None) progress.Block(n);
               });
  } catch (const Interruption&) {
    progress.Interrupt();
    std::fprintf(stderr, "xmodemq: %s interrompu : %s\n", op.label.c_str(), left.c_str());
    if (options.json) PrintJson(op, size, std::nullopt, StopSignals::ExitCode(), "interrompu");
    return StopSignals::ExitCode();
  } catch (const std::system_error& e) {
    progress.Interrupt();
    std::string message;
    if (op.unpack && e.code() == std::errc::invalid_argument)
      message = op.source + " n'est pas un fichier compacté valide (son bloc de fin est incorrect)";
    else if (std::string(e.what()).find(written_to) != std::string::npos)
      message = FileError("écrire", op.target, e.code().value());
    else
      message = FileError("lire", op.source, e.code().value());
    std::fprintf(stderr, "xmodemq: %s : %s ; %s\n", op.label.c_str(), message.c_str(),
                 left.c_str());
    if (options.json) PrintJson(op, size, std::nullopt, kExitFailure, message);
    return kExitFailure;
  }
  // A packed file of one block is an empty file's: nothing to compare.
  bool same = true;
  try {
    if (op.unpack && size > kRecord) {
      try {
        same = RepacksTheSame(source.Get(), output.Descriptor());
      } catch (const std::system_error& e) {
        throw FileFailure(FileError("lire", written_to, e.code().value()));
      }
    }
    output.Commit();
  } catch (const FileFailure& e) {
    if (options.json) PrintJson(op, size, std::nullopt, kExitFailure, e.what());
    throw;
  }
  progress.Finish();
  if (!same)
    std::fprintf(stderr,
                 "xmodemq: attention : %s ne se compacte pas de nouveau à l'identique : il vient "
                 "d'un autre programme, ou il est abîmé ; vérifiez %s\n",
                 op.source.c_str(), op.target.c_str());
  // Both files by their own size: an unpack's events count the packed blocks
  // read, not the blocks written.
  const int64_t written = ::stat(op.target.c_str(), &st) == 0 ? st.st_size : 0;
  if (options.json) PrintJson(op, size, written, kExitOk, "");
  if (mode != ProgressMode::None) {
    std::fprintf(stderr, "Fichier %s (%s blocs) %s dans %s : %s blocs de %s.\n", op.source.c_str(),
                 GroupDigits(RecordsFor(size)).c_str(), op.done.c_str(), op.target.c_str(),
                 GroupDigits(written / kRecord).c_str(), RecordBytesText().c_str());
  }
  return kExitOk;
}

}  // namespace xmodemq

#include "demo/DemoSession.h"

#include <unistd.h>

#include "demo/Demo.h"

namespace xmodemq::demo {

std::string Seconds(double s) {
  return Progress::FormatTenths(s);
}

std::string Padded(const std::string& text, std::size_t width) {
  const std::size_t columns = Columns(text);
  return columns >= width ? text : text + std::string(width - columns, ' ');
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileFailure(FileError("lire", path.string(), errno));
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::uintmax_t SizeOf(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec) throw FileFailure(FileError("lire", path.string(), ec.value()));
  return size;
}

void Demo::OnTrace(const std::string& text) {
  if (!show_trace_) return;
  for (char c : text) {
    if (c == '\r') continue;
    if (c != '\n') {
      trace_line_.push_back(c);
      continue;
    }
    if (progress_) progress_->Interrupt();
    if (!trace_line_.empty()) Say("   modem> " + trace_line_);
    trace_line_.clear();
  }
}

bool Demo::Failed(const std::string& what, ReturnValues result) {
  if (progress_) progress_->Interrupt();
  // An interruption is reported once, at the end.
  if (Interrupted()) return false;
  std::string record = module_->ErrorSource();
  std::string description = module_->ErrorDescription();
  for (char& c : description)
    if (c == '\r' || c == '\n') c = ' ';
  if (!description.empty()) record += ": " + description;
  std::fprintf(stderr, "xmodemq: demo : %s a échoué (code %d) : %s\n", what.c_str(),
               static_cast<int>(result), record.c_str());
  return false;
}

bool Demo::Connect() {
  call_ = NewCallId();
  show_trace_ = true;
  const ReturnValues connected = module_->Connect(3);
  show_trace_ = options_.trace;
  if (connected != rvTrue) return Failed("Connect", connected);
  return true;
}

void Demo::Disconnect() {
  module_->Disconnect();
  Say("   Déconnecté.");
}

ReturnValues Demo::Transfer(const std::string& label, std::optional<int64_t> total,
                            const std::function<ReturnValues()>& run, Step& step,
                            const std::string& action, const fs::path& file,
                            const std::string& direction) {
  progress_ = std::make_unique<Progress>(stderr, mode_, "   " + label, total,
                                         [this] { return width_ ? width_->Get() : 80; });
  JournalRow row;
  if (!direction.empty()) {
    row.call_id = call_;
    row.started = UtcNow();
    row.direction = direction;
    row.file = fs::absolute(file).lexically_normal().string();
    row.server_name = ServerName(row.file);
    row.server_key = ServerNameKey(row.file);
    row.server = kServerNumber;
    row.user = "PS0001";
    row.line = line_;
    if (direction == "send") {
      row.bytes = sent_.Bytes();
      row.sha256 = sent_.Sha256Hex();
    }
    row.pid = ::getpid();
    row.process = ThisProcess();
    journal_->Begin(row, direction == "send" ? sent_.Prefixes() : std::string());
    module_->TransferAccepted = [&row](char, int64_t position) { row.resumed_from = position; };
  }
  const auto start = Clock::now();
  ReturnValues result;
  try {
    result = run();
  } catch (const xmodemquarvel::SerialPortError&) {
    throw;
  } catch (const std::system_error& e) {
    progress_->Interrupt();
    if (e.code() == std::errc::invalid_argument)
      throw FileFailure(file.string() + " n'est pas un fichier compacté valide");
    throw FileFailure(FileError(action, file.string(), e.code().value()));
  }
  step.seconds = Since(start);
  step.blocks = progress_->BlocksThisRun();
  if (!direction.empty()) {
    row.ended = UtcNow();
    row.blocks = step.blocks;
    row.result = ResultName(result);
    row.exit_status = ExitCodeFor(result);
    if (result != rvTrue) {
      row.description = module_->ErrorDescription();
      for (char& c : row.description)
        if (c == '\r' || c == '\n') c = ' ';
    }
    if (direction == "receive") {
      std::error_code error;
      row.bytes = static_cast<int64_t>(fs::file_size(file, error));
      if (result == rvTrue) {
        const std::string bytes = ReadAll(file);
        Sha256 sha;
        sha.Update(bytes.data(), bytes.size());
        row.sha256 = Hex(sha.Peek());
      }
    }
    journal_->End(row);
  }
  // The bar stays where the transfer ended, a cut one included.
  progress_->Finish();
  progress_->Interrupt();
  progress_.reset();
  return result;
}

void Demo::ListJournal() {
  Say("\nJournal des transferts (journal.sqlite, « xmodemq journal » le montre)");
  std::optional<std::size_t> columns;
  // Indented by three columns.
  if (::isatty(STDOUT_FILENO) == 1)
    columns = std::max<std::size_t>(TerminalWidth(STDOUT_FILENO).Get(), 4) - 3;
  const std::string base = fs::absolute(dir_).lexically_normal().string();
  for (const std::string& line : ListingLines(journal_->List(std::nullopt), columns, base))
    Say("   " + line);
}

}  // namespace xmodemq::demo

namespace xmodemq {

int RunDemo(const Options& options) {
  // SIGINT, SIGTERM and SIGHUP break the demo off between its steps, and the
  // running transfer hangs up.
  const StopSignals signals;
  int status = kExitFailure;
  try {
    WorkDir dir(options.demo_dir);
    demo::Demo demo(options, dir.Path());
    status = demo.Run();
  } catch (const std::filesystem::filesystem_error& e) {
    std::fprintf(stderr, "xmodemq: demo : %s\n",
                 FileError("créer", e.path1().string(), e.code().value()).c_str());
    status = kExitFailure;
  } catch (const std::exception& e) {
    if (StopSignals::Pending() == 0) std::fprintf(stderr, "xmodemq: demo : %s\n", e.what());
    status = kExitFailure;
  }
  if (const int signo = StopSignals::Pending(); signo != 0) {
    std::fprintf(stderr, "xmodemq: demo interrompue\n");
    return kSignalExitBase + signo;
  }
  return status;
}

}  // namespace xmodemq

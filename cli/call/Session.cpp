#include "call/Session.h"

#include <unistd.h>

#include <algorithm>

#include "record/Refusals.h"
#include "system/FileErrors.h"
#include "terminal/Terminal.h"
#include "terminal/Text.h"
#include "xmodemquarvel/HostOptions.h"

namespace xmodemq {
namespace {

std::string OneLine(const std::string& text) {
  std::string out;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      if (!out.empty()) out += " / ";
      out += text.substr(start, end - start);
    }
    start = end + 1;
  }
  return out;
}

constexpr std::string_view kRefused = "Transfert refusé, status ";

}  // namespace

std::string FormatRecord(const std::string& source, const std::string& description) {
  const std::string text = OneLine(description);
  if (text.empty()) return {};
  if (source.empty()) return text;
  return source + ": " + text;
}

Session::Session(const Options& options, SessionHost host)
    : options_(options),
      out_(host.out),
      terminal_(host.terminal.value_or(::isatty(STDERR_FILENO) == 1)),
      mode_(ChooseProgressMode(options.quiet, options.progress, terminal_)),
      columns_(std::move(host.columns)),
      clock_(host.clock ? host.clock : std::make_shared<xmodemquarvel::MonotonicClock>()),
      keep_going_(std::move(host.keep_going)) {
  if (terminal_ && !columns_) {
    width_ = std::make_unique<TerminalWidth>(STDERR_FILENO);
    columns_ = [this] { return width_->Get(); };
  }
  xmodemquarvel::HostOptions options_for_module;
  options_for_module.clock = clock_;
  options_for_module.port = std::move(host.port);
  // Every wait of the component passes here at least every 100 ms. A signal
  // asks the running operation to stop: it hangs up and returns.
  options_for_module.yield = [this] {
    if (!released_ && keep_going_ && !keep_going_()) released_ = true;
    if ((StopSignals::Pending() != 0 || released_) && !aborted_) aborted_ = module_->Abort();
    ShowStatus();
  };
  module_ = std::make_unique<xmodemquarvel::ModuleXmodem>(std::move(options_for_module));
  module_->Error = [this](std::string& description) {
    std::string text = description;
    // While the event runs, the record holds the serial layer's own reason.
    const std::string detail = OneLine(module_->ErrorDescription());
    if (!detail.empty() && detail != text) text += " (" + detail + ")";
    errors_.push_back(text);
  };
  if (options.trace) module_->Visible(true);
  module_->TraceAppended = [this](const std::string& text) { OnTrace(text); };
  // The block events feed the progress display and the journal's count.
  module_->Trace(true);
}

Session::~Session() {
  Disconnect();
  progress_.reset();
  module_.reset();
}

bool Session::Interrupted() const {
  return StopSignals::Pending() != 0;
}

int Session::InterruptExitCode() const {
  return StopSignals::ExitCode();
}

void Session::OnTrace(const std::string& text) {
  if (status_) status_->OnTrace(text, module_->CurrentWait());
  if (!options_.trace) return;
  if (progress_) progress_->Interrupt();
  // The lines as they come, what the far end put in them made visible.
  std::string shown;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    std::erase(line, '\r');
    shown += Visible(line) + (end < text.size() ? "\n" : "");
    start = end + 1;
  }
  std::fputs(shown.c_str(), out_);
  std::fflush(out_);
}

void Session::ShowStatus() {
  if (options_.quiet || options_.trace) return;
  // During a transfer: what it waits for, once a wait lasts.
  if (progress_) progress_->Waiting(module_->CurrentWait());
  if (!status_) return;
  if (mode_ != ProgressMode::Bar) {
    const std::string change = status_->TakeChange(module_->CurrentWait());
    if (!change.empty()) PrintLine(out_, change);
    return;
  }
  const std::size_t columns = columns_ ? columns_() : 80;
  // One column short of the width: writing the last column wraps on some
  // terminals.
  const std::string line = status_->Line(module_->CurrentWait(), columns > 1 ? columns - 1 : 1);
  if (line == status_drawn_ && columns == status_columns_) return;
  std::fputs(status_line_.Draw(line, columns).c_str(), out_);
  std::fflush(out_);
  status_drawn_ = line;
  status_columns_ = columns;
}

void Session::ClearStatus() {
  if (!status_line_.Drawn()) return;
  std::fputs(status_line_.Clear(columns_ ? columns_() : 80).c_str(), out_);
  std::fflush(out_);
  status_drawn_.clear();
}

bool Session::Configure() {
  errors_.clear();
  module_->Settings(options_.settings);
  if (!options_.devices.empty()) module_->Device(device_ = options_.devices.front());
  if (options_.port) module_->CommPort(*options_.port);
  if (errors_.empty()) return true;
  for (const auto& e : errors_) PrintLine(out_, "xmodemq: " + e);
  errors_.clear();
  return false;
}

bool Session::UseDevice(const std::string& device) {
  errors_.clear();
  module_->Device(device_ = device);
  if (errors_.empty()) return true;
  for (const auto& e : errors_) PrintLine(out_, "xmodemq: " + e);
  errors_.clear();
  return false;
}

std::optional<std::string> Session::LineUnavailable() {
  // Connect raises its Error event only when the line itself fails, first of
  // all when it does not open.
  if (!connect_failed_ || errors_.empty()) return std::nullopt;
  std::string why;
  for (const auto& e : errors_) why += (why.empty() ? "" : " ; ") + e;
  errors_.clear();
  return why;
}

xmodemquarvel::ReturnValues Session::Connect() {
  errors_.clear();
  if (options_.trace) Say("Connexion au serveur…");
  status_ = std::make_unique<CallStatus>();
  ShowStatus();
  const auto result = module_->Connect(options_.attempts, options_.prefix, options_.init);
  // A failed initialisation string leaves the port open: close it all the same.
  connected_ = true;
  ClearStatus();
  if (result == xmodemquarvel::rvTrue) {
    const std::size_t columns = columns_ ? columns_() : 80;
    if (mode_ == ProgressMode::Bar)
      Say(status_->Line(module_->CurrentWait(), columns > 1 ? columns - 1 : 1));
    else if (options_.trace)
      Say(status_->Line(module_->CurrentWait()));
    else
      ShowStatus();
  }
  connect_failed_ = result != xmodemquarvel::rvTrue;
  return result;
}

void Session::Disconnect() {
  // An aborted operation has hung up already.
  if (!connected_ || aborted_) return;
  connected_ = false;
  try {
    module_->Disconnect();
  } catch (const std::exception& e) {
    PrintLine(out_, std::string("xmodemq: Disconnect: ") + e.what());
  }
}

void Session::BeginProgress(const std::string& label, std::optional<int64_t> total_blocks) {
  status_.reset();
  progress_ = std::make_unique<Progress>(out_, mode_, label, total_blocks, columns_, clock_);
}

void Session::Block(int32_t count) {
  if (progress_) progress_->Block(count);
}

void Session::EndProgress() {
  if (progress_) progress_->Finish();
}

int64_t Session::BlocksThisRun() const {
  return progress_ ? progress_->BlocksThisRun() : 0;
}

double Session::Seconds() const {
  return progress_ ? progress_->Seconds() : 0.0;
}

void Session::ReportFailure() {
  if (progress_) progress_->Interrupt();
  ClearStatus();
  for (const auto& e : errors_) PrintLine(out_, "xmodemq: " + FrenchSystemTexts(e));
  errors_.clear();
  const std::string description = FrenchSystemTexts(module_->ErrorDescription());
  const std::string record = FormatRecord(module_->ErrorSource(), description);
  if (!record.empty()) PrintLine(out_, record);
  if (const auto at = description.find(kRefused);
      at != std::string::npos && at + kRefused.size() < description.size()) {
    const int status = static_cast<unsigned char>(description[at + kRefused.size()]) - '0';
    const std::string meaning = RefusalMeaning(status);
    if (!meaning.empty())
      std::fprintf(out_, "xmodemq: le serveur refuse le transfert : %s (status %d)\n",
                   meaning.c_str(), status);
  }
  // A terminal server in front of a port without modem lines reports CTS low,
  // or nothing at all: the modem then seems not to answer.
  if (connect_failed_ && description == "ATZ - Le modem ne répond pas" &&
      device_.rfind("rfc2217://", 0) == 0 && device_.find('?') == std::string::npos)
    PrintLine(out_, "xmodemq: le serveur de " + device_ +
                        " n'a pas signalé CTS : si le port qu'il sert n'a pas de lignes de modem "
                        "(pseudo-terminal, câble à trois fils), donnez --device " +
                        device_ + "?nomodemlines");
  // Without --device the port is a number's (--port, else 1): name it.
  if (connect_failed_ && options_.devices.empty()) {
    const std::string port = "/dev/ttyS" + std::to_string(options_.port.value_or(1) - 1);
    if (description.rfind("ATZ", 0) == 0)
      PrintLine(out_, "xmodemq: ATZ sur " + port + " : le modem n'a pas répondu");
    PrintLine(out_, "xmodemq: sans --device, l'appel passe par " + port +
                        (options_.port ? "" : " (--port 1, le port par défaut)") +
                        " : donnez --device CHEMIN, le port du modem");
  }
  if (connect_failed_ && status_ && status_->Dialled()) {
    const std::string& last = status_->LastAnswer();
    if (last.empty())
      std::fprintf(out_, "xmodemq: le modem n'a rien répondu à l'appel\n");
    else if (last == "BUSY")
      PrintLine(out_, "xmodemq: la ligne du serveur est occupée (BUSY) : réessayez plus tard");
    else
      PrintLine(out_, "xmodemq: dernière réponse du modem à l'appel : « " + last + " »");
  }
  std::fflush(out_);
}

void Session::Say(const std::string& text) {
  if (options_.quiet) return;
  Warn(text);
}

void Session::Warn(const std::string& text) {
  if (progress_) progress_->Interrupt();
  ClearStatus();
  PrintLine(out_, text);
}

}  // namespace xmodemq

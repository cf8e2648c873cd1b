#include "Session.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "xmodemquarvel/HostOptions.h"

namespace xmodemq {
namespace {

std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void NoteInterrupt(int signo) {
  g_interrupted.store(signo);
}

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

}  // namespace

std::string FormatRecord(const std::string& source, const std::string& description) {
  const std::string text = OneLine(description);
  if (text.empty()) return {};
  if (source.empty()) return text;
  return source + ": " + text;
}

Session::Session(const Options& options)
    : options_(options),
      mode_(ChooseProgressMode(options.quiet, options.progress, ::isatty(STDERR_FILENO) == 1)) {
  g_interrupted.store(0);
  struct sigaction action {};
  action.sa_handler = NoteInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &old_int_);
  ::sigaction(SIGTERM, &action, &old_term_);

  xmodemquarvel::HostOptions host;
  // Every wait of the component passes here at least every 100 ms.
  host.yield = [this] {
    if (g_interrupted.load() != 0 && !broke_off_) {
      broke_off_ = true;
      module_->Disconnect();
    }
  };
  module_ = std::make_unique<xmodemquarvel::ModuleXmodem>(std::move(host));
  module_->Error = [this](std::string& description) {
    std::string text = description;
    // While the event runs, the record holds the serial layer's own reason.
    const std::string detail = OneLine(module_->ErrorDescription());
    if (!detail.empty() && detail != text) text += " (" + detail + ")";
    errors_.push_back(text);
  };
  if (options.trace) {
    module_->Visible(true);
    module_->TraceAppended = [this](const std::string& text) { OnTrace(text); };
  }
  if (mode_ != ProgressMode::None) module_->Trace(true);
}

Session::~Session() {
  Disconnect();
  progress_.reset();
  module_.reset();
  ::sigaction(SIGINT, &old_int_, nullptr);
  ::sigaction(SIGTERM, &old_term_, nullptr);
}

bool Session::Interrupted() const {
  return g_interrupted.load() != 0;
}

int Session::InterruptExitCode() const {
  return 128 + g_interrupted.load();
}

void Session::OnTrace(const std::string& text) {
  if (progress_) progress_->Interrupt();
  std::string shown;
  shown.reserve(text.size());
  for (char c : text)
    if (c != '\r') shown.push_back(c);
  std::fputs(shown.c_str(), stderr);
  std::fflush(stderr);
}

bool Session::Configure() {
  errors_.clear();
  module_->Settings(options_.settings);
  if (options_.device) module_->Device(*options_.device);
  if (options_.port) module_->CommPort(*options_.port);
  if (errors_.empty()) return true;
  for (const auto& e : errors_) std::fprintf(stderr, "xmodemq: %s\n", e.c_str());
  errors_.clear();
  return false;
}

xmodemquarvel::ReturnValues Session::Connect() {
  errors_.clear();
  const auto result = module_->Connect(options_.attempts, options_.prefix, options_.init);
  // A failed initialisation string leaves the port open: close it all the same.
  connected_ = true;
  return result;
}

void Session::Disconnect() {
  if (!connected_) return;
  connected_ = false;
  try {
    module_->Disconnect();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xmodemq: Disconnect: %s\n", e.what());
  }
}

void Session::BeginProgress(const std::string& label, std::optional<int64_t> total_blocks) {
  progress_ = std::make_unique<Progress>(stderr, mode_, label, total_blocks);
}

void Session::Block(int32_t count) {
  if (progress_) progress_->Block(count);
}

void Session::EndProgress() {
  if (progress_) progress_->Finish();
}

void Session::ReportFailure() {
  if (progress_) progress_->Interrupt();
  for (const auto& e : errors_) std::fprintf(stderr, "xmodemq: %s\n", e.c_str());
  errors_.clear();
  const std::string record = FormatRecord(module_->ErrorSource(), module_->ErrorDescription());
  if (!record.empty()) std::fprintf(stderr, "%s\n", record.c_str());
  std::fflush(stderr);
}

void Session::Say(const std::string& text) {
  if (options_.quiet) return;
  if (progress_) progress_->Interrupt();
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace xmodemq

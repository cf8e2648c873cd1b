#pragma once
// The demo's session, for its two files: the steps (DemoSteps.cpp) and the
// means they share (DemoSession.cpp).

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "call/TransferLog.h"
#include "commandline/ExitCodes.h"
#include "demo/BillingFile.h"
#include "demo/Demo.h"
#include "demo/DemoFolder.h"
#include "files/Sha256.h"
#include "journal/Journal.h"
#include "journal/JournalListing.h"
#include "record/ServerNames.h"
#include "simulator/SimulatorThread.h"
#include "system/FileErrors.h"
#include "system/ProcessIdentity.h"
#include "system/ServerNumber.h"
#include "system/StopSignals.h"
#include "terminal/Progress.h"
#include "terminal/Terminal.h"
#include "terminal/Text.h"
#include "terminal/Timestamps.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemq::demo {

namespace fs = std::filesystem;
using xmodemquarvel::ModuleXmodem;
using xmodemquarvel::ReturnValues;
using xmodemquarvel::rvTrue;
using Clock = std::chrono::steady_clock;

// The simulated line runs at this rate, so that a transfer takes long enough
// to watch and the whole demo stays well under a minute.
constexpr int32_t kLineBitsPerSecond = 115200;
constexpr const char* kFileName = "FACT0001.TXT";

std::string Seconds(double s);
// Left-aligned in `width` columns; accented letters take two bytes but one column.
std::string Padded(const std::string& text, std::size_t width);
double Since(Clock::time_point start);
std::string ReadAll(const fs::path& path);
std::uintmax_t SizeOf(const fs::path& path);

class Demo {
 public:
  Demo(const Options& options, const fs::path& dir)
      : options_(options),
        dir_(dir),
        mode_(ChooseProgressMode(options.quiet, options.progress, ::isatty(STDERR_FILENO) == 1)) {
    if (mode_ == ProgressMode::Bar) width_ = std::make_unique<TerminalWidth>(STDERR_FILENO);
  }

  int Run();

 private:
  struct Step {
    std::string name;
    int64_t blocks = 0;
    double seconds = 0;
  };

  void Say(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
  void OnTrace(const std::string& text);
  bool Failed(const std::string& what, ReturnValues result);
  bool Connect();
  void Disconnect();
  // An operation with its progress display; its result. A file error of the
  // component, which it reports by throwing, becomes a FileFailure that names
  // `file` and what was being done to it. A transfer ("send", "receive") has
  // its row in the demo's journal.
  ReturnValues Transfer(const std::string& label, std::optional<int64_t> total,
                        const std::function<ReturnValues()>& run, Step& step,
                        const std::string& action, const fs::path& file,
                        const std::string& direction = {});
  // The journal's rows, as `xmodemq journal` lists them.
  void ListJournal();
  bool Interrupted() const { return StopSignals::Pending() != 0; }

  const Options& options_;
  fs::path dir_;
  ProgressMode mode_;
  std::unique_ptr<ModuleXmodem> module_;
  std::unique_ptr<Progress> progress_;
  std::unique_ptr<TerminalWidth> width_;
  bool show_trace_ = false;
  std::string trace_line_;
  bool aborted_ = false;
  std::unique_ptr<Journal> journal_;
  std::string line_;
  // The call that the transfers go on.
  std::string call_;
  // The digests of the file that the demo sends.
  RecordDigests sent_;
};

}  // namespace xmodemq::demo

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "BillingFile.h"
#include "Commands.h"
#include "DemoFolder.h"
#include "ExitCodes.h"
#include "FileErrors.h"
#include "Journal.h"
#include "JournalListing.h"
#include "ProcessIdentity.h"
#include "Progress.h"
#include "SafeFiles.h"
#include "Sha256.h"
#include "SimulatorThread.h"
#include "StopSignals.h"
#include "Terminal.h"
#include "Timestamps.h"
#include "TransferLog.h"
#include "modem/ServerNumber.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemq {
namespace {

namespace fs = std::filesystem;
using xmodemquarvel::ModuleXmodem;
using xmodemquarvel::ReturnValues;
using xmodemquarvel::rvTrue;
using Clock = std::chrono::steady_clock;

// The simulated line runs at this rate, so that a transfer takes long enough
// to watch and the whole demo stays well under a minute.
constexpr int32_t kLineBitsPerSecond = 115200;
constexpr const char* kFileName = "FACT0001.TXT";

std::string Seconds(double s) {
  return Progress::FormatTenths(s);
}

// Left-aligned in `width` columns; accented letters take two bytes but one column.
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
    row.server = xmodemquarvel::kServerNumber;
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

int Demo::Run() {
  const auto demo_start = Clock::now();
  const fs::path original = dir_ / kFileName;
  const std::string bill = BillingFile(options_.demo_records, 2024);
  WriteWholeFile(original.string(), bill);
  const int64_t blocks = static_cast<int64_t>(bill.size() / 128);
  sent_.Update(bill.data(), bill.size());
  // A journal of the demo's own, beside its files.
  try {
    journal_ = Journal::Open((dir_ / "journal.sqlite").string(), true, false);
  } catch (const JournalError& e) {
    throw FileFailure(e.what());
  }
  fs::create_directories(dir_ / "serveur");
  fs::create_directories(dir_ / "retour");
  fs::create_directories(dir_ / "reprise");

  SimulatorOptions sim;
  sim.link = (dir_ / "modem").string();
  sim.store_dir = (dir_ / "serveur").string();
  sim.baud = kLineBitsPerSecond;
  sim.dial_answers = {{"CONNECT " + std::to_string(kLineBitsPerSecond)}};
  SimulatorThread simulator(sim);
  line_ = sim.link;

  Say("XmodemQuarvel : démonstration sur un modem et un serveur simulés");
  Say("Dossier de travail : " + dir_.string());
  Say("Modem simulé : " + sim.link);
  Say("   -> " + simulator.Host().SlavePath() + ", ligne à " + std::to_string(kLineBitsPerSecond) +
      " bit/s");
  Say("Fichier de facturation : " + std::string(kFileName) + ", " +
      std::to_string(options_.demo_records) + " enregistrements");
  Say("   de 128 caractères, " + std::to_string(bill.size()) + " octets");

  xmodemquarvel::HostOptions host;
  // A signal ends the running operation: it hangs up and returns.
  host.yield = [this] {
    if (Interrupted() && !aborted_) aborted_ = module_->Abort();
  };
  module_ = std::make_unique<ModuleXmodem>(std::move(host));
  std::vector<std::string> errors;
  module_->Error = [&errors](std::string& text) { errors.push_back(text); };
  module_->TraceAppended = [this](const std::string& text) { OnTrace(text); };
  module_->Trace(true);
  module_->Device(sim.link);
  module_->Settings(std::to_string(kLineBitsPerSecond) + ",N,8,1");
  if (!errors.empty()) {
    std::fprintf(stderr, "xmodemq: demo : %s\n", errors.front().c_str());
    return kExitFailure;
  }
  const std::string user = "PS0001";
  const std::string password = "demo";
  Step send{"envoi"}, back{"réception"}, cut{"réception coupée"}, resumed{"reprise"};
  Step pack{"compactage"}, unpack{"décompactage"};

  // 1. The call, with the modem's answers shown as they come.
  Say("\n1. Connexion au serveur");
  auto start = Clock::now();
  if (!Connect()) return kExitFailure;
  const double connect_seconds = Since(start);
  Say("   Connecté en " + Seconds(connect_seconds) + ".");

  // 2. The file goes to the server.
  Say("\n2. Envoi de " + std::string(kFileName));
  module_->BlocSended = [this](int32_t& n) {
    if (progress_) progress_->Block(n);
  };
  if (auto r = Transfer(
          "Envoi", blocks,
          [&] { return module_->SendFile(user, password, original.string(), "0"); }, send, "lire",
          original, "send");
      r != rvTrue)
    return Failed("SendFile", r), ExitCodeFor(r);
  Say("   Envoyé : " + std::to_string(send.blocks) + " blocs en " + Seconds(send.seconds) + ".");

  // 3. And comes back on the same call.
  const fs::path back_path = dir_ / "retour" / kFileName;
  Say("\n3. Réception en retour dans retour/" + std::string(kFileName));
  module_->BlocReceived = [this](int32_t& n) {
    if (progress_) progress_->Block(n);
  };
  if (auto r = Transfer(
          "Réception", blocks,
          [&] { return module_->ReceiveFile(user, password, back_path.string(), "0"); }, back,
          "écrire", back_path, "receive");
      r != rvTrue)
    return Failed("ReceiveFile", r), ExitCodeFor(r);
  Say("   Reçu : " + std::to_string(back.blocks) + " blocs en " + Seconds(back.seconds) + ".");
  Disconnect();

  // 4. A second receive loses its line halfway.
  const fs::path resume_path = dir_ / "reprise" / kFileName;
  const int32_t cut_after = static_cast<int32_t>(blocks / 2);
  Say("\n4. Réception dans reprise/" + std::string(kFileName) + ", ligne coupée au bloc " +
      std::to_string(cut_after + 1));
  // The server's response counts as the first frame of the call.
  simulator.Host().ArmCut(cut_after + 1);
  if (!Connect()) return kExitFailure;
  const ReturnValues lost = Transfer(
      "Réception", blocks,
      [&] { return module_->ReceiveFile(user, password, resume_path.string(), "0"); }, cut,
      "écrire", resume_path, "receive");
  if (lost == rvTrue || simulator.Host().Cuts() == 0) {
    std::fprintf(stderr, "xmodemq: demo : la coupure de ligne n'a pas eu lieu\n");
    return kExitFailure;
  }
  std::string why = module_->ErrorDescription();
  Say("   Interrompue (code " + std::to_string(static_cast<int>(lost)) +
      ") : " + module_->ErrorSource() + ": " + why);
  const auto held = SizeOf(resume_path);
  Say("   Le fichier local garde " + std::to_string(held / 128) + " blocs (" +
      std::to_string(held) + " octets).");
  Disconnect();

  // 5. Run again, it asks the server to go on after the blocks it holds.
  Say("\n5. Reprise de la réception");
  if (!Connect()) return kExitFailure;
  if (auto r = Transfer(
          "Reprise", blocks,
          [&] { return module_->ReceiveFile(user, password, resume_path.string(), "0"); }, resumed,
          "écrire", resume_path, "receive");
      r != rvTrue)
    return Failed("ReceiveFile", r), ExitCodeFor(r);
  Say("   Repris : " + std::to_string(resumed.blocks) + " blocs en " + Seconds(resumed.seconds) +
      ".");
  Disconnect();

  // 6. Packing needs no line.
  const fs::path packed = dir_ / "FACT0001.PK";
  const fs::path unpacked = dir_ / "FACT0001.UNP";
  Say("\n6. Compactage et décompactage");
  module_->BlocPacked = [this](int32_t& n) {
    if (progress_) progress_->Block(n);
  };
  module_->BlocUnpacked = [this](int32_t& n) {
    if (progress_) progress_->Block(n);
  };
  Transfer(
      "Compactage", blocks,
      [&] {
        module_->PackFile(original.string(), packed.string());
        return rvTrue;
      },
      pack, "écrire", packed);
  const auto packed_size = SizeOf(packed);
  Transfer(
      "Décompactage", static_cast<int64_t>((packed_size + 127) / 128),
      [&] {
        module_->UnPackFile(packed.string(), unpacked.string());
        return rvTrue;
      },
      unpack, "écrire", unpacked);
  const double ratio = 100.0 * static_cast<double>(packed_size) / static_cast<double>(bill.size());
  char ratio_text[64];
  std::snprintf(ratio_text, sizeof ratio_text, "%.1f %%", ratio);
  std::string ratio_shown = ratio_text;
  for (char& c : ratio_shown)
    if (c == '.') c = ',';
  Say("   " + packed.filename().string() + " : " + std::to_string(packed_size) + " octets, " +
      ratio_shown + " des " + std::to_string(bill.size()) + " octets de " + kFileName + ".");

  // 7. Every copy against the original.
  Say("\n7. Vérification des copies");
  bool all_equal = true;
  const std::pair<std::string, fs::path> copies[] = {
      {"copie reçue par le serveur", dir_ / "serveur"},
      {"réception en retour", back_path},
      {"réception reprise", resume_path},
      {"fichier décompacté", unpacked},
  };
  for (const auto& [what, where] : copies) {
    fs::path file = where;
    if (fs::is_directory(file)) {
      // The server stores under the name it was given; take the one file there.
      for (const auto& entry : fs::directory_iterator(file)) file = entry.path();
    }
    const bool equal = ReadAll(file) == bill;
    all_equal = all_equal && equal;
    Say("   " + Padded(what, 28) + (equal ? "identique" : "DIFFÉRENT"));
  }

  Say("\nRésumé");
  Say("   " + Padded("fichier", 18) + std::to_string(bill.size()) + " octets, " +
      std::to_string(blocks) + " blocs de 128 octets");
  Say("   " + Padded("connexion", 18) + Seconds(connect_seconds));
  for (const Step* s : {&send, &back, &cut, &resumed, &pack, &unpack}) {
    Say("   " + Padded(s->name, 18) + std::to_string(s->blocks) + " blocs en " +
        Seconds(s->seconds));
  }
  Say("   " + Padded("taille compactée", 18) + ratio_shown + " de l'original");
  Say("   " + Padded("durée totale", 18) + Seconds(Since(demo_start)));
  if (!all_equal) {
    Say("\nDémonstration en échec : une copie diffère de l'original.");
    return kExitFailure;
  }
  Say("\nDémonstration réussie : toutes les copies sont identiques.");
  ListJournal();
  return kExitOk;
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

}  // namespace

int RunDemo(const Options& options) {
  // SIGINT, SIGTERM and SIGHUP break the demo off between its steps, and the
  // running transfer hangs up.
  const StopSignals signals;
  int status = kExitFailure;
  try {
    WorkDir dir(options.demo_dir);
    Demo demo(options, dir.Path());
    status = demo.Run();
  } catch (const fs::filesystem_error& e) {
    std::fprintf(stderr, "xmodemq: demo : %s\n",
                 FileError("créer", e.path1().string(), e.code().value()).c_str());
    status = kExitFailure;
  } catch (const std::exception& e) {
    if (StopSignals::Pending() == 0) std::fprintf(stderr, "xmodemq: demo : %s\n", e.what());
    status = kExitFailure;
  }
  if (const int signo = StopSignals::Pending(); signo != 0) {
    std::fprintf(stderr, "xmodemq: demo interrompue\n");
    return 128 + signo;
  }
  return status;
}

}  // namespace xmodemq

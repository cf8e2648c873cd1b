#include <unistd.h>

#include "demo/DemoSession.h"
#include "system/Records.h"

namespace xmodemq::demo {

int Demo::Run() {
  const auto demo_start = Clock::now();
  const fs::path original = dir_ / kFileName;
  const std::string bill = BillingFile(options_.demo_records, 2024);
  WriteWholeFile(original.string(), bill);
  const int64_t blocks = static_cast<int64_t>(bill.size()) / kRecord;
  sent_.Update(bill.data(), bill.size());
  // A journal of the demo's own, beside its files.
  try {
    journal_ = Journal::Open({(dir_ / "journal.sqlite").string()}, Journal::Access::kWrite);
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
  Say("   de " + std::to_string(kRecord) + " caractères, " + std::to_string(bill.size()) +
      " octets");

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
  Say("   Envoyé : " + BlocksText(send.blocks) + " en " + Seconds(send.seconds) + ".");

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
  Say("   Reçu : " + BlocksText(back.blocks) + " en " + Seconds(back.seconds) + ".");
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
  Say("   Le fichier local garde " + std::to_string(held / kRecord) + " blocs (" +
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
  Say("   Repris : " + BlocksText(resumed.blocks) + " en " + Seconds(resumed.seconds) + ".");
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
      "Décompactage", RecordsFor(static_cast<int64_t>(packed_size)),
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

  // 7. Every copy against the bill the demo wrote first.
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
      std::to_string(blocks) + " blocs de " + RecordBytesText());
  Say("   " + Padded("connexion", 18) + Seconds(connect_seconds));
  for (const Step* s : {&send, &back, &cut, &resumed, &pack, &unpack}) {
    Say("   " + Padded(s->name, 18) + BlocksText(s->blocks) + " en " + Seconds(s->seconds));
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

}  // namespace xmodemq::demo

#include <gtest/gtest.h>

#include "Processes.h"
#include "modem/ServerNumber.h"

namespace xmodemq::test {
namespace {

TEST(Arguments, HelpListsEverySubcommandAndExitsZero) {
  for (const char* form : {"--help", "help", "-h"}) {
    const Outcome r = RunXmodemq({form});
    EXPECT_EQ(r.status, 0) << form;
    for (const char* sub : {"send", "receive", "pack", "unpack", "simulate", "demo"})
      EXPECT_NE(r.out.find(sub), std::string::npos) << sub;
  }
}

TEST(Arguments, VersionNamesTheLibraryAndTheNumberBuiltIn) {
  const Outcome r = RunXmodemq({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("xmodemq 1."), std::string::npos);
  EXPECT_NE(r.out.find(std::string("Numéro du serveur : ") + xmodemquarvel::kServerNumber + "\n"),
            std::string::npos)
      << r.out;
}

TEST(Arguments, UsageErrorsExitTwoWithAMessage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-q"},
      {"fly"},
      {"send"},
      {"send", "f"},
      {"send", "f", "--user"},
      {"pack", "only-one"},
      {"send", "f", "--user", "u", "--attempts", "x"},
      {"pack", "a", "b", "--device", "/dev/null"},
      {"send", "f", "--user", "u", "--frobnicate"},
      {"simulate"},
      {"simulate", "--link", "m", "--listen", "127.0.0.1:0"},
      {"send", "f", "--user", "u", "--device", "/dev/null", "--port", "1"},
  };
  for (const auto& args : cases) {
    const Outcome r = RunXmodemq(args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_NE(r.err.find(args.empty() ? "Utilisation : xmodemq" : "xmodemq: "), std::string::npos)
        << shown;
    EXPECT_TRUE(r.out.empty()) << shown;
  }
}

TEST(Arguments, PasswordAsAnArgumentIsRefusedWithoutRepeatingIt) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"send", "f", "--user", "u", "--password", "Tr3sS3cret"},
        std::vector<std::string>{"--password=Tr3sS3cret", "receive", "f", "--user", "u"}}) {
    const Outcome r = RunXmodemq(args, {{"XMODEMQ_PASSWORD", std::nullopt}});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("jamais en argument"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--password-file"), std::string::npos);
    EXPECT_EQ(r.All().find("Tr3sS3cret"), std::string::npos);
  }
}

TEST(Arguments, OptionsMayStandBeforeOrAfterTheSubcommand) {
  // The invalid settings are read wherever they stand: the component's
  // refusal proves it.
  TempDir dir;
  const std::string f = (dir / "f").string();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--settings", "9600,Z,8,1", "receive", f, "--user", "u"},
        std::vector<std::string>{"receive", "--user=u", f, "--settings=9600,Z,8,1"}}) {
    const Outcome r = RunXmodemq(args, {{"XMODEMQ_PASSWORD", "pw"}}, 10s);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Les paramètres 9600,Z,8,1 ne sont pas valides"), std::string::npos)
        << r.err;
  }
}

TEST(Arguments, ARefusedPortNumberIsTheErrorEventsText) {
  TempDir dir;
  const Outcome r = RunXmodemq({"receive", (dir / "f").string(), "--user", "u", "--port", "0"},
                               {{"XMODEMQ_PASSWORD", "pw"}}, 10s);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Le port 0 n'est pas disponible"), std::string::npos) << r.err;
}

TEST(Arguments, AMissingDeviceEndsInConnexionImpossible) {
  TempDir dir;
  const Outcome r = RunXmodemq(
      {"receive", (dir / "f").string(), "--user", "u", "--device", (dir / "absent").string()},
      {{"XMODEMQ_PASSWORD", "pw"}}, 20s);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Connexion impossible"), std::string::npos) << r.err;
  // The serial layer's own reason, read while the event ran.
  EXPECT_NE(r.err.find("n'existe pas"), std::string::npos) << r.err;
  // The partial file it had prepared is gone with its folder.
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

}  // namespace
}  // namespace xmodemq::test

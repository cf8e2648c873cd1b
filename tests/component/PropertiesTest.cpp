#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/SimulatedWorld.h"

namespace xmodemquarvel {
namespace {

using testing::SimulatedWorld;

// Collects the Error events and what the error record held while each ran.
struct ErrorLog {
  struct Entry {
    std::string text;
    std::string source_during;
    std::string description_during;
  };
  explicit ErrorLog(ModuleXmodem& m) : module(m) {
    m.Error = [this](std::string& text) {
      entries.push_back({text, module.ErrorSource(), module.ErrorDescription()});
    };
  }
  ModuleXmodem& module;
  std::vector<Entry> entries;
};

TEST(Properties, DataTypeHoldsExactlyOneCharacter) {
  SimulatedWorld w;
  EXPECT_EQ(w.module->DataType(), std::string(1, '\0'));
  w.module->DataType("XYZ");
  EXPECT_EQ(w.module->DataType(), "X");
  w.module->DataType("");
  EXPECT_EQ(w.module->DataType(), " ");
  w.module->DataType("étoile");
  EXPECT_EQ(w.module->DataType(), "é");
}

TEST(Properties, ANewObjectIsHiddenWithItsFirstCaption) {
  SimulatedWorld w;
  EXPECT_FALSE(w.module->Visible());
  EXPECT_EQ(w.module->Caption(), "Trace Xmodem - Quarvel");
  EXPECT_EQ(w.module->TraceText(), "");
  w.module->Visible(true);
  EXPECT_TRUE(w.module->Visible());
  EXPECT_FALSE(w.port->PortOpen());
}

TEST(Properties, CommPortNamesThePortInTheCaption) {
  SimulatedWorld w;
  ErrorLog log(*w.module);
  w.module->CommPort(2);
  EXPECT_TRUE(log.entries.empty());
  EXPECT_EQ(w.module->Caption(), "Xmodem KOVA-CNAMTS Com 2");
  EXPECT_EQ(w.port->CommPort(), 2);
}

TEST(Properties, ARefusedPortRaisesErrorAndKeepsTheCaption) {
  struct Case {
    int32_t port;
    bool open_first;
  };
  for (const Case& c : {Case{0, false}, Case{256, false}, Case{-3, false}, Case{4, true}}) {
    SimulatedWorld w;
    w.module->CommPort(1);
    if (c.open_first) w.port->PortOpen(true);
    ErrorLog log(*w.module);
    w.module->CommPort(c.port);
    ASSERT_EQ(log.entries.size(), 1u) << c.port;
    EXPECT_EQ(log.entries[0].text, "Le port " + std::to_string(c.port) + " n'est pas disponible");
    // While the event ran, the record held the serial layer's own failure.
    EXPECT_FALSE(log.entries[0].description_during.empty());
    EXPECT_EQ(w.module->Caption(), "Xmodem KOVA-CNAMTS Com 1");
    EXPECT_EQ(w.module->ErrorSource(), "");
    EXPECT_EQ(w.module->ErrorDescription(), "");
  }
}

TEST(Properties, SettingsAreRelayedOrRefusedWithTheirText) {
  SimulatedWorld w;
  ErrorLog log(*w.module);
  w.module->Settings("19200,E,7,1");
  EXPECT_TRUE(log.entries.empty());
  EXPECT_EQ(w.port->Settings(), "19200,E,7,1");
  for (const char* bad : {"9600,N,9,1", "n'importe quoi", "", "14400,N,8,1"}) {
    w.module->Settings(bad);
    ASSERT_FALSE(log.entries.empty());
    EXPECT_EQ(log.entries.back().text,
              std::string("Les paramètres ") + bad + " ne sont pas valides");
  }
  EXPECT_EQ(log.entries.size(), 4u);
  EXPECT_EQ(w.port->Settings(), "19200,E,7,1");
}

// A port of the host's own may throw anything: the traps relay it like a
// refusal of the serial layer, and nothing reaches the host.
TEST(Properties, AnyFailureOfTheHostsPortIsRelayedByTheTraps) {
  const std::pair<const char*, std::function<void(ModuleXmodem&)>> operations[] = {
      {"Le port 2 n'est pas disponible", [](ModuleXmodem& m) { m.CommPort(2); }},
      {"Les paramètres 9600,N,8,1 ne sont pas valides",
       [](ModuleXmodem& m) { m.Settings("9600,N,8,1"); }},
      {"Connexion impossible", [](ModuleXmodem& m) { EXPECT_EQ(m.Connect(1), rvFalse); }},
  };
  for (const auto& [event, operation] : operations) {
    for (const bool standard : {true, false}) {
      SimulatedWorld w;
      ErrorLog log(*w.module);
      w.port->FailNextChange(standard ? std::make_exception_ptr(std::runtime_error("panne"))
                                      : std::make_exception_ptr(42));
      EXPECT_NO_THROW(operation(*w.module)) << event;
      ASSERT_EQ(log.entries.size(), 1u) << event;
      EXPECT_EQ(log.entries[0].text, event);
      EXPECT_EQ(log.entries[0].description_during,
                standard ? "panne" : "Erreur inconnue du port série");
      EXPECT_EQ(w.module->ErrorDescription(), "");
    }
  }
}

TEST(Properties, SettingThePortOrTheLineEmptiesTheErrorRecord) {
  SimulatedWorld w;
  w.modem->HoldCts(false);
  ASSERT_EQ(w.module->Connect(1), rvCTS);
  ASSERT_EQ(w.module->ErrorSource(), "Xmodem: Connect");
  w.module->Settings("9600,N,8,1");
  EXPECT_EQ(w.module->ErrorSource(), "");
  EXPECT_EQ(w.module->ErrorDescription(), "");

  ASSERT_EQ(w.module->Connect(1), rvCTS);
  w.module->CommPort(999);  // refused, and still emptied
  EXPECT_EQ(w.module->ErrorSource(), "");
  EXPECT_EQ(w.module->ErrorDescription(), "");
}

TEST(Properties, TheErrorRecordIsSharedByTheObjectsOfOneThread) {
  SimulatedWorld a;
  SimulatedWorld b;
  a.modem->HoldCts(false);
  ASSERT_EQ(a.module->Connect(1), rvCTS);
  EXPECT_EQ(b.module->ErrorSource(), "Xmodem: Connect");
  b.module->Settings("9600,N,8,1");
  EXPECT_EQ(a.module->ErrorDescription(), "");
}

TEST(Properties, AnOperationStartedFromAHandlerOfTheSameObjectIsRefused) {
  SimulatedWorld w;
  bool refused = false;
  w.on_yield = [&] {
    if (refused) return;
    try {
      w.module->Connect(1);
    } catch (const std::logic_error&) {
      refused = true;
    }
  };
  EXPECT_EQ(w.module->Connect(1), rvTrue);
  EXPECT_TRUE(refused);
}

}  // namespace
}  // namespace xmodemquarvel

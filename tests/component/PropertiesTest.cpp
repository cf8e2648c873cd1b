// The properties of ModuleXmodem, its error record and its Error event.
#include <gtest/gtest.h>

#include <stdexcept>

#include "support/SimulatedWorld.h"

namespace xmodemquarvel {
namespace {

using testing::SimulatedWorld;

// A new object's defaults (Visible set and read back, and the port closed
// before a Connect, are checked through the C interface's session).
TEST(Properties, ANewObjectAndItsDataType) {
  SimulatedWorld w;
  EXPECT_FALSE(w.module->Visible());
  EXPECT_EQ(w.module->Caption(), "Trace Xmodem - Quarvel");
  EXPECT_EQ(w.module->TraceText(), "");
  // DataType holds exactly one character: NUL at first, a space for "".
  const std::pair<const char*, std::string> types[] = {
      {nullptr, std::string(1, '\0')}, {"XYZ", "X"}, {"", " "}, {"étoile", "é"}};
  for (const auto& [stored, read] : types) {
    if (stored != nullptr) w.module->DataType(stored);
    EXPECT_EQ(w.module->DataType(), read);
  }
}

// Device and CommPort name the port in the caption. CommPort and Settings
// relay the serial layer's refusal through Error, keep the caption and the
// line as they were, and always leave the record empty. A port of the host's
// own may throw anything: the traps relay it the same way (Connect's too), and
// nothing reaches the host.
TEST(Properties, CommPortSettingsAndConnectRelayEveryRefusalOfThePort) {
  SimulatedWorld w;
  w.module->Device("/dev/ttyUSB1");
  EXPECT_EQ(w.module->Caption(), "Xmodem KOVA-CNAMTS Com /dev/ttyUSB1");
  w.module->CommPort(2);
  w.module->Settings("19200,E,7,1");
  EXPECT_TRUE(w.errors.empty());
  EXPECT_EQ(w.module->Caption(), "Xmodem KOVA-CNAMTS Com 2");
  EXPECT_EQ(w.port->CommPort(), 2);
  EXPECT_EQ(w.port->Settings(), "19200,E,7,1");

  const auto panne = std::make_exception_ptr(std::runtime_error("panne"));
  const auto odd = std::make_exception_ptr(42);
  struct Row {
    std::function<void()> refuse;
    std::string text;
    std::string during = "";  // the record's description while Error ran; "": any
  };
  const Row rows[] = {
      {[&] { w.module->CommPort(0); }, "Le port 0 n'est pas disponible"},
      {[&] { w.port->PortOpen(true), w.module->CommPort(4), w.port->PortOpen(false); },
       "Le port 4 n'est pas disponible"},
      {[&] { w.module->Settings("9600,N,9,1"); }, "Les paramètres 9600,N,9,1 ne sont pas valides"},
      {[&] { w.port->FailNextChange(panne), w.module->CommPort(2); },
       "Le port 2 n'est pas disponible", "panne"},
      {[&] { w.port->FailNextChange(odd), w.module->Settings("19200,E,7,1"); },
       "Les paramètres 19200,E,7,1 ne sont pas valides", "Erreur inconnue du port série"},
      {[&] {
         w.port->FailNextChange(panne);
         EXPECT_EQ(w.module->Connect(1), rvFalse);
       },
       "Connexion impossible", "panne"},
      {[&] {
         w.port->FailNextChange(odd);
         EXPECT_EQ(w.module->Connect(1), rvFalse);
       },
       "Connexion impossible", "Erreur inconnue du port série"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    w.modem->HoldCts(false);
    ASSERT_EQ(w.module->Connect(1), rvCTS);  // leaves a record to empty
    w.modem->HoldCts(true);
    w.errors.clear();
    EXPECT_NO_THROW(row.refuse());
    ASSERT_EQ(w.errors.size(), 1u);
    EXPECT_EQ(w.errors[0].text, row.text);
    // While the event ran, the record held the serial layer's own failure.
    EXPECT_EQ(w.errors[0].source_during, "Port série");
    EXPECT_FALSE(w.errors[0].description_during.empty());
    if (!row.during.empty()) {
      EXPECT_EQ(w.errors[0].description_during, row.during);
    }
    EXPECT_EQ(w.module->ErrorSource() + w.module->ErrorDescription(), "");
  }
  EXPECT_EQ(w.module->Caption(), "Xmodem KOVA-CNAMTS Com 2");
  EXPECT_EQ(w.port->Settings(), "19200,E,7,1");
  // An accepted change empties the record too.
  ASSERT_EQ(w.module->Connect(1), rvTrue);
  w.module->Disconnect();
  w.modem->HoldCts(false);
  ASSERT_EQ(w.module->Connect(1), rvCTS);
  w.module->Settings("9600,N,8,1");
  EXPECT_EQ(w.module->ErrorSource() + w.module->ErrorDescription(), "");
}

TEST(Properties, TheErrorRecordIsOnePerThreadAndReEntryIsRefused) {
  SimulatedWorld a, b;
  a.modem->HoldCts(false);
  ASSERT_EQ(a.module->Connect(1), rvCTS);
  EXPECT_EQ(b.module->ErrorSource(), "Xmodem: Connect");
  b.module->Settings("9600,N,8,1");
  EXPECT_EQ(a.module->ErrorDescription(), "");

  bool refused = false;
  b.on_yield = [&] {
    try {
      if (!refused) b.module->Connect(1);
    } catch (const std::logic_error&) {
      refused = true;
    }
  };
  EXPECT_EQ(b.module->Connect(1), rvTrue);
  EXPECT_TRUE(refused);
}

}  // namespace
}  // namespace xmodemquarvel

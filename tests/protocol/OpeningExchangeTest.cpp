// OpenTransfer: the request record as it goes out, the four exchanges, and the
// response fields as they come back.
#include <gtest/gtest.h>

#include "ProtocolRig.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::testing {
namespace {

using protocol::BuildFrame;

struct OpeningRig : ImplRig {
  explicit OpeningRig(sim::ServerScript script = {}, sim::ServerFaults faults = {})
      : server(*port, std::move(script), faults) {
    AttachServer(server);
  }
  ReturnValues Open(const std::string& user, const std::string& password, const std::string& file,
                    const std::string& sens, const std::string& pack_type) {
    impl->Result = rvTrue;
    impl->Record.Reprise.Assign("0");
    impl->Record.RecordPositionHigh.AssignBytes({});
    impl->Record.RecordPositionLow.AssignBytes({});
    return impl->OpenTransfer(user, password, file, sens, pack_type);
  }
  sim::SimulatedServer server;
};

TEST(OpeningExchange, RequestRecordFieldsAreCutAndFilled) {
  OpeningRig rig;
  const std::string user45 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrs";
  ASSERT_EQ(user45.size(), 45u);
  ASSERT_EQ(rig.Open(user45, "", "/data/in/a-rather-long-file-name.dat", "Emission", "ZIP"),
            rvTrue);
  ASSERT_EQ(rig.server.Transfers().size(), 1u);
  const std::string& record = rig.server.Transfers()[0].record;
  ASSERT_EQ(record.size(), 128u);
  EXPECT_EQ(record.substr(0, 4), "V2.0");
  EXPECT_EQ(record.substr(4, 40), user45.substr(0, 40));
  EXPECT_EQ(record.substr(44, 40), std::string(40, ' '));
  EXPECT_EQ(record.substr(84, 17), "a-rather-long-fil");
  EXPECT_EQ(record.substr(101, 7), "   0128");
  EXPECT_EQ(record.substr(108, 8), Bytes({0, 'E', '0', 'Z', ' ', ' ', ' ', ' '}));
  EXPECT_EQ(record.substr(116, 3), std::string(3, '\0'));
  EXPECT_EQ(record.substr(119, 3), "CA0");
  EXPECT_TRUE(protocol::ControlPartMatches(record));
  EXPECT_EQ(rig.server.Transfers()[0].status, 0);
  // The object's fields keep "CA0" and six NULs; DataType reads the pack type.
  EXPECT_EQ(rig.impl->Record.Control.View(), "CA0" + std::string(6, '\0'));
  EXPECT_EQ(rig.impl->Record.BaseName.View(), "a-rather-long-fil");
}

TEST(OpeningExchange, HostTextsGoOutInTheSingleByteCodePage) {
  OpeningRig rig;
  ASSERT_EQ(rig.Open("Irène", "mot€", "C:\\données\\relevé.txt", "R", "é"), rvTrue);
  const std::string& record = rig.server.Transfers()[0].record;
  EXPECT_EQ(record.substr(4, 5), "Ir\xE8ne");
  EXPECT_EQ(record.substr(44, 4), "mot\x80");
  EXPECT_EQ(record.substr(84, 6), "relev\xE9");
  EXPECT_EQ(record[109], 'R');
  EXPECT_EQ(record[111], '\xE9');
}

TEST(OpeningExchange, ExchangesAreExactOnTheLine) {
  OpeningRig rig;
  ASSERT_EQ(rig.Open("", "", "abc.txt", "E", "0"), rvTrue);
  const std::string& record = rig.server.Transfers()[0].record;
  const std::string expected =
      BuildFrame(0, record) + Bytes({13}) + Bytes({4, 13}) + Bytes({21, 13});
  EXPECT_EQ(rig.port->HostWrote(), expected);
  EXPECT_EQ(record.substr(119), "CA0" + Bytes({0x1C, 0x2C}) + "0011");
  EXPECT_EQ(rig.impl->BlocNumber, 255);
  EXPECT_EQ(rig.impl->RxBuffer.size(), 133u);
  EXPECT_EQ(rig.impl->RxBuffer[1], '\0');
  // The response is not acknowledged here.
  EXPECT_EQ(rig.port->HostWrote().back(), '\r');
  EXPECT_EQ(rig.port->HostWrote().substr(rig.port->HostWrote().size() - 2), Bytes({21, 13}));
}

TEST(OpeningExchange, ResponseFieldsAndPositions) {
  struct Case {
    std::int64_t position;
    std::int32_t high, low;
    char reprise;
  };
  for (const Case c : {Case{76805, 300, 5, '1'}, Case{0, 0, 0, '0'}, Case{300, 1, 44, '1'},
                       Case{-256, -1, 0, '0'}, Case{-8388608 + 7, -32768, 7, '0'}}) {
    sim::ServerScript script;
    script.send_position = c.position;
    OpeningRig rig(script);
    ASSERT_EQ(rig.Open("u", "p", "f", "E", "0"), rvTrue);
    EXPECT_EQ(rig.impl->PositionHigh, c.high) << c.position;
    EXPECT_EQ(rig.impl->PositionLow, c.low) << c.position;
    EXPECT_EQ(rig.impl->Record.Reprise.View()[0], c.reprise);
    const std::string bytes = protocol::EncodePosition(c.position);
    EXPECT_EQ(rig.impl->Record.RecordPositionHigh.View(), bytes.substr(0, 2));
    EXPECT_EQ(rig.impl->Record.RecordPositionLow.View(), bytes.substr(2, 1));
  }
}

TEST(OpeningExchange, ARefusalIsNotAFailureOfTheOpening) {
  sim::ServerScript script;
  script.status = svFileNotExists;
  OpeningRig rig(script);
  ASSERT_EQ(rig.Open("u", "p", "f", "E", "0"), rvTrue);
  EXPECT_EQ(rig.impl->Record.Status.View()[0], '\x06');
}

TEST(OpeningExchange, EotInsteadOfTheResponseLeavesTheLineUp) {
  sim::ServerFaults faults;
  faults.eot_for_response = true;
  OpeningRig rig({}, faults);
  EXPECT_EQ(rig.Open("u", "p", "f", "E", "0"), rvFalse);
  EXPECT_EQ(rig.Description(), "Réponse inattendue du distant");
  EXPECT_TRUE(rig.port->PortOpen());
}

TEST(OpeningExchange, NoInvitationFailsAfterTenWaitsAndDropsTheLine) {
  sim::ServerFaults faults;
  faults.silent_after_messages = 0;
  OpeningRig rig({}, faults);
  EXPECT_EQ(rig.Open("u", "p", "f", "E", "0"), rvFalse);
  EXPECT_EQ(rig.Description(),
            "Pas de réponse dans le délai imparti\r\n10 tentatives infructueuses");
  EXPECT_EQ(rig.port->HostWrote(), "");
  EXPECT_FALSE(rig.port->PortOpen());
}

TEST(OpeningExchange, EachStepFailsWithTheBlockLayersResult) {
  // The server stops answering after the invitation, after the ACK of the
  // record, after the ACK of the EOT: steps 5, 6 and 7 each fail.
  for (int silent_after : {1, 2, 3}) {
    sim::ServerFaults faults;
    faults.silent_after_messages = silent_after;
    OpeningRig rig({}, faults);
    EXPECT_EQ(rig.Open("u", "p", "f", "E", "0"), rvFalse) << silent_after;
    EXPECT_EQ(rig.Description(),
              "Pas de réponse dans le délai imparti\r\n10 tentatives infructueuses");
    EXPECT_FALSE(rig.port->PortOpen());
  }
  // The carrier goes while the record is awaited an acknowledgement.
  OpeningRig cut;
  cut.peer.on_bytes = nullptr;
  cut.server.Stop();
  cut.port->AttachPeer(&cut.peer);
  cut.Reply(Bytes({21, 13}));
  cut.peer.on_bytes = [&](std::string_view) {
    cut.port->SetCts(false);
    cut.port->SetCd(false);
  };
  EXPECT_EQ(cut.Open("u", "p", "f", "E", "0"), rvCTS);
  EXPECT_EQ(cut.Description(), "La ligne est coupée");
  EXPECT_FALSE(cut.port->PortOpen());
}

}  // namespace
}  // namespace xmodemquarvel::testing

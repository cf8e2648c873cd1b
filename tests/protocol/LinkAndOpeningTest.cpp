// SendAndWait and OpenTransfer against a far end that the test scripts or the
// simulated server, on the virtual clock: the attempts and their outcomes, the
// request record as it goes out, and a line cut while it does.
#include "ProtocolRig.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::testing {
namespace {

using protocol::ACK;
using protocol::EOT;
using protocol::NAK;
using protocol::SOH;

using Arrange = std::function<void(ImplRig&)>;

// Answers each message the component writes with the next of `replies`.
Arrange Answers(std::vector<std::string> replies) {
  return [replies = std::move(replies)](ImplRig& rig) {
    rig.peer.on_bytes = [&rig, &replies, next = std::size_t{0}](std::string_view) mutable {
      rig.Reply(replies.at(next++));
    };
  };
}
// Bytes for the component after `ms` of line time.
Arrange At(long long ms, std::string bytes) {
  return [=](ImplRig& rig) { rig.ReplyAfter(std::chrono::milliseconds(ms), bytes); };
}
const Arrange kCarrierLostOnWrite = [](ImplRig& r) {
  r.peer.on_bytes = [&r](std::string_view) { r.port->SetCts(false), r.port->SetCd(false); };
};

TEST(BlockLink, AttemptsAndTheirOutcomes) {
  const std::string data = Pattern(128, 3);
  const std::string bad_sum =
      Spoiled(LineFrame(8, data), 131, static_cast<char>(LineFrame(8, data)[131] ^ 1));
  // The frame before starts the count over ten times; after that it is a
  // failed attempt like any wrong answer.
  std::vector<std::string> previous(15, LineFrame(4, data));
  previous.push_back(LineFrame(5, data));
  const std::vector<std::string> previous_for_ever(25, LineFrame(4, data));
  struct Case {
    const char* what;
    char message;          // 0: nothing written
    int expected, number;  // the answer awaited; BlocNumber, the last frame accepted
    Arrange arrange;
    ReturnValues result;
    std::string description, wire;
    long long ms;
    std::optional<std::string> rx = std::nullopt;
  };
  // Failures take the hang-up's 1.5 s on top.
  // clang-format off
  const std::vector<Case> cases = {
      {"an empty message writes nothing and waits ten times ten seconds", 0, NAK, 0, nullptr, rvFalse, kTenTimeOuts, "", 101'500},
      {"EOT is taken where a frame is expected", ACK, SOH, 0, At(0, kEotCr), rvTrue, "", kAckCr, 0, std::string(1, EOT)},
      {"a wrong answer makes the same message go again", EOT, ACK, 0, Answers({kNakCr, kNakCr, kAckCr}), rvTrue, "", Repeat(kEotCr, 3), 0},
      {"ten wrong answers fail without a time-out message", EOT, ACK, 0, Answers(std::vector<std::string>(10, kNakCr)), rvFalse, kTenFailures, Repeat(kEotCr, 10), 1'500},
      {"an acknowledgement goes out as NAK from the second attempt", ACK, SOH, 0, nullptr, rvFalse, kTenTimeOuts, kAckCr + Repeat(kNakCr, 9), 101'500},
      {"success after a time-out keeps its description", EOT, ACK, 0, At(15'000, kAckCr), rvTrue, kTimeOut, Repeat(kEotCr, 2), 15'000},
      {"extra minutes left by the modem dialogue lengthen the first wait", 0, NAK, 0,
       [](ImplRig& r) { r.impl->wait.ExtraMinutes = 1, At(65'000, kNakCr)(r); }, rvTrue, "", "", 65'000},
      {"frames are checked for number, complement and checksum", ACK, SOH, 7,
       Answers({bad_sum, Spoiled(LineFrame(8, data), 2, 0), LineFrame(9, data), LineFrame(8, data)}), rvTrue, "", kAckCr + Repeat(kNakCr, 3), 0, LineFrame(8, data)},
      {"after block 255 the awaited frame is number 0", NAK, SOH, 255, At(0, LineFrame(0, data)), rvTrue, "", kNakCr, 0, LineFrame(0, data)},
      {"the previous frame again is acknowledged and the count starts over, ten times", ACK, SOH, 4, Answers(previous), rvTrue, "", Repeat(kAckCr, 11) + Repeat(kNakCr, 5), 0, LineFrame(5, data)},
      {"the previous frame for ever fails after ten restarts and ten attempts", ACK, SOH, 4, Answers(previous_for_ever), rvFalse, kTenFailures, Repeat(kAckCr, 11) + Repeat(kNakCr, 9), 1'500},
      // Where a frame is awaited, an EOT ends the file only right after its CR
      // with nothing dropped before it in the attempt (the whole exchanges are
      // in ResumeAndEndTest).
      {"ten EOTs after noise are ten wrong answers", NAK, SOH, 255, Answers(std::vector<std::string>(10, "?" + kEotCr)), rvFalse, kTenFailures, Repeat(kNakCr, 10), 1'500},
      {"the response frame after a stray EOT", NAK, SOH, 255, At(0, Bytes({EOT}) + LineFrame(0, data)), rvTrue, "", kNakCr, 0, LineFrame(0, data)},
      {"where an EOT itself is awaited, noise before it does no harm", ACK, EOT, 0, At(0, "x" + kEotCr), rvTrue, "", kAckCr, 0, std::string(1, EOT)},
      {"carrier lost ends at once with the line cut", ACK, SOH, 0, kCarrierLostOnWrite, rvCTS, kLineCut, kAckCr, 1'500},
      {"CTS low with the carrier tries ten times without waiting", ACK, SOH, 0, [](ImplRig& r) { r.port->SetCts(false); }, rvFalse, kTenFailures, kAckCr + Repeat(kNakCr, 9), 1'500},
  };
  // clang-format on
  for (const Case& c : cases) {
    ImplRig rig;
    rig.impl->fields.BlocNumber = c.number;
    rig.impl->connection.ModemMode = mmvConnecté;
    if (c.arrange) c.arrange(rig);
    EXPECT_EQ(rig.SendAndWait(c.message ? std::string(1, c.message) : "", c.expected), c.result)
        << c.what;
    EXPECT_EQ(rig.Description(), c.description) << c.what;
    EXPECT_EQ(rig.port->HostWrote(), c.wire) << c.what;
    EXPECT_EQ(rig.NowMs(), c.ms) << c.what;
    EXPECT_EQ(rig.impl->fields.RxBuffer, c.rx.value_or(rig.impl->fields.RxBuffer)) << c.what;
    EXPECT_EQ(rig.port->PortOpen(), c.result == rvTrue) << c.what;
    EXPECT_EQ(rig.impl->connection.ModemMode, c.result == rvTrue ? mmvConnecté : mmvCommande)
        << c.what;
    EXPECT_EQ(rig.impl->fields.BlocNumber, c.number)
        << c.what << ": the caller advances the number";
  }
}

TEST(BlockLink, TakesOneAnswerLeavesTheRestWaitingAndNeverSpins) {
  ImplRig rig;
  rig.Reply("garbage\r\n" + Bytes({6, 'x', 'y', 13, 21, 13}));
  ASSERT_EQ(rig.SendAndWait(std::string(1, EOT), ACK), rvTrue);
  EXPECT_EQ(rig.impl->fields.RxBuffer, Bytes({6}));
  EXPECT_EQ(rig.yields, 1) << "one hand-over after a complete answer";
  // The NAK that followed is the first thing the next collection reads.
  ASSERT_EQ(rig.SendAndWait("", NAK), rvTrue);
  EXPECT_EQ(rig.impl->fields.RxBuffer, Bytes({21}));
  EXPECT_EQ(rig.NowMs(), 0);
  // A 9 s wait with nothing coming hands over about once per 100 ms.
  rig.ReplyAfter(std::chrono::milliseconds(9'000), kAckCr);
  ASSERT_EQ(rig.SendAndWait(std::string(1, EOT), ACK), rvTrue);
  EXPECT_LE(rig.yields, 200);
  // A wrong answer is dumped in hexadecimal to the trace, only while visible.
  for (const bool visible : {true, false}) {
    ImplRig dump;
    dump.impl->form.Visible = visible;
    dump.Reply(kAckCr + Bytes({1, 0, 255}) + std::string(128, '\0') + Bytes({0xAB, 13}) + kNakCr);
    ASSERT_EQ(dump.SendAndWait("", NAK), rvTrue);
    const std::string frame = "1 0 FF " + Repeat("0 ", 128) + "AB D \r\n";
    EXPECT_EQ(dump.impl->form.Text, visible ? "6 \r\n" + frame : "") << visible;
  }
}

struct OpeningRig : ImplRig {
  OpeningRig() {
    AddServer();
    port->AttachPeer(server.get());
    server->Start();
  }
  ReturnValues Open(const std::string& user = "u", const std::string& password = "p",
                    const std::string& file = "f", const std::string& sens = "E",
                    const std::string& pack_type = "0") {
    impl->fields.Result = rvTrue;
    impl->opening.Record.Reprise.Assign("0");
    impl->opening.Record.RecordPositionHigh.AssignBytes({});
    impl->opening.Record.RecordPositionLow.AssignBytes({});
    return impl->opening.OpenTransfer(user, password, file, sens, pack_type);
  }
  const std::string& Record() { return server->Transfers().at(0).record; }
};

TEST(OpeningExchange, TheRequestGoesOutExactlyWithItsFieldsCutAndFilled) {
  OpeningRig rig;
  ASSERT_EQ(rig.Open("", "", "abc.txt", "E", "0"), rvTrue);
  EXPECT_EQ(rig.port->HostWrote(), LineFrame(0, rig.Record()) + kEotCr + kNakCr);
  EXPECT_EQ(rig.Record().substr(119), "CA0" + Bytes({0x1C, 0x2C}) + "0011");
  EXPECT_EQ(rig.impl->fields.BlocNumber, 255);
  EXPECT_EQ(rig.impl->fields.RxBuffer.substr(0, 2), Bytes({1, 0}));
  EXPECT_EQ(rig.impl->fields.RxBuffer.size(), 133u);

  OpeningRig cut;
  const std::string user45 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrs";
  ASSERT_EQ(cut.Open(user45, "", "/data/in/a-rather-long-file-name.dat", "Emission", "ZIP"),
            rvTrue);
  EXPECT_EQ(cut.Record().substr(0, 122),
            "V2.0" + user45.substr(0, 40) + std::string(40, ' ') + "a-rather-long-fil   0128" +
                Bytes({0, 'E', '0', 'Z', ' ', ' ', ' ', ' ', 0, 0, 0}) + "CA0");
  EXPECT_TRUE(protocol::ControlPartMatches(cut.Record()));
  // The object's fields keep "CA0" and six NULs.
  EXPECT_EQ(cut.impl->opening.Record.Control.View(), "CA0" + std::string(6, '\0'));
  EXPECT_EQ(cut.impl->opening.Record.BaseName.View(), "a-rather-long-fil");

  // Host texts go out in the single-byte code page.
  OpeningRig french;
  ASSERT_EQ(french.Open("Irène", "mot€", "C:\\données\\relevé.txt", "R", "é"), rvTrue);
  EXPECT_EQ(french.Record().substr(4, 5), "Ir\xE8ne");
  EXPECT_EQ(french.Record().substr(44, 4), "mot\x80");
  EXPECT_EQ(french.Record().substr(84, 6), "relev\xE9");
  EXPECT_EQ(french.Record().substr(109, 3), "R0\xE9");
}

// The carrier goes while the record awaits its acknowledgement.
TEST(OpeningExchange, ACarrierLostDuringTheRequestCutsTheLine) {
  OpeningRig cut;
  cut.server->Stop();
  cut.port->AttachPeer(&cut.peer);
  cut.Reply(kNakCr);
  kCarrierLostOnWrite(cut);
  EXPECT_EQ(cut.Open(), rvCTS);
  EXPECT_EQ(cut.Description(), kLineCut);
  EXPECT_FALSE(cut.port->PortOpen());
}

}  // namespace
}  // namespace xmodemquarvel::testing

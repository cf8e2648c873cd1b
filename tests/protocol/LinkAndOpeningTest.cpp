// SendAndWait and OpenTransfer against a far end that the test scripts or the
// simulated server, on the virtual clock: the attempts and their outcomes, the
// request record as it goes out, and a line cut while it does.
#include "ProtocolRig.h"

namespace xmodemquarvel::testing {
namespace {

using protocol::ACK, protocol::EOT, protocol::NAK, protocol::SOH;

using Arrange = std::function<void(ImplRig&)>;

// Answers each message the component writes with the next of `replies`.
Arrange Answers(std::vector<std::string> replies) {
  return [replies = std::move(replies)](ImplRig& rig) {
    rig.on_bytes = [&rig, &replies, next = std::size_t{0}](std::string_view) mutable {
      rig.port->SendToHost(replies.at(next++));
    };
  };
}
// Bytes for the component after `ms` of line time.
Arrange At(long long ms, std::string bytes) {
  return [=](ImplRig& rig) { rig.ReplyAfter(std::chrono::milliseconds(ms), bytes); };
}
const Arrange kCarrierLostOnWrite = [](ImplRig& r) {
  r.on_bytes = [&r](std::string_view) { r.port->SetCts(false), r.port->SetCd(false); };
};

TEST(BlockLink, AttemptsAndTheirOutcomes) {
  const std::string data = Pattern(128, 3);
  const std::string bad_sum =
      LineFrame(8, data).replace(131, 1, 1, static_cast<char>(LineFrame(8, data)[131] ^ 1));
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
      {"a wrong answer makes the same message go again", EOT, ACK, 0, Answers({kNakCr, kNakCr, kAckCr}), rvTrue, "", Repeat(kEotCr, 3), 0},
      {"ten wrong answers fail without a time-out message", EOT, ACK, 0, Answers(std::vector<std::string>(10, kNakCr)), rvFalse, kTenFailures, Repeat(kEotCr, 10), 1'500},
      {"the tenth attempt may still succeed", EOT, ACK, 0, Answers({kNakCr, kNakCr, kNakCr, kNakCr, kNakCr, kNakCr, kNakCr, kNakCr, kNakCr, kAckCr}), rvTrue, "", Repeat(kEotCr, 10), 0},
      {"success after a time-out keeps its description", EOT, ACK, 0, At(15'000, kAckCr), rvTrue, kTimeOut, Repeat(kEotCr, 2), 15'000},
      {"extra minutes left by the modem dialogue lengthen the first wait", 0, NAK, 0,
       [](ImplRig& r) { r.impl->wait.ExtraMinutes = 1, At(65'000, kNakCr)(r); }, rvTrue, "", "", 65'000},
      {"frames are checked for number, complement and checksum", ACK, SOH, 7,
       Answers({bad_sum, LineFrame(8, data).replace(2, 1, 1, 0), LineFrame(9, data), LineFrame(8, data)}), rvTrue, "", kAckCr + Repeat(kNakCr, 3), 0, LineFrame(8, data)},
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
    SCOPED_TRACE(c.what);
    ImplRig rig;
    rig.impl->fields.BlocNumber = c.number;
    rig.impl->connection.ModemMode = mmvConnecté;
    if (c.arrange) c.arrange(rig);
    EXPECT_EQ(rig.SendAndWait(c.message ? std::string(1, c.message) : "", c.expected), c.result);
    EXPECT_EQ(rig.module->ErrorDescription(), c.description);
    EXPECT_EQ(rig.port->HostWrote(), c.wire);
    EXPECT_EQ(rig.NowMs(), c.ms);
    EXPECT_EQ(rig.impl->fields.RxBuffer, c.rx.value_or(rig.impl->fields.RxBuffer));
    EXPECT_EQ(rig.port->PortOpen(), c.result == rvTrue);
    EXPECT_EQ(rig.impl->connection.ModemMode, c.result == rvTrue ? mmvConnecté : mmvCommande);
    EXPECT_EQ(rig.impl->fields.BlocNumber, c.number) << "the caller advances the number";
  }
}

// What follows an answer waits for the next collection; the whole exchanges
// see to that (a frame sent twice in a row is acknowledged twice).
TEST(BlockLink, TakesOneAnswerAndNeverSpins) {
  ImplRig rig;
  rig.port->SendToHost("garbage\r\n" + Bytes({6, 'x', 'y', 13}));
  ASSERT_EQ(rig.SendAndWait(std::string(1, EOT), ACK), rvTrue);
  EXPECT_EQ(rig.impl->fields.RxBuffer, Bytes({6}));
  EXPECT_EQ(rig.yields, 1) << "one hand-over after a complete answer";
  EXPECT_EQ(rig.NowMs(), 0);
  // A 9 s wait with nothing coming hands over about once per 100 ms.
  rig.ReplyAfter(std::chrono::milliseconds(9'000), kAckCr);
  ASSERT_EQ(rig.SendAndWait(std::string(1, EOT), ACK), rvTrue);
  EXPECT_LE(rig.yields, 200);
  // A wrong answer is dumped in hexadecimal to the trace, only while visible.
  for (const bool visible : {true, false}) {
    ImplRig dump;
    dump.impl->form.Visible = visible;
    dump.port->SendToHost(kAckCr + Bytes({1, 0, 255}) + std::string(128, '\0') + Bytes({0xAB, 13}) +
                          kNakCr);
    ASSERT_EQ(dump.SendAndWait("", NAK), rvTrue);
    const std::string frame = "1 0 FF " + Repeat("0 ", 128) + "AB D \r\n";
    EXPECT_EQ(dump.impl->form.Text, visible ? "6 \r\n" + frame : "") << visible;
  }
}

// The requests as the server received them in whole exchanges: the fields cut
// to their width and filled, the control part in the request only (the server
// refuses a request whose control part does not match).
TEST(OpeningExchange, TheRequestGoesOutExactlyWithItsFieldsCutAndFilled) {
  ServerRig rig;
  const auto record = [&rig](std::size_t n) { return rig.server->Transfers().at(n).record; };
  ASSERT_EQ(rig.module->SendFile("", "", rig.dir / "abc.txt", "0"), rvTrue);
  EXPECT_EQ(record(0).substr(119), "CA0" + Bytes({0x1C, 0x2C}) + "0011");

  const std::string user45 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrs";
  ASSERT_EQ(rig.module->SendFile(user45, "", rig.dir / "a-rather-long-file-name.dat", "ZIP"),
            rvTrue);
  EXPECT_EQ(record(1).substr(0, 122),
            "V2.0" + user45.substr(0, 40) + std::string(40, ' ') + "a-rather-long-fil   0128" +
                Bytes({0, 'E', '0', 'Z', ' ', ' ', ' ', ' ', 0, 0, 0}) + "CA0");
  // The object's fields keep "CA0" and six NULs.
  const auto& fields = ModuleXmodemInspector::Of(*rig.module).opening.Record;
  EXPECT_EQ(fields.Control.View(), "CA0" + std::string(6, '\0'));

  // Host texts go out in the single-byte code page.
  EXPECT_EQ(rig.module->ReceiveFile("Irène", "mot€", rig.dir / "relevé.txt", "é"), rvRefuse);
  EXPECT_EQ(record(2).substr(4, 5), "Ir\xE8ne");
  EXPECT_EQ(record(2).substr(44, 4), "mot\x80");
  EXPECT_EQ(record(2).substr(84, 6), "relev\xE9");
  EXPECT_EQ(record(2).substr(109, 3), "R0\xE9");
}

// The carrier goes while the record awaits its acknowledgement.
TEST(OpeningExchange, ACarrierLostDuringTheRequestCutsTheLine) {
  ImplRig cut;
  cut.port->SendToHost(kNakCr);
  kCarrierLostOnWrite(cut);
  EXPECT_EQ(cut.impl->opening.OpenTransfer("u", "p", "f", "E", "0"), rvCTS);
  EXPECT_EQ(cut.module->ErrorDescription(), kLineCut);
  EXPECT_FALSE(cut.port->PortOpen());
}

}  // namespace
}  // namespace xmodemquarvel::testing

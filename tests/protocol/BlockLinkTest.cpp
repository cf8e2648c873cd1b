// SendAndWait and SendBlock against a far end that the test scripts, on the
// virtual clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProtocolRig.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::testing {
namespace {

using protocol::ACK;
using protocol::BuildFrame;
using protocol::CR;
using protocol::EOT;
using protocol::NAK;
using protocol::SOH;

const std::string kAckCr = Bytes({6, 13});
const std::string kNakCr = Bytes({21, 13});
const std::string kEotCr = Bytes({4, 13});
const std::string kTimeOut = "Pas de réponse dans le délai imparti";
const std::string kTenFailures = "\r\n10 tentatives infructueuses";

std::string Frame(std::uint8_t number, const std::string& data) {
  return BuildFrame(number, data) + std::string(1, CR);
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(BlockLink, EmptyMessageWritesNothingAndWaitsTenTimesTenSeconds) {
  ImplRig rig;
  EXPECT_EQ(rig.SendAndWait("", NAK), rvFalse);
  EXPECT_EQ(rig.Description(), kTimeOut + kTenFailures);
  EXPECT_EQ(rig.port->HostWrote(), "");
  // Ten waits of 10 s, then the hang-up's two pauses.
  EXPECT_GE(rig.NowMs(), 100'000);
  EXPECT_LE(rig.NowMs(), 100'000 + 1'500 + 500);
  EXPECT_FALSE(rig.port->PortOpen());
  EXPECT_EQ(rig.impl->ModemMode, mmvCommande);
}

TEST(BlockLink, AcceptsTheAwaitedAnswerAndLeavesTheRestWaiting) {
  ImplRig rig;
  rig.Reply("garbage\r\n" + Bytes({6, 'x', 'y', 13, 21, 13}));
  ASSERT_EQ(rig.SendAndWait(std::string(1, EOT), ACK), rvTrue);
  EXPECT_EQ(rig.impl->RxBuffer, Bytes({6}));
  EXPECT_EQ(rig.port->HostWrote(), kEotCr);
  EXPECT_EQ(rig.Description(), "");
  // The NAK that followed is the first thing the next collection reads.
  ASSERT_EQ(rig.SendAndWait("", NAK), rvTrue);
  EXPECT_EQ(rig.impl->RxBuffer, Bytes({21}));
  EXPECT_EQ(rig.NowMs(), 0);
  EXPECT_TRUE(rig.port->PortOpen());
}

TEST(BlockLink, CollectsAFrameWithCrInsideAndDropsBytesBeforeItsFinalCr) {
  const std::string data = "\r\r\r" + Pattern(125);
  const std::string frame = Frame(1, data);
  for (const std::string& wire : {frame, frame.substr(0, 132) + "junk" + std::string(1, CR)}) {
    ImplRig rig;
    rig.impl->BlocNumber = 0;
    rig.Reply(wire);
    ASSERT_EQ(rig.SendAndWait(std::string(1, ACK), SOH), rvTrue);
    EXPECT_EQ(rig.impl->RxBuffer, frame);
    EXPECT_EQ(rig.port->HostWrote(), kAckCr);
  }
}

TEST(BlockLink, EotIsAcceptedWhereAFrameIsExpected) {
  ImplRig rig;
  rig.Reply(kEotCr);
  ASSERT_EQ(rig.SendAndWait(std::string(1, ACK), SOH), rvTrue);
  EXPECT_EQ(rig.impl->RxBuffer, std::string(1, EOT));
}

TEST(BlockLink, AWrongAnswerMakesTheSameMessageGoAgain) {
  ImplRig rig;
  int answers = 0;
  rig.peer.on_bytes = [&](std::string_view) { rig.Reply(++answers < 3 ? kNakCr : kAckCr); };
  ASSERT_EQ(rig.SendAndWait(std::string(1, EOT), ACK), rvTrue);
  EXPECT_EQ(rig.port->HostWrote(), Repeat(kEotCr, 3));
  EXPECT_EQ(rig.Description(), "");
  EXPECT_EQ(rig.NowMs(), 0);
}

TEST(BlockLink, TenWrongAnswersFailWithoutATimeOutMessage) {
  ImplRig rig;
  rig.peer.on_bytes = [&](std::string_view) { rig.Reply(kNakCr); };
  EXPECT_EQ(rig.SendAndWait(std::string(1, EOT), ACK), rvFalse);
  EXPECT_EQ(rig.Description(), kTenFailures);
  EXPECT_EQ(rig.port->HostWrote(), Repeat(kEotCr, 10));
  EXPECT_FALSE(rig.port->PortOpen());
}

TEST(BlockLink, AnAcknowledgementGoesOutAsNakFromTheSecondAttempt) {
  ImplRig rig;
  EXPECT_EQ(rig.SendAndWait(std::string(1, ACK), SOH), rvFalse);
  EXPECT_EQ(rig.port->HostWrote(), kAckCr + Repeat(kNakCr, 9));
  EXPECT_EQ(rig.Description(), kTimeOut + kTenFailures);
}

TEST(BlockLink, SuccessAfterATimeOutKeepsItsDescription) {
  ImplRig rig;
  rig.ReplyAfter(std::chrono::milliseconds(15'000), kAckCr);
  ASSERT_EQ(rig.SendAndWait(std::string(1, EOT), ACK), rvTrue);
  EXPECT_EQ(rig.Description(), kTimeOut);
  EXPECT_EQ(rig.port->HostWrote(), Repeat(kEotCr, 2));
}

TEST(BlockLink, ExtraMinutesLeftByTheModemDialogueLengthenTheFirstWait) {
  ImplRig rig;
  rig.impl->wait.ExtraMinutes = 1;
  rig.ReplyAfter(std::chrono::milliseconds(65'000), kNakCr);
  ASSERT_EQ(rig.SendAndWait("", NAK), rvTrue);
  EXPECT_EQ(rig.Description(), "");
  EXPECT_EQ(rig.NowMs(), 65'000);
}

TEST(BlockLink, FramesAreCheckedForNumberComplementAndChecksum) {
  const std::string data = Pattern(128, 3);
  std::string bad_sum = Frame(8, data);
  bad_sum[131] ^= 1;
  std::string bad_complement = Frame(8, data);
  bad_complement[2] = 0;
  ImplRig rig;
  rig.impl->BlocNumber = 7;
  std::vector<std::string> replies = {bad_sum, bad_complement, Frame(9, data), Frame(8, data)};
  std::size_t next = 0;
  rig.peer.on_bytes = [&](std::string_view) { rig.Reply(replies.at(next++)); };
  ASSERT_EQ(rig.SendAndWait(std::string(1, ACK), SOH), rvTrue);
  EXPECT_EQ(rig.impl->RxBuffer, Frame(8, data));
  EXPECT_EQ(rig.port->HostWrote(), kAckCr + Repeat(kNakCr, 3));
  EXPECT_EQ(rig.Description(), "");
  EXPECT_EQ(rig.impl->BlocNumber, 7) << "the caller advances the number";
}

TEST(BlockLink, AfterBlock255TheAwaitedFrameIsNumberZero) {
  ImplRig rig;
  rig.impl->BlocNumber = 255;
  const std::string frame = Frame(0, Pattern(128));
  EXPECT_EQ(static_cast<unsigned char>(frame[2]), 255);
  rig.Reply(frame);
  ASSERT_EQ(rig.SendAndWait(std::string(1, NAK), SOH), rvTrue);
  EXPECT_EQ(rig.impl->RxBuffer, frame);
}

TEST(BlockLink, ThePreviousFrameAgainIsAcknowledgedAndTheCountStartsOver) {
  ImplRig rig;
  rig.impl->BlocNumber = 4;
  const std::string data = Pattern(128);
  int sent = 0;
  // Fifteen repetitions: more than ten attempts, yet no failure.
  rig.peer.on_bytes = [&](std::string_view) {
    rig.Reply(++sent <= 15 ? Frame(4, data) : Frame(5, data));
  };
  ASSERT_EQ(rig.SendAndWait(std::string(1, ACK), SOH), rvTrue);
  EXPECT_EQ(rig.port->HostWrote(), Repeat(kAckCr, 16));
  EXPECT_EQ(rig.impl->RxBuffer, Frame(5, data));
}

TEST(BlockLink, CarrierLostEndsAtOnceWithLineCut) {
  ImplRig rig;
  rig.peer.on_bytes = [&](std::string_view) {
    rig.port->SetCts(false);
    rig.port->SetCd(false);
  };
  EXPECT_EQ(rig.SendAndWait(std::string(1, ACK), SOH), rvCTS);
  EXPECT_EQ(rig.Description(), "La ligne est coupée");
  EXPECT_EQ(rig.port->HostWrote(), kAckCr);
  EXPECT_FALSE(rig.port->PortOpen());
  EXPECT_LE(rig.NowMs(), 1'500);
}

TEST(BlockLink, CtsLowWithCarrierTriesTenTimesWithoutWaiting) {
  ImplRig rig;
  rig.port->SetCts(false);
  EXPECT_EQ(rig.SendAndWait(std::string(1, ACK), SOH), rvFalse);
  EXPECT_EQ(rig.Description(), kTenFailures);
  EXPECT_EQ(rig.port->HostWrote(), kAckCr + Repeat(kNakCr, 9));
  // Only the hang-up's pauses took time.
  EXPECT_EQ(rig.NowMs(), 1'500);
}

TEST(BlockLink, AWrongAnswerIsDumpedToTheTraceOnlyWhileTheFormIsVisible) {
  for (const bool visible : {true, false}) {
    ImplRig rig;
    rig.impl->form.Visible = visible;
    rig.Reply(kAckCr + Bytes({1, 0, 255}) + std::string(128, '\0') + Bytes({0xAB, 13}) + kNakCr);
    ASSERT_EQ(rig.SendAndWait("", NAK), rvTrue);
    std::string frame_dump = "1 0 FF ";
    for (int i = 0; i < 128; ++i) frame_dump += "0 ";
    frame_dump += "AB D \r\n";
    EXPECT_EQ(rig.impl->form.Text, visible ? "6 \r\n" + frame_dump : "") << visible;
  }
}

TEST(BlockLink, SendBlockFramesTheDataUnderBlocNumber) {
  ImplRig rig;
  rig.impl->BlocNumber = 1;
  rig.peer.on_bytes = [&](std::string_view) { rig.Reply(kAckCr); };
  std::string data = "abc" + std::string(125, ' ');
  ASSERT_EQ(rig.impl->SendBlock(data), rvTrue);
  const std::string expected = Bytes({1, 1, 0xFE}) + data + Bytes({0xC6, 13});
  EXPECT_EQ(rig.port->HostWrote(), expected);
  EXPECT_EQ(rig.impl->TxBuffer, expected.substr(0, 132));
}

TEST(BlockLink, YieldsOnceAfterACompleteAnswerAndNeverSpins) {
  ImplRig rig;
  rig.Reply(kAckCr);
  ASSERT_EQ(rig.SendAndWait(std::string(1, EOT), ACK), rvTrue);
  EXPECT_EQ(rig.yields, 1);
  // A 10 s wait with nothing coming yields about once per 100 ms, not more.
  ImplRig idle;
  idle.ReplyAfter(std::chrono::milliseconds(9'000), kAckCr);
  ASSERT_EQ(idle.SendAndWait(std::string(1, EOT), ACK), rvTrue);
  EXPECT_LE(idle.yields, 200);
}

}  // namespace
}  // namespace xmodemquarvel::testing

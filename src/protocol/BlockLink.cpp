#include "protocol/BlockLink.h"

#include <cstdio>
#include <stdexcept>
#include <string>

#include "protocol/AnswerCollector.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::protocol {
namespace {

constexpr int kAttempts = 10;
constexpr int kMostRestarts = 10;
constexpr int32_t kAnswerTimeOut = 10'000;

// How an exchange shows in the wait's state: what went out at attempt `k`,
// and what is awaited.
std::string Sent(std::string_view message, int k) {
  if (message.empty()) return {};
  if (message.size() == kFrameSize - 1) return "trame " + std::to_string(Byte(message[1]));
  if (message[0] == ACK && k >= 2) return "NAK";
  return message[0] == ACK ? "ACK" : message[0] == NAK ? "NAK" : "EOT";
}

std::string Awaited(char expected, int32_t last_number) {
  if (expected == SOH) return "trame " + std::to_string((last_number + 1) % 256) + " ou EOT";
  return expected == ACK ? "ACK" : expected == NAK ? "NAK" : "EOT";
}

// Each byte as upper-case hexadecimal without leading zeros and a space, then
// CR LF: how a wrong answer shows in the trace.
std::string HexDump(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 3 + 2);
  char piece[4];
  for (char c : bytes) {
    std::snprintf(piece, sizeof piece, "%X ", static_cast<unsigned>(Byte(c)));
    out.append(piece);
  }
  out.append("\r\n");
  return out;
}

}  // namespace

ReturnValues BlockLink::SendBlock(std::string_view Data) {
  f_.TxBuffer = BuildFrame(static_cast<std::uint8_t>(f_.BlocNumber & 0xFF), Data);
  return SendAndWait(f_.TxBuffer, ACK);
}

ReturnValues BlockLink::SendAndWait(std::string_view Message, int Expected) {
  f_.Error().Description.clear();
  const char expected = static_cast<char>(Expected);
  std::string line;
  if (!Message.empty()) {
    line.reserve(Message.size() + 1);
    line.append(Message).push_back(CR);
  }
  // An acknowledgement that has to be repeated means the answer did not come
  // or was bad: from the second attempt on it goes out as NAK.
  static constexpr char kNakLine[] = {NAK, CR};

  AnswerCollector collector(expected == SOH);
  // The frame accepted last time, received again, starts the count of
  // attempts over; at most kMostRestarts times, so that a server repeating it
  // for ever cannot hold the exchange for ever.
  int restarts = 0;
  int k = 1;
  while (k <= kAttempts) {
    loop_.Awaiting(WaitState::Awaiting::kServer, Sent(Message, k), Awaited(expected, f_.BlocNumber),
                   k, kAttempts);
    if (!line.empty()) {
      if (line[0] == ACK && k >= 2) {
        Modem.Output(std::string_view(kNakLine, 2));
      } else {
        Modem.Output(line);
      }
    }
    wait_.ArmKeepingExtraMinutes(kAnswerTimeOut);
    collector.Begin(f_.RxBuffer);
    f_.LinePending = true;

    // The three conditions of the collection; CTS is read last, since on a
    // real port reading it costs a system call.
    while (f_.LinePending && wait_.Waiting && Modem.CTSHolding()) {
      // Waiting bytes are taken back to back; the host gets control when the
      // input is empty, the answer complete, or after kBytesPerPass bytes, so
      // that a flood of bytes that never make an answer meets the time-out.
      int taken = 0;
      while (f_.LinePending && taken < HostLoop::kBytesPerPass && Modem.InBufferCount() > 0) {
        const std::string c = Modem.Input();
        if (c.empty()) break;
        ++taken;
        f_.RxChar.AssignBytes(c);
        if (collector.Take(f_.RxBuffer, c[0])) f_.LinePending = false;
      }
      if (f_.LinePending && taken < HostLoop::kBytesPerPass) {
        loop_.Idle(&Modem);
      } else {
        loop_.Yield();
      }
    }

    if (f_.LinePending && !wait_.Waiting) {
      f_.Error().Description = "Pas de réponse dans le délai imparti";
      ++k;
      continue;
    }
    if (f_.LinePending) {
      // CTS dropped: with the carrier gone the line is cut, otherwise try again.
      if (!Modem.CDHolding()) {
        f_.Error().Description = "La ligne est coupée";
        f_.Result = rvCTS;
        break;
      }
      ++k;
      continue;
    }
    const char first = f_.RxBuffer[0];
    // An EOT that followed dropped bytes is no end of file but a wrong answer.
    if ((first != expected && !(first == EOT && expected == SOH)) || !collector.Clean()) {
      if (trace_.Visible) trace_.Append(HexDump(f_.RxBuffer));
      ++k;
      continue;
    }
    if (first != SOH) break;
    const FrameVerdict verdict =
        JudgeFrame(f_.RxBuffer, static_cast<std::uint8_t>(f_.BlocNumber & 0xFF));
    if (verdict == FrameVerdict::kGood) break;
    // The frame accepted last time came again: our acknowledgement was lost.
    // Acknowledge it again (as ACK, not NAK) and count the attempts afresh.
    if (verdict == FrameVerdict::kPrevious && restarts < kMostRestarts) {
      ++restarts;
      k = 1;
    } else {
      ++k;
    }
  }

  if (k > kAttempts) {
    f_.Error().Description += "\r\n10 tentatives infructueuses";
    f_.Result = rvFalse;
  }
  if (f_.Result != rvTrue) hang_up_.Disconnect();
  return f_.Result;
}

}  // namespace xmodemquarvel::protocol

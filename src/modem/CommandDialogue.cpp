// The AT command dialogue: one command sent with repeated attempts, and the
// modem's answer lines read and classified.
#include "modem/CommandDialogue.h"

#include "component/CodePage.h"
#include "modem/AnswerLine.h"

namespace xmodemquarvel::modem {
namespace {

constexpr auto kLongestExtendedCommand = std::chrono::minutes(15);

}  // namespace

ReturnValues CommandDialogue::ReadResponse() {
  f_.LinePending = true;
  f_.RxBuffer.clear();
  while (Modem.CTSHolding() && wait_.Waiting && f_.LinePending) {
    // Waiting bytes are taken back to back, a bounded number per pass, so
    // that a modem that babbles without end still meets the time-out.
    int taken = 0;
    while (f_.LinePending && taken < HostLoop::kBytesPerPass && Modem.InBufferCount() > 0) {
      ++taken;
      f_.RxChar.AssignBytes(Modem.Input());
      // What follows the end of a line stays waiting for the next line.
      if (AnswerLine::Take(f_.RxBuffer, f_.RxChar.bytes[0])) f_.LinePending = false;
    }
    if (f_.LinePending && taken < HostLoop::kBytesPerPass) {
      loop_.Idle(&Modem);
    } else {
      loop_.Yield();
    }
  }
  if (!f_.LinePending) {
    trace_.Append(f_.RxBuffer + "\r\n");
    AnswerLine::Shorten(f_.RxBuffer);
    return rvTrue;
  }
  if (!wait_.Waiting) {
    f_.RxBuffer = "Le modem n'a pas répondu dans le délai imparti";
    return rvTimer;
  }
  f_.RxBuffer = "Le modem ne repond plus";
  return rvCTS;
}

ReturnValues CommandDialogue::SendCommand(const std::string& Command, const std::string& Expected,
                                          int32_t TimeOut) {
  Attempt = 0;
  const int32_t limit = AttemptLimit;
  const std::string line = Utf8ToCp1252(Command) + "\r\n";
  // "BUSY" and "DELAYED" extend the wait only while the whole command has
  // lasted less than kLongestExtendedCommand: a modem that answers BUSY for
  // ever cannot hold the call for ever.
  const auto extensions_end = clock_.Now() + kLongestExtendedCommand;
  while (Attempt <= limit) {
    if (!Modem.CTSHolding()) {
      f_.RxBuffer = "Le modem ne répond pas";
      f_.Result = rvCTS;
      break;
    }
    loop_.Awaiting(WaitState::Awaiting::kModem, Command, Expected, Attempt + 1, limit + 1);
    Modem.Output(line);
    wait_.Arm(TimeOut);
    for (;;) {
      f_.Result = ReadResponse();
      if (f_.Result != rvTrue) {
        if (f_.Result == rvTimer) f_.Result = rvFalse;
        break;
      }
      if (f_.RxBuffer == Expected) {
        wait_.Stop();
        break;
      }
      if (f_.RxBuffer == "NO CARRIER" || f_.RxBuffer == "NO ANSWER") {
        f_.Result = rvFalse;
        break;
      }
      if (f_.RxBuffer == "BUSY" || f_.RxBuffer == "DELAYED") {
        if (clock_.Now() < extensions_end) wait_.Extend();
        continue;
      }
      if (f_.RxBuffer == "NO DIALTONE") {
        f_.RxBuffer = "Pas de tonalité";
        f_.Result = rvCTS;
        break;
      }
      if (f_.RxBuffer == "BLACKLISTED") {
        f_.RxBuffer = "Black Liste - Appel interdit";
        f_.Result = rvCTS;
        break;
      }
      if (f_.RxBuffer == "CONNECT") {
        // A connection nobody asked for: the modem drops it when DTR falls.
        Modem.DTREnable(false);
        Modem.DTREnable(true);
        continue;
      }
      if (f_.RxBuffer == "ERROR") {
        f_.Result = rvCTS;
        break;
      }
      // The command's echo or an information line: read on.
    }
    if (f_.Result != rvFalse) break;
    ++Attempt;
  }
  if (f_.Result != rvTrue) f_.Error().Description = f_.RxBuffer;
  return f_.Result;
}

}  // namespace xmodemquarvel::modem

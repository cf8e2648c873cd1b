// The AT command dialogue: one command sent with repeated attempts, and the
// modem's answer lines read and classified.
#include "component/CodePage.h"
#include "component/ModuleXmodemImpl.h"
#include "modem/AnswerLine.h"

namespace xmodemquarvel {
namespace {

constexpr auto kLongestExtendedCommand = std::chrono::minutes(15);

}  // namespace

ReturnValues ModuleXmodem::Impl::ReadResponse() {
  LinePending = true;
  RxBuffer.clear();
  while (Modem.CTSHolding() && wait.Waiting && LinePending) {
    // Waiting bytes are taken back to back, a bounded number per pass, so
    // that a modem that babbles without end still meets the time-out.
    int taken = 0;
    while (LinePending && taken < HostLoop::kBytesPerPass && Modem.InBufferCount() > 0) {
      ++taken;
      RxChar.AssignBytes(Modem.Input());
      // What follows the end of a line stays waiting for the next line.
      if (AnswerLine::Take(RxBuffer, RxChar.bytes[0])) LinePending = false;
    }
    if (LinePending && taken < HostLoop::kBytesPerPass) {
      loop.Idle(&Modem);
    } else {
      loop.Yield();
    }
  }
  if (!LinePending) {
    AppendTrace(RxBuffer + "\r\n");
    AnswerLine::Shorten(RxBuffer);
    return rvTrue;
  }
  if (!wait.Waiting) {
    RxBuffer = "Le modem n'a pas répondu dans le délai imparti";
    return rvTimer;
  }
  RxBuffer = "Le modem ne repond plus";
  return rvCTS;
}

ReturnValues ModuleXmodem::Impl::SendCommand(const std::string& Command,
                                             const std::string& Expected, int32_t TimeOut) {
  Attempt = 0;
  const int32_t limit = AttemptLimit;
  const std::string line = Utf8ToCp1252(Command) + "\r\n";
  // "BUSY" and "DELAYED" extend the wait only while the whole command has
  // lasted less than kLongestExtendedCommand: a modem that answers BUSY for
  // ever cannot hold the call for ever.
  const auto extensions_end = clock->Now() + kLongestExtendedCommand;
  while (Attempt <= limit) {
    if (!Modem.CTSHolding()) {
      RxBuffer = "Le modem ne répond pas";
      Result = rvCTS;
      break;
    }
    loop.Awaiting(WaitState::Awaiting::kModem, Command, Expected, Attempt + 1, limit + 1);
    Modem.Output(line);
    wait.Arm(TimeOut);
    for (;;) {
      Result = ReadResponse();
      if (Result != rvTrue) {
        if (Result == rvTimer) Result = rvFalse;
        break;
      }
      if (RxBuffer == Expected) {
        wait.Stop();
        break;
      }
      if (RxBuffer == "NO CARRIER" || RxBuffer == "NO ANSWER") {
        Result = rvFalse;
        break;
      }
      if (RxBuffer == "BUSY" || RxBuffer == "DELAYED") {
        if (clock->Now() < extensions_end) wait.Extend();
        continue;
      }
      if (RxBuffer == "NO DIALTONE") {
        RxBuffer = "Pas de tonalité";
        Result = rvCTS;
        break;
      }
      if (RxBuffer == "BLACKLISTED") {
        RxBuffer = "Black Liste - Appel interdit";
        Result = rvCTS;
        break;
      }
      if (RxBuffer == "CONNECT") {
        // A connection nobody asked for: the modem drops it when DTR falls.
        Modem.DTREnable(false);
        Modem.DTREnable(true);
        continue;
      }
      if (RxBuffer == "ERROR") {
        Result = rvCTS;
        break;
      }
      // The command's echo or an information line: read on.
    }
    if (Result != rvFalse) break;
    ++Attempt;
  }
  if (Result != rvTrue) error().Description = RxBuffer;
  return Result;
}

}  // namespace xmodemquarvel

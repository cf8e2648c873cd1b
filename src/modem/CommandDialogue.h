#pragma once

#include <cstdint>
#include <string>

#include "component/HostForm.h"
#include "component/HostLoop.h"
#include "component/SharedFields.h"
#include "component/WaitTimer.h"
#include "xmodemquarvel/Clock.h"
#include "xmodemquarvel/Enums.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel::modem {

// The AT command dialogue with the modem: one command sent with repeated
// attempts, and the modem's answer lines read, traced and classified. Its
// answers and results go to the shared fields (RxBuffer, Result).
class CommandDialogue {
 public:
  CommandDialogue(SerialPort& modem, HostLoop& loop, WaitTimer& wait, HostForm& trace, Clock& clock,
                  SharedFields& fields)
      : Modem(modem), loop_(loop), wait_(wait), trace_(trace), clock_(clock), f_(fields) {}

  // Extra attempts of each command, set by Connect from its Tentatives.
  int32_t AttemptLimit = 3;
  // The attempt in progress, from 0.
  int32_t Attempt = 0;

  // Sends `Command` with CR LF up to AttemptLimit + 1 times, until the line
  // `Expected` comes within `TimeOut` ms of an attempt. rvTrue, rvFalse or
  // rvCTS; on failure the error record's description is RxBuffer.
  ReturnValues SendCommand(const std::string& Command, const std::string& Expected,
                           int32_t TimeOut);
  // Reads one answer line into RxBuffer within the armed wait: rvTrue, rvTimer
  // or rvCTS.
  ReturnValues ReadResponse();

 private:
  SerialPort& Modem;
  HostLoop& loop_;
  WaitTimer& wait_;
  HostForm& trace_;
  Clock& clock_;
  SharedFields& f_;
};

}  // namespace xmodemquarvel::modem

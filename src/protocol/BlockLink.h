#pragma once

#include <string_view>

#include "component/HostForm.h"
#include "component/HostLoop.h"
#include "component/SharedFields.h"
#include "component/WaitTimer.h"
#include "modem/HangUp.h"
#include "xmodemquarvel/Enums.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel::protocol {

// The block link: every message of a transfer goes out and every answer comes
// in here. SendAndWait writes a message and collects the server's answer, ten
// attempts of 10 s at most; SendBlock frames 128 bytes under BlocNumber. A
// failed exchange drops the line through `hang_up`.
class BlockLink {
 public:
  BlockLink(SerialPort& modem, HostLoop& loop, WaitTimer& wait, HostForm& trace,
            SharedFields& fields, modem::HangUp& hang_up)
      : Modem(modem), loop_(loop), wait_(wait), trace_(trace), f_(fields), hang_up_(hang_up) {}

  // Writes `Message` with its CR (nothing when empty; NAK in place of ACK from
  // the second attempt) and waits for an answer that begins with `Expected`
  // (an EOT also where a frame is awaited), left in RxBuffer. Leaves Result as
  // it is on success; lowers it to rvFalse or rvCTS, and hangs up, on failure.
  ReturnValues SendAndWait(std::string_view Message, int Expected);
  // Sends `Data` (128 bytes) as the frame numbered BlocNumber until the
  // server acknowledges it.
  ReturnValues SendBlock(std::string_view Data);

 private:
  SerialPort& Modem;
  HostLoop& loop_;
  WaitTimer& wait_;
  HostForm& trace_;
  SharedFields& f_;
  modem::HangUp& hang_up_;
};

}  // namespace xmodemquarvel::protocol

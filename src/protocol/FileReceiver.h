#pragma once

#include <optional>
#include <string>

#include "component/SharedFields.h"
#include "modem/HangUp.h"
#include "protocol/BlockLink.h"
#include "protocol/OpeningExchange.h"
#include "protocol/TransferEvents.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel::protocol {

// ReceiveFile: the opening in direction "R", asking to resume after the blocks
// the local file holds, then the server's frames appended from the position
// it answers until its clean EOT.
class FileReceiver {
 public:
  FileReceiver(SerialPort& modem, BlockLink& link, OpeningExchange& opening, SharedFields& fields,
               modem::HangUp& hang_up, TransferEvents& events)
      : Modem(modem),
        link_(link),
        opening_(opening),
        f_(fields),
        hang_up_(hang_up),
        events_(events) {}

  // `descriptor`: the host's open file to write, in place of the file named
  // FileName.
  ReturnValues ReceiveFile(const std::string& UserId, const std::string& PSW,
                           const std::string& FileName, const std::string& PackType,
                           std::optional<int> descriptor = std::nullopt);

 private:
  SerialPort& Modem;
  BlockLink& link_;
  OpeningExchange& opening_;
  SharedFields& f_;
  modem::HangUp& hang_up_;
  TransferEvents& events_;
};

}  // namespace xmodemquarvel::protocol

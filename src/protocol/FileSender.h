#pragma once

#include <string>

#include "component/SharedFields.h"
#include "modem/HangUp.h"
#include "protocol/BlockLink.h"
#include "protocol/OpeningExchange.h"
#include "protocol/TransferEvents.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel::protocol {

// SendFile: the opening in direction "E", the file's whole records as frames
// from the position the server names, EOT, and the server's report checked
// against the blocks sent.
class FileSender {
 public:
  FileSender(SerialPort& modem, BlockLink& link, OpeningExchange& opening, SharedFields& fields,
             modem::HangUp& hang_up, TransferEvents& events)
      : Modem(modem),
        link_(link),
        opening_(opening),
        f_(fields),
        hang_up_(hang_up),
        events_(events) {}

  ReturnValues SendFile(const std::string& UserId, const std::string& PSW,
                        const std::string& FileName, const std::string& PackType);

 private:
  // Sends the records and the final EOT.
  ReturnValues SendFileBlocks(const std::string& FileName);

  SerialPort& Modem;
  BlockLink& link_;
  OpeningExchange& opening_;
  SharedFields& f_;
  modem::HangUp& hang_up_;
  TransferEvents& events_;
};

}  // namespace xmodemquarvel::protocol

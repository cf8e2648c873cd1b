#pragma once

#include <string>

#include "exchange/ExchangeReport.h"
#include "exchange/Spool.h"

namespace xmodemq {

class Journal;

// The server's returns, from the spool's incoming folder to inbox/. A return
// whose content the journal already holds for that name and account, or
// that inbox/ holds under that name, was received before (the billing
// software may have emptied inbox/ since): it is discarded as "déjà reçu".
// A new one goes beside any file of that name (ARL, ARL.1...), never over
// one; its journal row follows it.
class Returns {
 public:
  Returns(const Spool& spool, Journal* journal, std::string user)
      : spool_(spool), journal_(journal), user_(std::move(user)) {}

  // Files .entrant/NAME, counting it in `report`. Throws FileFailure.
  void File(const std::string& name, ExchangeReport& report) const;

 private:
  // Whether inbox/ holds NAME or NAME.N with this SHA-256.
  bool InInbox(const std::string& name, const std::string& sha256) const;

  const Spool& spool_;
  Journal* journal_;
  std::string user_;
};

}  // namespace xmodemq

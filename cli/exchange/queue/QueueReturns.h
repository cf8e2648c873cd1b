#pragma once

#include <string>

#include "exchange/ExchangeReport.h"
#include "exchange/Spool.h"

namespace xmodemq {

class PgQueue;

// The returns that any machine's run received and kept in the queue,
// delivered once to a destination: a folder of this machine (the
// destination's name in the queue is the machine's and the folder's
// absolute path). Each one is written to a private temporary file in the
// folder, synced, and renamed under its name (NAME, else NAME.1...: never
// over a file), and only then noted delivered. A run that died between the
// two finds it there, with the same SHA-256, and only notes it. Counted in
// `report` (received, already_received). Throws JournalError, FileFailure
// and Refusal.
void DeliverReturns(PgQueue& queue, const std::string& account, const std::string& folder,
                    ExchangeReport& report);

// The same into a spool's inbox/, through its incoming folder and Returns,
// so that the spool's rules hold (shared with the office's group, 0640).
void DeliverReturns(PgQueue& queue, const std::string& account, const Spool& spool,
                    ExchangeReport& report);

}  // namespace xmodemq

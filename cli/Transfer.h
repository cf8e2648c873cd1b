#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Arguments.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemq {

// What differs between a send and a receive.
struct TransferKind {
  // "Envoi", "Réception": the progress label.
  std::string label;
  // Blocks in all, when known before the transfer starts.
  std::optional<int64_t> total_blocks;
  // The event that reports each block.
  std::function<void(int32_t&)> xmodemquarvel::ModuleXmodem::*event;
  std::function<xmodemquarvel::ReturnValues(xmodemquarvel::ModuleXmodem&,
                                            const std::string& password)>
      run;
  // Said once the transfer succeeded, before the block count.
  std::string done;
};

// Password, settings, Connect, the transfer, Disconnect; the exit status.
int RunTransfer(const Options& options, const TransferKind& kind);

}  // namespace xmodemq

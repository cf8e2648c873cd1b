#include <memory>
#include <vector>

#include "call/Call.h"
#include "commands/Commands.h"
#include "terminal/Text.h"
#include "transfers/SendPlan.h"

namespace xmodemq {

int RunSend(const Options& options, SessionHost host) {
  for (const std::string& file : options.operands) CheckNoControlCharacters("le fichier", file);
  std::vector<std::unique_ptr<TransferPlan>> plans;
  for (const std::string& file : options.operands)
    plans.push_back(std::make_unique<SendPlan>(file, options.pad));
  return Call(options, std::move(plans), std::move(host)).Run();
}

}  // namespace xmodemq

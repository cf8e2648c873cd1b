#include <memory>
#include <vector>

#include "call/Call.h"
#include "commands/Commands.h"
#include "terminal/Text.h"
#include "transfers/ReceivePlan.h"

namespace xmodemq {

int RunReceive(const Options& options, SessionHost host) {
  for (const std::string& file : options.operands) CheckNoControlCharacters("le fichier", file);
  const ResumePolicy policy{options.user, options.partial_max_age, options.resume_old};
  std::vector<std::unique_ptr<TransferPlan>> plans;
  for (const std::string& file : options.operands)
    plans.push_back(std::make_unique<ReceivePlan>(file, options.replace, policy, options.min_free));
  return Call(options, std::move(plans), std::move(host)).Run();
}

}  // namespace xmodemq

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "call/Password.h"
#include "call/TransferLog.h"
#include "commandline/Arguments.h"
#include "commandline/ExitCodes.h"
#include "commandline/Usage.h"
#include "commands/Commands.h"
#include "exchange/Exchange.h"
#include "system/FileErrors.h"
#include "terminal/Text.h"

int main(int argc, char** argv) {
  using namespace xmodemq;
  const std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  try {
    options = ParseArguments(args);
  } catch (const UsageError& e) {
    if (args.empty()) {
      std::fputs(ShortUsageText().c_str(), stderr);
    } else {
      PrintLine(stderr, std::string("xmodemq: ") + e.what());
      std::fputs("Voir « xmodemq --help ».\n", stderr);
    }
    return kExitUsage;
  }
  try {
    switch (options.command) {
      case Command::Help:
      case Command::None:
        std::fputs(UsageText(options.help_topic).c_str(), stdout);
        return kExitOk;
      case Command::Version:
        std::fputs(VersionText().c_str(), stdout);
        return kExitOk;
      case Command::Send:
        return RunSend(options);
      case Command::Receive:
        return RunReceive(options);
      case Command::Pack:
        return RunPack(options);
      case Command::Unpack:
        return RunUnpack(options);
      case Command::Simulate:
        return RunSimulate(options);
      case Command::Demo:
        return RunDemo(options);
      case Command::Journal:
        return RunJournal(options);
      case Command::Exchange:
        return RunExchange(options);
      case Command::Submit:
        return RunSubmit(options);
      case Command::FetchReturns:
        return RunFetchReturns(options);
    }
  } catch (const JournalUnreachable& e) {
    // Nothing was dialled: the journal's database is to be tried later.
    PrintLine(stderr, std::string("xmodemq: ") + e.what());
    return kExitLater;
  } catch (const Refusal& e) {
    // Nothing was dialled nor written.
    PrintLine(stderr, std::string("xmodemq: ") + e.what());
    return kExitUsage;
  } catch (const PasswordError& e) {
    PrintLine(stderr, std::string("xmodemq: ") + e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    PrintLine(stderr, std::string("xmodemq: ") + e.what());
    return kExitFailure;
  }
  return kExitFailure;
}

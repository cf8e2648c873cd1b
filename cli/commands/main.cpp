#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "call/Password.h"
#include "commandline/Arguments.h"
#include "commandline/ExitCodes.h"
#include "commandline/Usage.h"
#include "commands/Commands.h"
#include "system/FileErrors.h"

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
      std::fprintf(stderr, "xmodemq: %s\nVoir « xmodemq --help ».\n", e.what());
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
    }
  } catch (const Refusal& e) {
    // Nothing was dialled nor written.
    std::fprintf(stderr, "xmodemq: %s\n", e.what());
    return kExitUsage;
  } catch (const PasswordError& e) {
    std::fprintf(stderr, "xmodemq: %s\n", e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xmodemq: %s\n", e.what());
    return kExitFailure;
  }
  return kExitFailure;
}

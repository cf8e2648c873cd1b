#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "commandline/Arguments.h"

namespace xmodemq {

// The one description of each option: the parser reads its table from here,
// `--help` is written from here, and a test checks that the options sections
// of xmodemq(1) describe exactly these options, with these values, under
// these subcommands.

// A help text and the subcommands it is the text for (empty: every one the
// option applies to).
struct OptionHelp {
  std::vector<Command> commands;
  std::string_view text;
};

struct OptionSpec {
  std::string_view name;
  // The one-letter form ("-q"), if any.
  std::string_view short_name;
  // The value's name in the help and the manual ("CHEMIN"); empty for an
  // option that takes none.
  std::string_view value;
  // The subcommands that accept it; empty: every one (a general option).
  std::vector<Command> commands;
  // What --help says of it, its default included; several texts when it
  // means something else to other subcommands.
  std::vector<OptionHelp> help;
  // Reads its value into the options; none for the options that the parser
  // handles itself (--help, --version, --). Throws UsageError.
  void (*set)(Options& options, const std::string& value) = nullptr;

  bool AppliesTo(Command command) const;
  // The help text for `command`'s listing.
  std::string_view HelpFor(Command command) const;
};

// The subcommands whose options the general help and the manual list
// together, under one title ("send et receive"); the last group, without
// subcommands, holds the general options.
struct OptionGroup {
  std::string_view title;
  std::vector<Command> commands;
  // The section of xmodemq(1) that describes them.
  std::string_view manual;
};

const std::vector<OptionSpec>& OptionCatalogue();
const std::vector<OptionGroup>& OptionGroups();

// The option of that name (long or short), or nullptr.
const OptionSpec* FindOption(std::string_view name);

}  // namespace xmodemq

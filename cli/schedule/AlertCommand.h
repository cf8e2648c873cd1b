#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace xmodemq {

// Runs a profile's alert command: `argv` as it stands, never through a
// shell (argv[0] is looked for in PATH), with `env` added to the
// environment, standard input from /dev/null and its output on standard
// error (never on the command's JSON). A command still running after
// `limit` is stopped, its whole process group: SIGTERM, then SIGKILL a
// second later. Returns what came of it, for the log and the journal:
// "0" when it exited 0, else a French text ("code de sortie 1", "arrêtée
// après 60 s", "introuvable : ...").
std::string RunAlertCommand(const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& env,
                            std::chrono::milliseconds limit);

}  // namespace xmodemq

#pragma once

#include <chrono>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "commandline/Arguments.h"
#include "exchange/Profile.h"
#include "exchange/Spool.h"

namespace xmodemq {

class Journal;

// The options of a run's call, from the command's and the profile's.
Options CallOptions(const Options& options, const Profile& profile);

// What a run does with the outbox: the files that go (oldest first, by
// name), those held and why, and how many wait for a later run.
struct OutboxPlan {
  std::vector<std::string> send;
  std::vector<std::pair<std::string, std::string>> hold;
  std::size_t waiting = 0;
};

// Looks at every complete file of the outbox as a send would: a file that
// cannot go as it is (empty, unreadable, not whole records without `pad`, a
// name the server cannot carry, or takes for a file sent before it in the
// same call) is to be held, the others go.
OutboxPlan PlanOutbox(const Spool& spool, const Profile& profile,
                      std::chrono::system_clock::time_point now);

// A name of `fetch` as the server is asked for it: {user} is the account,
// {date:FORMAT} the local date as strftime() writes FORMAT. Throws
// ProfileError saying why when the pattern or its result cannot be a
// server's name (LoadProfile() checks every pattern).
std::string FetchName(const std::string& pattern, const std::string& user, std::time_t now);

// The names of `fetch` due now: those that no receive of this account asked
// for within `fetch_every` (an answer came: a file, or a refusal).
std::vector<std::string> DueFetches(const Profile& profile, const Journal* journal,
                                    std::time_t now);

}  // namespace xmodemq

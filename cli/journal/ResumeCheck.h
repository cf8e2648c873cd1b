#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "files/Sha256.h"
#include "journal/Journal.h"

namespace xmodemq {

// What the journal says of the blocks that a server holds of a send.
enum class ResumeVerdict {
  // They are the first blocks of the file that goes out now.
  kSame,
  // The journal cannot tell what they are.
  kUnknown,
  // They belong to another version of the file: sending the rest would leave
  // a mix of two versions on the server.
  kOther,
};

struct ResumeCheck {
  ResumeVerdict verdict;
  // What to tell the user.
  std::string message;
};

// The server holds `held` blocks (more than 0) of `name`, and `now` is the
// file that goes out. `last` is the last send of that name whose data may
// have reached the server (Journal::LastVersionSent), if the journal knows
// one; `journal_kept` says whether a journal was kept at all.
ResumeCheck CheckResume(const std::string& name, const std::string& file, const RecordDigests& now,
                        std::int64_t held, const std::optional<SentVersion>& last,
                        bool journal_kept);

}  // namespace xmodemq

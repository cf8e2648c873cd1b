#pragma once

#include <optional>
#include <string>

#include "journal/JournalRow.h"

namespace xmodemq {

// A file is never sent twice. Two sends are of the same file when they carry
// the same content (SHA-256) under the same server name (as the record
// carries it, without regard to case) to the same account (the user id as
// the record carries it) of the same server: what the server sees, not what
// was typed. Every way of sending (a command's call, a spool) asks
// Journal::ReserveSends(), which applies this rule and reserves the send in
// one write transaction, so that two processes never both go.

// How a send of a file that the journal knows may go.
enum class Repeat {
  // Not at all.
  kNo,
  // --again: whatever the journal says; its row says it was a deliberate
  // repeat.
  kAgain,
  // --ask-server: a file whose last send has an unknown outcome goes, but
  // only as far as the server's resume position confirms it.
  kAskServer,
};

// What the rule says of one send, and the earlier row it rests on.
struct SendVerdict {
  enum class Kind {
    // Reserved: it goes.
    kGoes,
    // Reserved, with --ask-server: an earlier send of the same file has an
    // unknown outcome. It goes on only after the server's position matches
    // the journal's digests; a whole file held is recorded as sent, and a
    // position of 0 stops it before any data.
    kAskServer,
    // Held back: the same file went (without --again).
    kSent,
    // Held back: the same file may have gone, its row has no end (without
    // --again or --ask-server).
    kUnknown,
    // Held back: another process sends the same file now.
    kRunning,
  };
  Kind kind = Kind::kGoes;
  std::optional<JournalRow> earlier = {};

  bool Held() const { return kind != Kind::kGoes && kind != Kind::kAskServer; }
};

// Why `file` (the send of `row`) does not go, for the user: when the
// earlier send went or started, from which file, for which user, or which
// process sends it now.
std::string HeldText(const std::string& file, const JournalRow& row, const SendVerdict& verdict);

}  // namespace xmodemq

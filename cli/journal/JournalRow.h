#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace xmodemq {

// One transfer as the journal keeps it. The members are named as the
// columns and as the JSON members (`server_key`, `user_key` and the process
// excepted).
struct JournalRow {
  std::optional<std::int64_t> id;
  // The same for every transfer of one call (a batch).
  std::string call_id;
  // UTC, ISO 8601; `ended` is absent while it runs.
  std::string started;
  std::optional<std::string> ended;
  // "send" or "receive".
  std::string direction;
  // The user's file, absolute.
  std::string file;
  // The name the server files it under, and the same in upper case.
  std::string server_name;
  std::string server_key;
  // The server's number, as dialled after any prefix.
  std::string server;
  // The user id as given, and the account as the record carries it
  // (AccountOf(), which the journal works out).
  std::string user;
  std::string user_key;
  // The device or the rfc2217:// address that carried the call; empty while
  // a send is reserved and not yet on its line.
  std::string line;
  // The whole file (a send's copy as it goes out, padding included; a
  // received file as it ends): its size and SHA-256.
  std::optional<std::int64_t> bytes;
  std::optional<std::string> sha256;
  // Blocks moved by this transfer, and blocks the far end already held.
  // While a send runs: -1 until the server holds all its blocks, then all
  // of them (Journal::AllBlocksHeld()). The row of a send whose process
  // died keeps that count, or none for -1.
  std::optional<std::int64_t> blocks;
  std::optional<std::int64_t> resumed_from;
  // "rvTrue", "rvFalse", "rvTimer", "rvCTS", "rvRefuse"; for a transfer
  // whose process died, "unknown" (a send on its line: the server may hold
  // all of it) or "interrupted"; absent while it runs.
  std::optional<std::string> result;
  std::string description;
  std::optional<std::int64_t> exit_status;
  // A send that the journal knew had gone, sent again with --again.
  bool again = false;
  // The process that writes it (ProcessIdentity.h).
  std::int64_t pid = 0;
  std::string process;
};

// What the row's result is now: its own, else "running" while its process
// runs, else what the row of a dead process stands for: "unknown" for a send
// that was on its line (its end is missing, not its data) unless its row
// says that the server never held its last block, "interrupted" for any
// other.
std::string ResultNow(const JournalRow& row);

// The row as one JSON object, its result as ResultNow() says.
std::string RowJson(const JournalRow& row);

}  // namespace xmodemq

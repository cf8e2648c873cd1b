#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "call/TransferPlan.h"
#include "commandline/Arguments.h"
#include "journal/Journal.h"
#include "journal/ResumeCheck.h"
#include "system/FileErrors.h"

namespace xmodemq {

// The journal is held by another process past its wait: nothing was dialled,
// a later try may find it free (the exchange's "try later").
class JournalBusy : public Refusal {
 public:
  using Refusal::Refusal;
};

// The journal's database cannot be reached: nothing was dialled (75).
class JournalUnreachable : public JournalBusy {
 public:
  using JournalBusy::JournalBusy;
};

// The record of a call's transfers: each one's row in the journal (unless
// --no-journal), written when the transfer starts and completed when it
// ends, and with --json its JSON object on `json_out` once it ended.
class TransferLog {
 public:
  // Opens the journal that the options choose, before anything is dialled,
  // and marks the rows of transfers whose process died. Throws Refusal.
  TransferLog(const Options& options, std::FILE* json_out);
  ~TransferLog();
  TransferLog(const TransferLog&) = delete;
  TransferLog& operator=(const TransferLog&) = delete;

  // Reserves the sends of `plans` in the journal, all or none, by its
  // never-twice rule (NeverTwice.h): a file that went (unless --again),
  // that may have gone (unless --again or --ask-server), or that another
  // process sends now, is refused, and so is the whole call. With
  // --skip-sent a file that went is left out instead: the plans left out,
  // with the row of their earlier send. Throws Refusal.
  std::vector<std::pair<const TransferPlan*, JournalRow>> Reserve(
      const std::vector<std::unique_ptr<TransferPlan>>& plans);

  // Writes the row of a transfer that starts on `line`; gives up waiting for
  // a journal another process holds once `stop_waiting` says so. Throws
  // JournalError.
  void Start(const TransferPlan& plan, const std::string& line,
             std::function<bool()> stop_waiting = {});
  // The journal's id of the last row Finish() completed, if it has one.
  std::optional<std::int64_t> LastRow() const { return last_row_; }
  // The journal's database went away during the call.
  bool DatabaseGone() const { return database_gone_; }
  // The server accepted it, with the blocks it holds already.
  void Accepted(std::int64_t position);
  // Whether the send that started goes only as far as the server's resume
  // position confirms (--ask-server after a send of unknown outcome).
  bool AskingServer() const { return asking_; }
  // When it does, and the row of that earlier send says that the server
  // held every block of it: when that send started.
  const std::optional<std::string>& EarlierHeldWhole() const { return earlier_whole_; }
  // The server holds `held` blocks of the send that started: once that is
  // all of them, its row says so on disk (Journal::AllBlocksHeld()). Throws
  // JournalError: the send must then stop before its end goes out.
  void Sent(const TransferPlan& plan, std::int64_t held);
  // What the journal says of the `held` blocks that the server holds of the
  // send that started.
  ResumeCheck CheckResume(const TransferPlan& plan, std::int64_t held) const;
  // Completes the row of the transfer that started, if any, and prints it
  // with --json. `bytes` and `sha256` replace what Start() knew when given.
  // When the journal could not write it, what that means, as a message: the
  // record is incomplete.
  std::optional<std::string> Finish(const std::string& result, const std::string& description,
                                    int exit_status, std::int64_t blocks,
                                    std::optional<std::int64_t> bytes = std::nullopt,
                                    std::optional<std::string> sha256 = std::nullopt);

 private:
  // The row that `plan` starts, before the journal has it.
  JournalRow RowFor(const TransferPlan& plan) const;

  const Options& options_;
  std::FILE* json_out_;
  std::unique_ptr<Journal> journal_;
  std::string call_id_;
  std::optional<JournalRow> row_;
  bool asking_ = false;
  std::optional<std::string> earlier_whole_;
  std::optional<std::int64_t> last_row_;
  // The reserved sends whose transfer has not started, and for each one that
  // asks the server first, the earlier send of unknown outcome; those left
  // at the end are released.
  std::map<const TransferPlan*, std::pair<JournalRow, std::optional<JournalRow>>> reserved_;
  bool database_gone_ = false;
};

// The result codes as the journal writes them ("rvTrue"...).
std::string ResultName(xmodemquarvel::ReturnValues result);

// A fresh id for the transfers of one call: 32 hexadecimal digits.
std::string NewCallId();

}  // namespace xmodemq

#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "call/Session.h"
#include "call/TransferLog.h"
#include "call/TransferPlan.h"
#include "commandline/Arguments.h"

namespace xmodemq {

// One call that carries a batch of transfers, in order. Run() reads as the
// call goes: check everything (the plans, the line texts, the server names,
// the devices, the journal) and reserve the sends in the journal (never
// twice) → the password → prepare
// each plan → dial (on the first line of the pool that opens) → for each
// plan: its journal row, its transfer, its commit → hang up. The first
// failure ends the batch; the exit status is that failure's. A send whose
// server holds blocks of another version of its file stops before any data
// move, and so does one of unknown outcome (--ask-server) that the server's
// position does not confirm. A journal that cannot note how a transfer ended
// makes the status 1 (the record is incomplete). Each file is committed as soon as its own transfer
// has ended well, so the files done before a failure stay done, and a signal that comes once a
// transfer has ended well stops the batch after that file, not before it.
class Call {
 public:
  Call(const Options& options, std::vector<std::unique_ptr<TransferPlan>> plans,
       SessionHost host = {});
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // The exit status. Throws Refusal and PasswordError before anything is
  // dialled, FileFailure when a file cannot be put in place.
  int Run();

  // After Run(): the plans that went on the line (each one's Ended() says how
  // it ended, if it was reached), the sends left out by --skip-sent with the
  // journal's row of their earlier send, and the line that served the call.
  const std::vector<std::unique_ptr<TransferPlan>>& Plans() const { return plans_; }
  const std::vector<std::pair<std::unique_ptr<TransferPlan>, JournalRow>>& Skipped() const {
    return skipped_;
  }
  std::string LineUsed() const;

 private:
  int RunPhases();
  // The phases, in the order Run() takes them; each returns the exit status
  // when the call stops there.
  void Check();
  std::optional<int> AskPassword();
  std::optional<int> Prepare();
  std::optional<int> Dial();
  std::optional<int> Transfer(TransferPlan& plan);
  std::optional<int> Commit(TransferPlan& plan);

  // The server accepted the transfer of current_.
  void OnAccepted(int64_t position);
  // The server holds `held` blocks of the send of current_.
  void OnBlockSent(int64_t held);
  // Once the server holds every block of a send, its row says so before the
  // send's end goes out; false (stopped_ set) when the journal cannot.
  bool NoteAllHeld(int64_t held);
  // Completes the row of a send that the server has already; `line_up`
  // after a refusal (the line stays up), not after an abort (it is down).
  std::optional<int> Taken(TransferPlan& plan, bool line_up);
  // The end of the batch after a failure of current_: hang up, the plan's
  // own words, the batch's summary.
  void Failed(xmodemquarvel::ReturnValues result);
  // The row of current_'s transfer that ended badly, with what a receive
  // keeps; and the row of one that ended well, with what it received.
  void Record(xmodemquarvel::ReturnValues result, const std::string& description, int status);
  void Finish(xmodemquarvel::ReturnValues result, const std::string& description, int status,
              const std::optional<TransferPlan::Content>& received);
  int BrokenOff();
  int StoppedBeforeCall();
  // A failure that the component reported by throwing.
  int Thrown(const std::string& message);

  const Options& options_;
  std::vector<std::unique_ptr<TransferPlan>> plans_;
  std::vector<std::pair<std::unique_ptr<TransferPlan>, JournalRow>> skipped_;
  SessionHost host_;
  std::vector<std::string> warnings_;
  std::optional<TransferLog> log_;
  std::string password_;
  // From the password on: a signal is noted, not fatal.
  std::optional<Session> session_;
  // The plan whose transfer runs, or the first one before the dial.
  TransferPlan* current_ = nullptr;
  // The line of the pool that serves the call.
  std::size_t line_ = 0;
  // The files done, for the summary of a batch that stopped.
  std::vector<std::string> done_;
  // Set when the command stops a send before its end, with why (for the
  // user, and for the journal): before any data, the server holds blocks of
  // another version, or does not confirm a send of unknown outcome, or has
  // it already (kTaken); before the end, the journal could not note that
  // the server holds every block.
  using Stop = TransferPlan::Stop;
  struct Stopped {
    Stop kind;
    std::string why;
    std::string description;
  };
  std::optional<Stopped> stopped_;
  // The server's status of a refusal of the transfer that runs.
  std::optional<int> refused_;
  // Set when the journal could not note how a transfer ended.
  bool incomplete_ = false;
};

// "2 fichiers sur 3 transférés : A, B": what a batch that stopped has done.
std::string BatchSummary(const std::vector<std::string>& done, std::size_t all);

}  // namespace xmodemq

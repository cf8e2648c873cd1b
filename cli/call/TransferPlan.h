#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "files/Sha256.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemq {

class Session;

// What one transfer of a call does, phase by phase, in the order a Call runs
// them: Check (nothing made yet), Prepare (once the password is known, before
// the dial), then on the line Run with Accepted when the server accepts, and
// after it either Received and Commit (ended well) or AfterFailure. One class
// per direction (cli/transfers/); the Call owns the plans for the whole call.
class TransferPlan {
 public:
  // What a receive holds once it ended well: its size and SHA-256.
  using Content = std::pair<int64_t, std::string>;

  explicit TransferPlan(std::string file) : file_(std::move(file)) {}
  virtual ~TransferPlan() = default;
  TransferPlan(const TransferPlan&) = delete;
  TransferPlan& operator=(const TransferPlan&) = delete;

  // The user's file, as messages and the journal name it.
  const std::string& File() const { return file_; }
  // "send" or "receive", as the journal writes it.
  virtual const char* Direction() const = 0;
  // "Envoi", "Réception": the progress label.
  virtual const char* Label() const = 0;
  // "lire" or "écrire": what the component does with Local(), for the
  // message of a file error it raises.
  virtual const char* FileAction() const = 0;
  // The path handed to the component: the user's file, a copy of it or a
  // partial file, always with the user's file's base name.
  virtual std::string Local() const = 0;
  // Blocks in all, when known before the transfer starts.
  virtual std::optional<int64_t> TotalBlocks() const { return std::nullopt; }
  // A send's digests, known once checked: what the journal keeps, and what
  // a server's resume is checked against.
  virtual const RecordDigests* Digests() const { return nullptr; }
  // Said once the transfer succeeded, before the block count.
  const std::string& Done() const { return done_; }

  // Why the command stopped a send itself, before its end went out.
  enum class Stop {
    kNone,
    // The server holds blocks of another version of the file.
    kOtherVersion,
    // A send of unknown outcome that the server's position does not confirm.
    kUnconfirmed,
    // The journal could not note that the server holds every block.
    kJournal,
    // The server has it already, as the journal confirms: ended well
    // without data.
    kTaken,
  };
  // How the transfer ended, once it has, as its journal row says it (the
  // row's id when the journal has one). Set by the Call.
  struct Ending {
    xmodemquarvel::ReturnValues result = xmodemquarvel::rvFalse;
    std::string description;
    std::optional<int64_t> row;
    // The server's verdict (StatusValues) of a refusal.
    std::optional<int> status = {};
    Stop stop = Stop::kNone;
  };
  const std::optional<Ending>& Ended() const { return ended_; }
  void SetEnded(Ending ending) { ended_ = std::move(ending); }
  // The server's refusals (by their StatusValues, svFileNotExists) after
  // which the call goes on with its next transfer rather than ending: a
  // fetch of a return that is not waiting. The line stays up after a refusal.
  void GoOnAfterRefusals(std::vector<int> statuses) { go_on_ = std::move(statuses); }
  bool GoesOnAfter(xmodemquarvel::ReturnValues result, std::optional<int> status) const;

  // Phase 1, before anything is made or dialled: the checks of this file.
  // Throws Refusal.
  virtual void Check() = 0;
  // Phase 2, once the password is known, before the dial: makes what the
  // transfer needs on disk, asking the session whether a signal came
  // meanwhile. Throws Refusal, FileFailure, and Interruption when stopped.
  virtual void Prepare(Session& session) = 0;
  // Phase 3, on the line: the component's transfer.
  virtual xmodemquarvel::ReturnValues Run(xmodemquarvel::ModuleXmodem& module,
                                          const std::string& user, const std::string& password,
                                          const std::string& pack_type) = 0;
  // When the server has accepted the transfer, with its position in blocks,
  // before any data move.
  virtual void Accepted(Session& session, int64_t position) = 0;
  // Phase 4a, once Run returned rvTrue (and the line is down after the last
  // file of a call): what the file holds, then the result put in place.
  // Throws FileFailure.
  virtual std::optional<Content> Received() { return std::nullopt; }
  // What to tell the user about the result put in place, if anything.
  virtual std::string Commit() { return {}; }
  // Phase 4b, after a failure or a break-off, with the component's result
  // (rvFalse for a file error): the bytes kept for the next run, then what is
  // left and how to go on.
  virtual std::optional<int64_t> Kept() { return std::nullopt; }
  virtual void AfterFailure(Session& session, xmodemquarvel::ReturnValues result) = 0;

 protected:
  std::string done_;

 private:
  std::string file_;
  std::optional<Ending> ended_;
  std::vector<int> go_on_;
};

// The server's status (StatusValues) in a refusal's description, if it is
// one: the component's words ("Transfert refusé, status 6") or the
// journal's decoded form ("... (status 6)").
std::optional<int> RefusalStatus(const std::string& description);

}  // namespace xmodemq

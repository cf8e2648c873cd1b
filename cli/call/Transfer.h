#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "call/Session.h"
#include "commandline/Arguments.h"
#include "files/Sha256.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemq {

// What differs between a send and a receive.
struct TransferKind {
  // "send" or "receive", as the journal writes it.
  std::string direction;
  // The user's file, as the batch's summary names it.
  std::string file;
  // "Envoi", "Réception": the progress label.
  std::string label;
  // The path handed to the component: the user's file, a padded copy of it or
  // a partial file, always with the user's file's base name.
  std::string local;
  // "lire" or "écrire": what the component does with `local`, for the message
  // of a file error it raises.
  std::string file_action;
  // Blocks in all, when known before the transfer starts.
  std::optional<int64_t> total_blocks;
  // A send's digests, known before anything is dialled: what the journal
  // keeps, and what a server's resume is checked against.
  std::optional<RecordDigests> digests;
  // A receive, once ended well and before its commit: the size and SHA-256
  // of the file received.
  std::function<std::pair<int64_t, std::string>()> received;
  // A receive after a failure: the bytes kept for the next run.
  std::function<int64_t()> kept;
  // The event that reports each block.
  std::function<void(int32_t&)> xmodemquarvel::ModuleXmodem::*event;
  std::function<xmodemquarvel::ReturnValues(xmodemquarvel::ModuleXmodem&,
                                            const std::string& password)>
      run;
  // Once the password is known, before anything is dialled: makes what the
  // transfer needs on disk, asking the session whether a signal came
  // meanwhile. Throws Refusal, FileFailure, and Interruption when stopped.
  std::function<void(Session&)> prepare;
  // When the server has accepted the transfer, with its position in blocks,
  // before any data move.
  std::function<void(Session&, int64_t position)> accepted;
  // Once the transfer has returned rvTrue (and the line is down after the
  // last file of a call): puts the result in place. Throws FileFailure.
  std::function<void()> commit;
  // After a failure or a break-off, with the component's result (rvFalse for
  // a file error): what is left and how to go on.
  std::function<void(Session&, xmodemquarvel::ReturnValues)> after_failure;
  // Said once the transfer succeeded, before the block count.
  std::string done;
};

// The line texts, the server names and the devices checked, the journal
// opened and no send already made, the password, each kind prepared,
// settings, Connect (on the first line of the pool that opens), each
// transfer in order until the first failure, each with its row in the
// journal, Disconnect; the exit status, of that failure if any. A send whose
// server holds blocks of another version of its file stops before any data
// move. Each file is committed as soon as its
// own transfer has ended well, so the files done before a failure stay done,
// and a signal that comes once a transfer has ended well stops the batch
// after that file, not before it. Throws Refusal and PasswordError before
// anything is dialled. `kinds` is a deque: the kinds' own callbacks hold on to
// them.
int RunTransfer(const Options& options, std::deque<TransferKind>& kinds, SessionHost host = {});

}  // namespace xmodemq

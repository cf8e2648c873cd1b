#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "journal/postgresql/PgConnection.h"

namespace xmodemq {

// One queue of files to send that every machine's lines serve, in the
// journal's PostgreSQL database (its tables are schema steps of PgSchema.cpp).
//
// A file is submitted once (its bytes kept in the database in chunks, so
// that memory stays the same whatever its size), then claimed by a worker in
// a short transaction that locks nothing another worker waits on (FOR UPDATE
// SKIP LOCKED): the claim sets the holder, a lease end of the database's
// now() + the lease, and a new generation, a number no other claim ever had.
// No transaction stays open during a call: the worker renews its lease
// between waits, and records the result under the generation that claimed
// the file. A result, a renewal or a release under an older generation (the
// lease ended and another worker took the file) changes nothing: it is
// refused, and the refusal is kept in the table queue_late with the holder
// that tried. A lease that ends frees the file for the next claim; the file
// then reaches "sent" at most once, whoever sends it.
//
// Lines are leased the same way, a row per line (LineKey()), so that two
// machines never dial out through one line at once. Returns received by any
// worker are kept once, and delivered once per destination.
//
// Every operation runs on the queue's own connection, in its own short
// transaction, and throws JournalError (journal/Journal.h): Unreachable()
// when the database cannot be reached or cannot do it now (try later).
// Times are the database's, so that the machines' clocks do not matter.

// A submission as the queue keeps it.
struct QueuedFile {
  std::int64_t id = 0;
  // The server account it goes to (a profile's `user`).
  std::string account;
  // The file's name, under which the server will know it.
  std::string name;
  std::string sha256;
  std::int64_t bytes = 0;
  // UTC, as Timestamps.h writes it.
  std::string submitted;
};

// A claim on a file: what the holder records its result under.
struct QueueClaim {
  QueuedFile file;
  std::int64_t generation = 0;
  // UTC: when the lease ends unless renewed.
  std::string lease_end;
  // Who held the file before this claim (its lease had ended), empty for
  // a file never claimed: this send may find part of it on the server
  // already, and resumes there once the digests agree.
  std::string previous_holder;
};

// A file to submit: its bytes are read from `fd` from where it stands to
// its end, in chunks.
struct QueueInput {
  std::string name;
  int fd = -1;
  // The size it was checked at, when it was: an input that reads otherwise
  // changed while it was submitted, and is refused.
  std::int64_t bytes = -1;
  // Where it comes from, when an outbox feeds the queue (a spool's file as
  // it stood: machine, path, inode, size, change time): an input whose
  // origin was submitted before is not stored again, its verdict says
  // `already`. Empty for a file handed by a person (submit).
  std::string origin = {};
};

// What Submit() did with one input.
struct SubmitVerdict {
  // The submission's id; 0 when refused.
  std::int64_t id = 0;
  std::string sha256;
  std::int64_t bytes = 0;
  // Empty when stored; else why not, in French ("déjà soumis le …").
  std::string refusal;
  // Stored before from the same origin: nothing was stored this time.
  bool already = false;
  // Refused because this name and content were submitted before (without
  // `again`): the queue has the file already.
  bool repeated = false;
};

// How a claimed file ended.
enum class QueueResult {
  // It went: the server holds it whole. Never claimed again.
  kSent,
  // It cannot go as it is (the server refused it for good, the file is
  // wrong): kept aside for a person, never claimed again.
  kHeld,
};

// A lease on a line.
struct LineLease {
  std::string key;
  std::int64_t generation = 0;
  std::string lease_end;
};

// A return received by some worker, kept in the database.
struct QueuedReturn {
  std::int64_t id = 0;
  std::string account;
  std::string name;
  std::string sha256;
  std::int64_t bytes = 0;
  std::string received;
};

// Who holds what now, and how deep the queue is: for `exchange status` on
// any machine.
struct QueueStatus {
  struct Held {
    // A file's name, or a line's key.
    std::string what;
    std::string holder;
    std::int64_t generation = 0;
    std::string lease_end;
    // The lease ended and no one took it since.
    bool ended = false;
  };
  // Waiting to be sent, claimed or not: count, bytes, the oldest's
  // submission (empty when none).
  std::int64_t waiting = 0;
  std::int64_t waiting_bytes = 0;
  std::string oldest;
  std::int64_t sent = 0;
  std::int64_t held = 0;
  // Late results refused (queue_late).
  std::int64_t late = 0;
  // The leases of files still waiting, and of lines, by holder.
  std::vector<Held> files;
  std::vector<Held> lines;
};

class PgQueue {
 public:
  // The size of a chunk of a file's bytes in the database.
  static constexpr std::size_t kChunk = 256 * 1024;

  // Connects to the journal's database at `address`, bringing the schema up
  // to date. `holder` names this worker in the leases it takes
  // (DefaultHolder()); `lease` is how long a claim holds without renewal.
  // Throws JournalError.
  static std::unique_ptr<PgQueue> Open(const std::string& address, const std::string& holder,
                                       std::chrono::milliseconds lease);
  // To read only (`exchange status`): nothing when the database holds no
  // queue yet. Throws JournalError.
  static std::unique_ptr<PgQueue> OpenToRead(const std::string& address);
  ~PgQueue();
  PgQueue(const PgQueue&) = delete;
  PgQueue& operator=(const PgQueue&) = delete;

  // This process on this machine, for people: "HOST pid N (BOOT START)".
  static std::string DefaultHolder();
  // The key of a line's lease: a remote line (rfc2217://…) by its address
  // (scheme and host in lower case), reached by every machine alike; a
  // local device by the machine (`machine`, /etc/machine-id's) and its path.
  static std::string LineKey(const std::string& device, const std::string& machine);
  // This machine's id (/etc/machine-id), else its host name.
  static std::string ThisMachine();

  const std::string& Holder() const { return holder_; }
  std::chrono::milliseconds Lease() const { return lease_; }

  // Stores every input for `account` in one transaction: all of them, or
  // none when one is refused (a verdict each). An input whose name and
  // SHA-256 were submitted before for the account is refused unless
  // `again`; so is an empty name. An input whose origin is in the queue
  // already gives that submission's verdict, `already`. Throws JournalError, and
  // std::system_error when an input cannot be read.
  std::vector<SubmitVerdict> Submit(const std::string& account,
                                    const std::vector<QueueInput>& inputs, bool again);

  // Claims up to `count` files of `account` that wait and that no lease
  // holds (never claimed, or its lease ended), oldest first, skipping those
  // that another claim is taking at this moment. Each gets this holder, a
  // lease end of now() + Lease() and a new generation.
  std::vector<QueueClaim> Claim(const std::string& account, int count);
  // Moves the lease end to now() + Lease(). False when the claim is no
  // longer this generation's (the file went to another worker, its result
  // is recorded, or it was released):
  // the holder must stop sending it. The refusal is kept in queue_late.
  bool Renew(QueueClaim& claim);
  // Records how the claim ended, under its generation only: a lease that
  // ended still records while no other claim took the file. False when the
  // claim is over (as Renew()): nothing is written but the refusal
  // in queue_late, and the caller logs it.
  bool Record(const QueueClaim& claim, QueueResult result, const std::string& description);
  // Gives the file back to the queue without a result (the call failed
  // before it went): the next claim takes it at once. False as Renew().
  bool Release(const QueueClaim& claim);
  // Writes the file's bytes to `fd` from its current offset, chunk by
  // chunk, and checks their count and SHA-256 against the submission's.
  // Throws JournalError when they differ or the file is gone, and
  // std::system_error when `fd` cannot be written.
  void Fetch(const QueuedFile& file, int fd);
  // Calls `sink` with each chunk of submission `id`'s bytes, in order.
  void ReadChunks(std::int64_t id, const std::function<void(std::string_view)>& sink);

  // Leases the line `key` (LineKey()) for Lease(): nothing when another
  // holder's lease on it has not ended.
  std::optional<LineLease> ClaimLine(const std::string& key);
  // As Renew() and Release(), for a line.
  bool RenewLine(LineLease& lease);
  bool ReleaseLine(const LineLease& lease);

  // Keeps a return received for `account`, read from `fd` from its current
  // offset, once: the same name and SHA-256 kept before gives that one's
  // id. Throws JournalError, std::system_error when `fd` cannot be read.
  std::int64_t StoreReturn(const std::string& account, const std::string& name, int fd);
  // The returns of `account` not yet delivered to `destination` (a folder's
  // absolute path, or any name a caller gives), oldest first.
  std::vector<QueuedReturn> Undelivered(const std::string& account, const std::string& destination);
  // As Fetch(), for a return.
  void FetchReturn(const QueuedReturn& file, int fd);
  // Notes that return `id` is safely in place at `destination` (written
  // after the file is). False when it was noted before.
  bool Delivered(std::int64_t id, const std::string& destination);

  // The queue of `account` now.
  QueueStatus Status(const std::string& account);

  // The session, for tests and the benchmark.
  PgConnection& Connection() { return *connection_; }

 private:
  PgQueue(std::unique_ptr<PgConnection> connection, std::string described, std::string holder,
          std::chrono::milliseconds lease);
  template <typename Work>
  auto Guard(const char* doing, Work work) -> decltype(work());
  // Keeps a refusal of a stale generation in queue_late.
  void Late(const std::string& what, std::int64_t generation, const std::string& action);

  std::unique_ptr<PgConnection> connection_;
  std::string described_;
  std::string holder_;
  std::chrono::milliseconds lease_;
};

}  // namespace xmodemq

#include "queue/PgQueue.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <system_error>
#include <tuple>

#include "files/Sha256.h"
#include "journal/Journal.h"
#include "journal/postgresql/PgError.h"
#include "journal/postgresql/PgSchema.h"
#include "system/ProcessIdentity.h"
#include "system/WriteAll.h"

namespace xmodemq {
namespace {

// The advisory lock (with the hash of account and name) under which a name
// is checked and stored: two submitters of one file take turns.
constexpr int kNameLock = 0x584D5151;  // "XMQQ"
// The first schema step that has the queue's tables.
constexpr int kQueueSchema = 2;

// A time of the database as Timestamps.h writes UTC.
std::string Utc(const std::string& column) {
  return "to_char(" + column + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')";
}

// The lease's end: the database's now() plus parameter $n, in milliseconds.
std::string LeaseEnd(int n) {
  return "now() + $" + std::to_string(n) + "::bigint * interval '1 millisecond'";
}

std::string ToHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "\\x";
  text.reserve(2 + 2 * bytes.size());
  for (const char c : bytes) {
    text.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
    text.push_back(kDigits[static_cast<unsigned char>(c) & 15]);
  }
  return text;
}

// The raw bytes of a bytea that the server sent as hex ("\x0102…").
std::string FromHex(const std::string& text) {
  std::string bytes;
  bytes.reserve(text.size() / 2);
  const auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 2; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<char>(value(text[i]) << 4 | value(text[i + 1])));
  return bytes;
}

// Stores what `fd` holds from its offset on as chunks of `owner` in
// `table`; its digest and size.
std::pair<std::string, std::int64_t> StoreChunks(PgConnection& db, const char* table,
                                                 std::int64_t owner, int fd) {
  Sha256 digest;
  std::string chunk(PgQueue::kChunk, '\0');
  std::int64_t total = 0;
  for (int seq = 0;; ++seq) {
    std::size_t have = 0;
    while (have < chunk.size()) {
      const ssize_t got = ::read(fd, chunk.data() + have, chunk.size() - have);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw std::system_error(errno, std::generic_category(), "read");
      if (got == 0) break;
      have += static_cast<std::size_t>(got);
    }
    if (have == 0) break;
    const std::string_view piece(chunk.data(), have);
    digest.Update(piece.data(), piece.size());
    total += static_cast<std::int64_t>(have);
    db.Execute(std::string("INSERT INTO ") + table + "(owner, seq, data) VALUES ($1, $2, $3)",
               {PgInt(owner), PgInt(seq), ToHex(piece)});
    if (have < chunk.size()) break;
  }
  return {Hex(digest.Peek()), total};
}

// Writes the chunks of `owner` to `fd` and checks them against the size and
// digest recorded.
void WriteChunks(PgConnection& db, const char* table, std::int64_t owner, std::int64_t bytes,
                 const std::string& sha256, int fd) {
  Sha256 digest;
  std::int64_t total = 0;
  for (int seq = 0;; ++seq) {
    const PgResult r =
        db.Execute(std::string("SELECT data FROM ") + table + " WHERE owner = $1 AND seq = $2",
                   {PgInt(owner), PgInt(seq)});
    if (r.Rows() == 0) break;
    const std::string piece = FromHex(r.Text(0, 0));
    digest.Update(piece.data(), piece.size());
    total += static_cast<std::int64_t>(piece.size());
    if (const int error = WriteAll(fd, piece))
      throw std::system_error(error, std::generic_category(), "write");
  }
  if (total != bytes || Hex(digest.Peek()) != sha256)
    throw PgError(PgError::Kind::kOther, "le contenu gardé (" + std::to_string(total) +
                                             " octets) n'est pas celui qui a été déposé (" +
                                             std::to_string(bytes) + " octets, SHA-256 " + sha256 +
                                             ")");
}

bool Yes(const PgResult& r, int row, int column) {
  return r.Text(row, column) == "t";
}

}  // namespace

template <typename Work>
auto PgQueue::Guard(const char* doing, Work work) -> decltype(work()) {
  try {
    return work();
  } catch (const PgError& e) {
    throw JournalError(
        "la file d'attente (" + described_ + ") ne peut pas " + doing + " : " + e.what(),
        e.TryLater() ? JournalError::Kind::kUnreachable : JournalError::Kind::kOther);
  }
}

PgQueue::PgQueue(std::unique_ptr<PgConnection> connection, std::string described,
                 std::string holder, std::chrono::milliseconds lease)
    : connection_(std::move(connection)),
      described_(std::move(described)),
      holder_(std::move(holder)),
      lease_(lease) {}

PgQueue::~PgQueue() = default;

namespace {

std::unique_ptr<PgConnection> Connect(const std::string& address) {
  try {
    return std::make_unique<PgConnection>(address);
  } catch (const PgError& e) {
    throw JournalError(
        std::string("la file d'attente ne peut pas être ouverte : ") + e.what(),
        e.TryLater() ? JournalError::Kind::kUnreachable : JournalError::Kind::kOther);
  }
}

}  // namespace

std::unique_ptr<PgQueue> PgQueue::Open(const std::string& address, const std::string& holder,
                                       std::chrono::milliseconds lease) {
  std::unique_ptr<PgQueue> queue(
      new PgQueue(Connect(address), DescribeAddress(address), holder, lease));
  queue->Guard("être ouverte", [&] { PgMigrateSchema(*queue->connection_, PgSchemaVersion()); });
  return queue;
}

std::unique_ptr<PgQueue> PgQueue::OpenToRead(const std::string& address) {
  std::unique_ptr<PgQueue> queue(
      new PgQueue(Connect(address), DescribeAddress(address), "", std::chrono::milliseconds(0)));
  const int version =
      queue->Guard("être lue", [&] { return PgReadSchemaVersion(*queue->connection_); });
  if (version < kQueueSchema) return nullptr;
  return queue;
}

std::string PgQueue::ThisMachine() {
  std::ifstream file("/etc/machine-id");
  std::string id;
  if (file >> id && !id.empty()) return id;
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  return host;
}

std::string PgQueue::DefaultHolder() {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  return std::string(host) + " pid " + std::to_string(::getpid()) + " (" + ThisProcess() + ")";
}

std::string PgQueue::LineKey(const std::string& device, const std::string& machine) {
  std::string key = device;
  constexpr std::string_view kScheme = "rfc2217://";
  if (key.size() > kScheme.size()) {
    std::string scheme = key.substr(0, kScheme.size());
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme == kScheme) {
      // The host (and port) up to the first '/', '?' or end: one line
      // whatever the case its name is written in.
      const std::size_t end = key.find_first_of("/?", kScheme.size());
      for (std::size_t i = 0; i < std::min(end, key.size()); ++i)
        key[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(key[i])));
      return key;
    }
  }
  return machine + ":" + device;
}

std::vector<SubmitVerdict> PgQueue::Submit(const std::string& account,
                                           const std::vector<QueueInput>& inputs, bool again) {
  return Guard("recevoir ces fichiers", [&] {
    PgConnection& db = *connection_;
    PgTransaction transaction(db);
    std::vector<SubmitVerdict> verdicts;
    bool refused = false;
    for (const QueueInput& input : inputs) {
      SubmitVerdict& verdict = verdicts.emplace_back();
      if (input.name.empty()) {
        verdict.refusal = "un fichier sans nom ne peut pas être déposé";
        refused = true;
        continue;
      }
      db.Execute("SELECT pg_advisory_xact_lock($1, hashtext($2))",
                 {PgInt(kNameLock), account + "/" + input.name});
      const PgParam origin = input.origin.empty() ? std::nullopt : PgParam(input.origin);
      if (origin) {
        const PgResult known = db.Execute(
            "SELECT id, sha256, bytes FROM queue_files WHERE account = $1 AND origin = $2",
            {account, origin});
        if (known.Rows() > 0) {
          verdict = {known.Int(0, 0), known.Text(0, 1), known.Int(0, 2), "", true};
          continue;
        }
      }
      const std::int64_t id =
          db.Execute(
                "INSERT INTO queue_files(account, name, sha256, bytes, again, origin) "
                "VALUES ($1, $2, '', 0, $3, $4) RETURNING id",
                {account, input.name, again ? "t" : "f", origin})
              .Int(0, 0);
      std::tie(verdict.sha256, verdict.bytes) = StoreChunks(db, "queue_chunks", id, input.fd);
      const PgResult before =
          db.Execute("SELECT " + Utc("submitted") +
                         " FROM queue_files WHERE account = $1 AND name = $2 AND sha256 = $3 "
                         "AND id <> $4 ORDER BY id DESC LIMIT 1",
                     {account, input.name, verdict.sha256, PgInt(id)});
      if (input.bytes >= 0 && input.bytes != verdict.bytes) {
        verdict.refusal = "a changé pendant son dépôt (" + std::to_string(input.bytes) +
                          " octets vérifiés, " + std::to_string(verdict.bytes) + " lus)";
        refused = true;
        continue;
      }
      if (before.Rows() > 0 && !again) {
        verdict.refusal = "déjà déposé le " + before.Text(0, 0) +
                          " sous ce nom avec ce contenu (SHA-256 " + verdict.sha256 +
                          ") : --again pour le déposer de nouveau";
        verdict.repeated = true;
        refused = true;
        continue;
      }
      db.Execute("UPDATE queue_files SET sha256 = $2, bytes = $3 WHERE id = $1",
                 {PgInt(id), verdict.sha256, PgInt(verdict.bytes)});
      verdict.id = id;
    }
    if (refused) {
      for (SubmitVerdict& verdict : verdicts) verdict.id = 0;
      return verdicts;
    }
    transaction.Commit();
    return verdicts;
  });
}

std::vector<QueueClaim> PgQueue::Claim(const std::string& account, int count) {
  return Guard("attribuer de fichier", [&] {
    const PgResult r = connection_->Execute(
        "UPDATE queue_files q SET holder = $1, lease_end = " + LeaseEnd(4) +
            ", "
            "generation = nextval('queue_generations') "
            "FROM (SELECT id, holder FROM queue_files WHERE account = $2 "
            "AND state = 'waiting' AND (lease_end IS NULL OR lease_end <= now()) "
            "ORDER BY id LIMIT $3 FOR UPDATE SKIP LOCKED) picked "
            "WHERE q.id = picked.id RETURNING q.id, q.account, q.name, q.sha256, q.bytes, " +
            Utc("q.submitted") + ", q.generation, " + Utc("q.lease_end") +
            ", coalesce(picked.holder, '')",
        {holder_, account, PgInt(count), PgInt(lease_.count())});
    std::vector<QueueClaim> claims;
    for (int i = 0; i < r.Rows(); ++i)
      claims.push_back(
          {{r.Int(i, 0), r.Text(i, 1), r.Text(i, 2), r.Text(i, 3), r.Int(i, 4), r.Text(i, 5)},
           r.Int(i, 6),
           r.Text(i, 7),
           r.Text(i, 8)});
    std::sort(claims.begin(), claims.end(),
              [](const QueueClaim& a, const QueueClaim& b) { return a.file.id < b.file.id; });
    return claims;
  });
}

void PgQueue::Late(const std::string& what, std::int64_t generation, const std::string& action) {
  connection_->Execute(
      "INSERT INTO queue_late(what, generation, holder, action) VALUES ($1, $2, $3, $4)",
      {what, PgInt(generation), holder_, action});
}

bool PgQueue::Renew(QueueClaim& claim) {
  return Guard("prolonger un bail", [&] {
    const PgResult r = connection_->Execute(
        "UPDATE queue_files SET lease_end = " + LeaseEnd(3) +
            " WHERE id = $1 AND generation = $2 AND state = 'waiting' AND lease_end IS NOT NULL "
            "RETURNING " +
            Utc("lease_end"),
        {PgInt(claim.file.id), PgInt(claim.generation), PgInt(lease_.count())});
    if (r.Rows() == 0) {
      Late("fichier " + std::to_string(claim.file.id), claim.generation, "prolonger");
      return false;
    }
    claim.lease_end = r.Text(0, 0);
    return true;
  });
}

bool PgQueue::Record(const QueueClaim& claim, QueueResult result, const std::string& description) {
  return Guard("noter un résultat", [&] {
    PgTransaction transaction(*connection_);
    const bool sent = result == QueueResult::kSent;
    const PgResult r = connection_->Execute(
        "UPDATE queue_files SET state = $3, description = $4, lease_end = NULL, ended = now() "
        "WHERE id = $1 AND generation = $2 AND state = 'waiting' AND lease_end IS NOT NULL "
        "RETURNING id",
        {PgInt(claim.file.id), PgInt(claim.generation), sent ? "sent" : "held", description});
    if (r.Rows() == 0) {
      Late("fichier " + std::to_string(claim.file.id), claim.generation,
           sent ? "envoyé" : "retenu");
    } else if (sent) {
      // What went is no longer needed: its name and digest stay.
      connection_->Execute("DELETE FROM queue_chunks WHERE owner = $1", {PgInt(claim.file.id)});
    }
    transaction.Commit();
    return r.Rows() > 0;
  });
}

bool PgQueue::Release(const QueueClaim& claim) {
  return Guard("rendre un fichier", [&] {
    const PgResult r = connection_->Execute(
        "UPDATE queue_files SET lease_end = NULL WHERE id = $1 AND generation = $2 "
        "AND state = 'waiting' AND lease_end IS NOT NULL RETURNING id",
        {PgInt(claim.file.id), PgInt(claim.generation)});
    if (r.Rows() == 0) Late("fichier " + std::to_string(claim.file.id), claim.generation, "rendre");
    return r.Rows() > 0;
  });
}

void PgQueue::Fetch(const QueuedFile& file, int fd) {
  Guard("lire un fichier",
        [&] { WriteChunks(*connection_, "queue_chunks", file.id, file.bytes, file.sha256, fd); });
}

void PgQueue::ReadChunks(std::int64_t id, const std::function<void(std::string_view)>& sink) {
  Guard("lire un fichier", [&] {
    for (int seq = 0;; ++seq) {
      const PgResult r = connection_->Execute(
          "SELECT data FROM queue_chunks WHERE owner = $1 AND seq = $2", {PgInt(id), PgInt(seq)});
      if (r.Rows() == 0) return;
      sink(FromHex(r.Text(0, 0)));
    }
  });
}

std::optional<LineLease> PgQueue::ClaimLine(const std::string& key) {
  return Guard("attribuer de ligne", [&]() -> std::optional<LineLease> {
    const PgResult r = connection_->Execute(
        "INSERT INTO queue_lines AS l(key, holder, lease_end, generation) VALUES ($1, $2, " +
            LeaseEnd(3) +
            ", nextval('queue_generations')) "
            "ON CONFLICT (key) DO UPDATE SET holder = excluded.holder, "
            "lease_end = excluded.lease_end, generation = excluded.generation "
            "WHERE l.lease_end IS NULL OR l.lease_end <= now() RETURNING generation, " +
            Utc("lease_end"),
        {key, holder_, PgInt(lease_.count())});
    if (r.Rows() == 0) return std::nullopt;
    return LineLease{key, r.Int(0, 0), r.Text(0, 1)};
  });
}

bool PgQueue::RenewLine(LineLease& lease) {
  return Guard("prolonger un bail", [&] {
    const PgResult r = connection_->Execute(
        "UPDATE queue_lines SET lease_end = " + LeaseEnd(3) +
            " WHERE key = $1 AND generation = $2 AND lease_end IS NOT NULL RETURNING " +
            Utc("lease_end"),
        {lease.key, PgInt(lease.generation), PgInt(lease_.count())});
    if (r.Rows() == 0) {
      Late("ligne " + lease.key, lease.generation, "prolonger");
      return false;
    }
    lease.lease_end = r.Text(0, 0);
    return true;
  });
}

bool PgQueue::ReleaseLine(const LineLease& lease) {
  return Guard("rendre une ligne", [&] {
    const PgResult r = connection_->Execute(
        "UPDATE queue_lines SET lease_end = NULL WHERE key = $1 AND generation = $2 "
        "AND lease_end IS NOT NULL RETURNING key",
        {lease.key, PgInt(lease.generation)});
    if (r.Rows() == 0) Late("ligne " + lease.key, lease.generation, "rendre");
    return r.Rows() > 0;
  });
}

std::int64_t PgQueue::StoreReturn(const std::string& account, const std::string& name, int fd) {
  return Guard("garder un retour", [&] {
    PgConnection& db = *connection_;
    PgTransaction transaction(db);
    db.Execute("SELECT pg_advisory_xact_lock($1, hashtext($2))",
               {PgInt(kNameLock + 1), account + "/" + name});
    const std::int64_t id = db.Execute(
                                  "INSERT INTO queue_returns(account, name, sha256, bytes, holder) "
                                  "VALUES ($1, $2, '', 0, $3) RETURNING id",
                                  {account, name, holder_})
                                .Int(0, 0);
    const auto [sha256, bytes] = StoreChunks(db, "queue_return_chunks", id, fd);
    const PgResult before =
        db.Execute("SELECT id FROM queue_returns WHERE account = $1 AND name = $2 AND sha256 = $3",
                   {
                       account,
                       name,
                       sha256,
                   });
    // Kept before: this copy goes with the transaction.
    if (before.Rows() > 0) return before.Int(0, 0);
    db.Execute("UPDATE queue_returns SET sha256 = $2, bytes = $3 WHERE id = $1",
               {PgInt(id), sha256, PgInt(bytes)});
    transaction.Commit();
    return id;
  });
}

std::vector<QueuedReturn> PgQueue::Undelivered(const std::string& account,
                                               const std::string& destination) {
  return Guard("lire les retours", [&] {
    const PgResult r = connection_->Execute(
        "SELECT id, account, name, sha256, bytes, " + Utc("received") +
            " FROM queue_returns r WHERE account = $1 AND NOT EXISTS (SELECT 1 FROM "
            "queue_deliveries d WHERE d.return_id = r.id AND d.destination = $2) ORDER BY id",
        {account, destination});
    std::vector<QueuedReturn> returns;
    for (int i = 0; i < r.Rows(); ++i)
      returns.push_back(
          {r.Int(i, 0), r.Text(i, 1), r.Text(i, 2), r.Text(i, 3), r.Int(i, 4), r.Text(i, 5)});
    return returns;
  });
}

void PgQueue::FetchReturn(const QueuedReturn& file, int fd) {
  Guard("lire un retour", [&] {
    WriteChunks(*connection_, "queue_return_chunks", file.id, file.bytes, file.sha256, fd);
  });
}

bool PgQueue::Delivered(std::int64_t id, const std::string& destination) {
  return Guard("noter une remise", [&] {
    return connection_
               ->Execute(
                   "INSERT INTO queue_deliveries(return_id, destination) VALUES ($1, $2) "
                   "ON CONFLICT DO NOTHING RETURNING return_id",
                   {PgInt(id), destination})
               .Rows() > 0;
  });
}

QueueStatus PgQueue::Status(const std::string& account) {
  return Guard("être lue", [&] {
    PgConnection& db = *connection_;
    // One snapshot for every count and lease.
    PgTransaction transaction(db);
    db.Execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ READ ONLY");
    QueueStatus status;
    const PgResult counts = db.Execute(
        "SELECT count(*) FILTER (WHERE state = 'waiting'), "
        "coalesce(sum(bytes) FILTER (WHERE state = 'waiting'), 0), "
        "coalesce(" +
            Utc("min(submitted) FILTER (WHERE state = 'waiting')") +
            ", ''), count(*) FILTER (WHERE state = 'sent'), "
            "count(*) FILTER (WHERE state = 'held') FROM queue_files WHERE account = $1",
        {account});
    status.waiting = counts.Int(0, 0);
    status.waiting_bytes = counts.Int(0, 1);
    status.oldest = counts.Text(0, 2);
    status.sent = counts.Int(0, 3);
    status.held = counts.Int(0, 4);
    status.late = db.Execute("SELECT count(*) FROM queue_late").Int(0, 0);
    const auto held = [&](const std::string& sql, std::vector<QueueStatus::Held>& into,
                          const std::vector<PgParam>& params) {
      const PgResult r = db.Execute(sql, params);
      for (int i = 0; i < r.Rows(); ++i)
        into.push_back({r.Text(i, 0), r.Text(i, 1), r.Int(i, 2), r.Text(i, 3), Yes(r, i, 4)});
    };
    held("SELECT name, holder, generation, " + Utc("lease_end") +
             ", lease_end <= now() FROM queue_files WHERE account = $1 AND state = 'waiting' "
             "AND lease_end IS NOT NULL ORDER BY holder, id",
         status.files, {account});
    held("SELECT key, holder, generation, " + Utc("lease_end") +
             ", lease_end <= now() FROM queue_lines WHERE lease_end IS NOT NULL ORDER BY holder, "
             "key",
         status.lines, {});
    transaction.Commit();
    return status;
  });
}

}  // namespace xmodemq

#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "files/HeldFolder.h"
#include "system/UniqueFd.h"

namespace xmodemq {

// Who holds a profile's lock: its process and since when (a journal time).
struct LockHolder {
  long long pid = 0;
  std::string started;
  std::string profile;
  // "le processus 1234 (depuis le 2024-05-02 19:00:03, profil /etc/...)".
  std::string Text() const;
};

// Another run of the same profile holds the lock: try later.
class LockBusy : public std::runtime_error {
 public:
  explicit LockBusy(LockHolder holder);
  const LockHolder& Holder() const { return holder_; }

 private:
  LockHolder holder_;
};

// One run at a time per profile: an flock on SPOOL/.verrou, which names its
// holder inside. The system lets it go with the process, however the
// process ends (kill -9, a power cut), so a lock is never left stale.
class ExchangeLock {
 public:
  static constexpr const char* kName = ".verrou";

  // Takes the lock of the spool open as `spool`, its file of `mode` (0640:
  // `exchange status` run by a member of a shared spool's group sees who
  // holds it). Throws LockBusy when another run holds it, FileFailure when it
  // cannot be made.
  ExchangeLock(const HeldFolder& spool, const std::string& profile, mode_t mode);

  // Who holds the lock now, without taking it nor changing anything:
  // nothing when no run holds it.
  static std::optional<LockHolder> Holder(const HeldFolder& spool);

 private:
  UniqueFd fd_;
};

}  // namespace xmodemq

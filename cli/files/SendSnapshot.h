#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "files/HeldFolder.h"
#include "files/Sha256.h"
#include "system/UniqueFd.h"

namespace xmodemq {

// A file to send as the checks found it: open, with its size and the time of
// its last change.
struct CheckedFile {
  std::string path;
  UniqueFd fd;
  int64_t size = 0;
  struct timespec changed {};
};

// Where the caller's `pad` comes from, for a refusal to name it: the send
// command's --pad, or the exchange profile's key.
enum class PadFrom { kOption, kProfile };

// Opens and checks a file that a send may take: a regular, readable,
// non-empty file of whole records (kRecord bytes), or of any size when `pad` is
// given. Throws Refusal.
CheckedFile CheckSendFile(const std::string& path, bool pad, PadFrom from = PadFrom::kOption);

// The digests of what a send of a checked file takes: its bytes, filled
// with spaces to whole records. Read through the descriptor the checks
// opened. Throws FileFailure.
RecordDigests DigestSendFile(const CheckedFile& file);

// What a send takes: a private copy of a checked file, read through the
// descriptor that the checks opened, under the same file name (the server
// files it under its base name) in a folder of its own under $TMPDIR (0700,
// the copy 0600), filled with spaces to whole records when `pad`. A file
// that changed since it was checked is refused; what goes out is what was
// checked (and digested: `sha256`, hexadecimal), whatever happens to the
// file during the call. Both go with the object; the folder is locked
// (flock) for as long as it lives, so that one left by a process that died
// is known for what it is.
class SendSnapshot {
 public:
  // Removes the caller's snapshot folders under $TMPDIR that no process
  // holds any more (left by a kill -9, a power cut): by owner, name, mode,
  // age (unchanged for a minute) and lock, never another user's nor one in
  // use.
  static void RemoveStale();

  // `stop` is asked between pieces of the copy: when it says so, the copy is
  // removed and Interruption thrown. Throws Refusal when the file changed,
  // FileFailure when the copy cannot be made.
  SendSnapshot(const CheckedFile& file, const std::string& sha256,
               const std::function<bool()>& stop);
  ~SendSnapshot();
  SendSnapshot(const SendSnapshot&) = delete;
  SendSnapshot& operator=(const SendSnapshot&) = delete;

  const std::string& Path() const { return path_; }

 private:
  void Fill(const CheckedFile& file, const std::string& sha256, int out,
            const std::function<bool()>& stop);
  void Remove();

  std::optional<HeldFolder> folder_;
  std::string name_;
  std::string path_;
};

}  // namespace xmodemq

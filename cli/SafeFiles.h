#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace xmodemq {

// Checks made before a call is dialled or a file written. Each throws Refusal
// with a message that says what is wrong and what to do.

// The size of a file that a send may take: a regular, readable, non-empty
// file of whole 128-byte records, or of any size when `pad` is given.
int64_t CheckSendFile(const std::string& path, bool pad);

// A text that travels in a field of `width` bytes of the opening record, in
// the line's code page: refused when a character cannot be carried (the
// component would send '?'); a warning added when the field will cut it.
// `what` names it ("l'identifiant"); a `secret` text is never shown.
void CheckLineText(const std::string& what, const std::string& text, std::size_t width, bool secret,
                   std::vector<std::string>& warnings);

// The name under which the server knows a file ("FACT0001" for
// /data/FACT0001.TXT), refused when empty; a warning when the record cuts it.
std::string CheckServerName(const std::string& path, std::vector<std::string>& warnings);

// "5 242 896": digits in groups of three.
std::string GroupDigits(int64_t value);

// The file that a receive writes, DIR/.xmodemq-partiel/NAME for the target
// DIR/NAME: the same base name, so the server is asked for the same file,
// and one partial file per target. It is locked for as long as the object
// lives, so a second receive of the same target is refused; it is renamed
// to the target only by Commit(), so the target never holds a mix nor half a
// file. What it holds after a cut is resumed by the next receive.
class PartialFile {
 public:
  static constexpr const char* kFolder = ".xmodemq-partiel";

  // Refuses a target whose folder is missing or not writable, a target that
  // is a folder, an existing target unless `replace`. Creates nothing.
  PartialFile(const std::string& target, bool replace);
  // Opens (or creates) and locks the partial file. Refuses one that a running
  // receive holds or that is not made of whole blocks.
  void Open();
  // An empty partial file goes, and its folder when nothing else is in it.
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  const std::string& Path() const { return path_; }
  // The whole blocks it holds now.
  int64_t Blocks() const;
  // After a failure: a block written in part is cut off, so that the next
  // receive resumes on a block boundary.
  void KeepWholeBlocks();
  // Puts the received file in place of the target. Throws FileFailure.
  void Commit();

 private:
  void RemoveIfEmpty();

  std::string target_;
  std::string folder_;
  std::string path_;
  xmodemquarvel::UniqueFd fd_;
  bool committed_ = false;
};

// A copy of a file filled with spaces to a whole number of 128-byte records,
// under the same file name (the server files it under its base name) in a
// private temporary folder; both go with the object. Throws FileFailure.
class PaddedCopy {
 public:
  PaddedCopy(const std::string& source, int64_t size);
  ~PaddedCopy();
  PaddedCopy(const PaddedCopy&) = delete;
  PaddedCopy& operator=(const PaddedCopy&) = delete;

  const std::string& Path() const { return path_; }

 private:
  void Fill(const std::string& source, int64_t size);
  void Remove();

  std::string folder_;
  std::string path_;
};

// A file written beside its target under a temporary name and renamed over
// it once complete: a failure leaves an existing target as it was and no
// partial output. The temporary file goes with the object unless committed.
class ReplaceOnSuccess {
 public:
  // Refuses a target that is a folder or whose folder cannot take a file.
  explicit ReplaceOnSuccess(const std::string& target);
  ~ReplaceOnSuccess();
  ReplaceOnSuccess(const ReplaceOnSuccess&) = delete;
  ReplaceOnSuccess& operator=(const ReplaceOnSuccess&) = delete;

  const std::string& Path() const { return path_; }
  // Gives it the target's permissions (a new file's when there was none) and
  // renames it over the target. Throws FileFailure.
  void Commit();

 private:
  std::string target_;
  std::string path_;
  bool committed_ = false;
};

// Creates or replaces `path` with `bytes`, on disk when it returns. Throws
// FileFailure.
void WriteWholeFile(const std::string& path, const std::string& bytes);

// The folder part of a path ("." for a bare name) and its last component.
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

}  // namespace xmodemq

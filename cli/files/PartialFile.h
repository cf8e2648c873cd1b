#pragma once

#include <cassert>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "files/HeldFolder.h"
#include "system/UniqueFd.h"

namespace xmodemq {

// When a partial file left by an earlier receive may be resumed without a
// word: it was started for the same user on the same server, not longer ago
// than `max_age`. `resume_old` resumes it whatever it is.
struct ResumePolicy {
  std::string user;
  std::chrono::seconds max_age = std::chrono::hours(24);
  bool resume_old = false;
};

// The file that a receive writes, DIR/.xmodemq-partiel/NAME for the target
// DIR/NAME: the same base name, so the server is asked for the same file,
// and one partial file per target. Beside it, .xmodemq-partiel/.origine/NAME
// says when, for whom and from which server it was started. Both folders are
// the user's own (0700), the file is 0600 and locked for as long as the
// object lives, so a second receive of the same target is refused. Every
// name is used relative to the folders opened and checked at the start, and
// the file only through the descriptor opened then. It is renamed to the
// target only by Commit(), so the target never holds a mix nor half a file.
// What it holds after a cut is resumed by the next receive.
class PartialFile {
 public:
  static constexpr const char* kFolder = ".xmodemq-partiel";
  static constexpr const char* kOrigins = ".origine";

  // Refuses a target whose folder is missing or not writable, a target that
  // is a folder, a symbolic link, a device or a FIFO, an existing target
  // unless `replace`. Creates nothing.
  PartialFile(const std::string& target, bool replace);
  // Opens (or creates) and locks the partial file. Refuses a folder or file
  // that is not the user's alone, one that a running receive holds, one that
  // is not made of whole blocks, and one whose origin `policy` does not let
  // resume silently.
  void Open(const ResumePolicy& policy);
  // An empty partial file goes, and its folders when nothing else is in them.
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  const std::string& Path() const { return path_; }
  // The open partial file, for the component to write through.
  int Descriptor() const {
    // The file is locked before anything is written to it: a second receive
    // of the same target can never write beside this one.
    assert(locked_);
    return fd_.Get();
  }
  // The whole blocks it holds now.
  int64_t Blocks() const;
  // After a failure: a block written in part is cut off, so that the next
  // receive resumes on a block boundary.
  void KeepWholeBlocks();
  // Puts the received file on disk and in place of the target: without
  // `replace` a target that appeared meanwhile is never replaced (the
  // partial file then stays); with it the target's permission bits are kept.
  // Throws FileFailure.
  void Commit();

 private:
  void CheckOrigin(const ResumePolicy& policy) const;
  void WriteOrigin(const std::string& user) const;
  void Cleanup();

  std::string target_;
  std::string name_;
  bool replace_;
  HeldFolder folder_;
  std::optional<HeldFolder> partial_folder_;
  std::optional<HeldFolder> origins_;
  std::string path_;
  UniqueFd fd_;
  bool locked_ = false;
  bool committed_ = false;
};

// "3 j 4 h", "2 h 05 min", "12 min", "40 s".
std::string DurationText(std::chrono::seconds duration);

}  // namespace xmodemq

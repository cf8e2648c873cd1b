#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace xmodemquarvel::sim {

// Where the server keeps its files, by base name (the bytes of the record's
// name field, in the line's code page).
class ServerStore {
 public:
  virtual ~ServerStore() = default;
  virtual bool Exists(const std::string& name) = 0;
  // Whether a file of that name may be stored: a name that stands for
  // something else than a file may not.
  virtual bool Takes(const std::string&) { return true; }
  virtual std::int64_t Blocks(const std::string& name) = 0;
  virtual std::string Block(const std::string& name, std::int64_t index) = 0;
  // Keeps the first `blocks` blocks (creates an empty file when missing).
  // The file is no longer one the server took in.
  virtual void Truncate(const std::string& name, std::int64_t blocks) = 0;
  virtual void Append(const std::string& name, std::string_view block) = 0;
  // A send's end arrived: the server took the file in. It serves it, and
  // holds nothing of it for a later send to resume: only the blocks of a
  // send that did not end are kept for that.
  virtual void TakeIn(const std::string& name) = 0;
  virtual bool TakenIn(const std::string& name) = 0;

  // Whether the server stores or serves a file under `name` at all: a name
  // that is empty, hidden (".profile"), holds a path ('/' or '\') or a byte
  // that no file name should hold (NUL, a control character) reaches outside
  // its files, or could not be a file's name.
  static bool StorableName(std::string_view name);
};

// Files in memory.
std::unique_ptr<ServerStore> MemoryStore();
// Files in the folder open on `folder` (the store keeps a descriptor of its
// own): every name is looked up in that folder, never through a symbolic
// link, and only regular files are served or written; files are created
// 0600 whatever the umask. A file taken in is made read-only (0400), so
// that several servers on one folder, and a person who lists it, tell it
// from the blocks of a send that did not end.
std::unique_ptr<ServerStore> FolderStore(int folder);

}  // namespace xmodemquarvel::sim

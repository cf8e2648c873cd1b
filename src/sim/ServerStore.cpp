#include "sim/ServerStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "component/CodePage.h"
#include "platform/UniqueFd.h"
#include "platform/WriteAll.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::sim {
namespace {

constexpr std::size_t kBlock = protocol::kDataSize;

class Memory final : public ServerStore {
 public:
  bool Exists(const std::string& name) override { return files_.count(name) != 0; }
  std::int64_t Blocks(const std::string& name) override {
    const auto it = files_.find(name);
    return it == files_.end() ? 0 : static_cast<std::int64_t>(it->second.size() / kBlock);
  }
  std::string Block(const std::string& name, std::int64_t index) override {
    return files_.at(name).substr(static_cast<std::size_t>(index) * kBlock, kBlock);
  }
  void Truncate(const std::string& name, std::int64_t blocks) override {
    std::string& content = files_[name];
    content.resize(std::min(content.size(), static_cast<std::size_t>(blocks) * kBlock));
    taken_.erase(name);
  }
  void Append(const std::string& name, std::string_view block) override {
    files_[name].append(block);
  }
  void TakeIn(const std::string& name) override {
    if (Exists(name)) taken_.insert(name);
  }
  bool TakenIn(const std::string& name) override { return taken_.count(name) != 0; }

 private:
  std::map<std::string, std::string> files_;
  std::set<std::string> taken_;
};

class Folder final : public ServerStore {
 public:
  explicit Folder(int folder) : folder_(::fcntl(folder, F_DUPFD_CLOEXEC, 0)) {}
  bool Exists(const std::string& name) override {
    struct stat st {};
    return Look(name, st) && S_ISREG(st.st_mode);
  }
  bool Takes(const std::string& name) override {
    struct stat st {};
    return StorableName(name) && (!Look(name, st) || S_ISREG(st.st_mode));
  }
  std::int64_t Blocks(const std::string& name) override {
    struct stat st {};
    return Look(name, st) && S_ISREG(st.st_mode) ? st.st_size / static_cast<off_t>(kBlock) : 0;
  }
  std::string Block(const std::string& name, std::int64_t index) override {
    std::string block(kBlock, '\0');
    const UniqueFd fd = Open(name, O_RDONLY);
    const ssize_t n = fd ? ::pread(fd.Get(), block.data(), kBlock,
                                   static_cast<off_t>(index * static_cast<std::int64_t>(kBlock)))
                         : 0;
    block.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    block.resize(kBlock, '\0');
    return block;
  }
  void Truncate(const std::string& name, std::int64_t blocks) override {
    // Writable again first: a file taken in is read-only.
    if (const UniqueFd taken = Open(name, O_RDONLY)) ::fchmod(taken.Get(), 0600);
    UniqueFd fd = Open(name, O_WRONLY | O_CREAT | O_EXCL);
    if (fd) ::fchmod(fd.Get(), 0600);
    if (!fd) fd = Open(name, O_WRONLY);
    struct stat st {};
    const auto want = static_cast<off_t>(blocks * static_cast<std::int64_t>(kBlock));
    if (fd && ::fstat(fd.Get(), &st) == 0 && st.st_size > want) (void)!::ftruncate(fd.Get(), want);
  }
  void Append(const std::string& name, std::string_view block) override {
    if (const UniqueFd fd = Open(name, O_WRONLY | O_APPEND)) (void)WriteAll(fd.Get(), block);
  }
  void TakeIn(const std::string& name) override {
    if (const UniqueFd fd = Open(name, O_RDONLY)) ::fchmod(fd.Get(), 0400);
  }
  bool TakenIn(const std::string& name) override {
    struct stat st {};
    return Look(name, st) && S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0400;
  }

 private:
  // The file's name in the folder: the record's bytes as UTF-8.
  bool Look(const std::string& name, struct stat& st) const {
    return StorableName(name) &&
           ::fstatat(folder_.Get(), Cp1252ToUtf8(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  }
  // A regular file of the folder, never reached through a link.
  UniqueFd Open(const std::string& name, int flags) const {
    if (!StorableName(name)) return UniqueFd();
    UniqueFd fd(::openat(folder_.Get(), Cp1252ToUtf8(name).c_str(),
                         flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600));
    struct stat st {};
    if (fd && (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))) fd.Reset();
    return fd;
  }

  UniqueFd folder_;
};

}  // namespace

bool ServerStore::StorableName(std::string_view name) {
  return !name.empty() && name[0] != '.' && std::none_of(name.begin(), name.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F || c == '/' || c == '\\';
  });
}

std::unique_ptr<ServerStore> MemoryStore() {
  return std::make_unique<Memory>();
}

std::unique_ptr<ServerStore> FolderStore(int folder) {
  return std::make_unique<Folder>(folder);
}

}  // namespace xmodemquarvel::sim

#include "exchange/Returns.h"

#include <fcntl.h>

#include "files/Sha256.h"
#include "journal/Journal.h"
#include "record/ServerNames.h"
#include "system/FileErrors.h"
#include "system/ServerNumber.h"
#include "system/UniqueFd.h"

namespace xmodemq {
namespace {

std::string Sha256Of(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) throw FileFailure(FileError("lire", path, errno));
  return Sha256OfDescriptor(fd.Get());
}

// NAME, or NAME.N: a file of inbox/ that a return of NAME was filed as.
bool FiledAs(const std::string& file, const std::string& name) {
  if (file == name) return true;
  if (file.size() <= name.size() + 1 || file.compare(0, name.size(), name) != 0 ||
      file[name.size()] != '.')
    return false;
  return file.find_first_not_of("0123456789", name.size() + 1) == std::string::npos;
}

}  // namespace

bool Returns::InInbox(const std::string& name, const std::string& sha256) const {
  for (const SpoolEntry& entry : spool_.Files(Spool::kInbox))
    if (FiledAs(entry.name, name) &&
        Sha256Of(spool_.Root() + "/" + Spool::kInbox + "/" + entry.name) == sha256)
      return true;
  return false;
}

void Returns::File(const std::string& name, ExchangeReport& report) const {
  const std::string incoming = spool_.IncomingPath(name);
  JournalRow like;
  like.server = kServerNumber;
  like.user = user_;
  like.server_key = ServerNameKey(incoming);
  like.file = incoming;
  like.sha256 = Sha256Of(incoming);
  if ((journal_ && journal_->ReceivedBefore(like)) || InInbox(name, *like.sha256)) {
    spool_.Discard(name);
    ++report.already_received;
    return;
  }
  const std::string filed = spool_.FileInInbox(name);
  if (journal_) journal_->RefileReceive(incoming, filed);
  ++report.received;
  report.last_received = filed;
}

}  // namespace xmodemq

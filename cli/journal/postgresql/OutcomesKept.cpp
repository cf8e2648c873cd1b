#include "journal/postgresql/OutcomesKept.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "journal/Journal.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "system/UniqueFd.h"

namespace xmodemq {
namespace {

constexpr char kNull[] = "\\N";

std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::optional<std::string> Unescaped(const std::string& field) {
  if (field == kNull) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char next = field[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return out;
}

std::string Field(const std::optional<std::string>& text) {
  return text ? Escaped(*text) : kNull;
}
std::string Field(const std::optional<std::int64_t>& number) {
  return number ? std::to_string(*number) : kNull;
}

// The record, opened through the journal's checked folder, private to the
// caller; nothing when it does not exist and `create` is false.
UniqueFd OpenRecord(const JournalPlace& place, bool create, std::string& path) {
  path = place.path + ".en-attente";
  const std::optional<HeldFolder> folder = OpenJournalFolder(place, create);
  if (!folder) return {};
  const std::string name = NameOf(path);
  std::string why;
  UniqueFd fd = folder->OpenPrivate(name, O_APPEND | (create ? O_CREAT : 0), why);
  if (!fd) {
    if (!why.empty()) throw JournalError(path + " " + why + " : il est laissé");
    if (errno == ENOENT && !create) return {};
    throw JournalError(FileError("ouvrir", path, errno));
  }
  if (::flock(fd.Get(), LOCK_EX) != 0) throw JournalError(FileError("verrouiller", path, errno));
  return fd;
}

std::vector<JournalRow> ReadRecord(int fd, const std::string& path) {
  std::string text;
  char buffer[8192];
  ::lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0) throw JournalError(FileError("lire", path, errno));
    text.append(buffer, static_cast<std::size_t>(n));
  }
  std::vector<JournalRow> rows;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    // A line cut short by a full disk is no outcome.
    if (end == std::string::npos) break;
    if (auto row = ParseKeptLine(text.substr(at, end - at))) rows.push_back(std::move(*row));
    at = end + 1;
  }
  return rows;
}

}  // namespace

std::string KeptLine(const JournalRow& row) {
  const std::string fields[] = {Field(row.id),
                                Escaped(row.call_id),
                                Escaped(row.started),
                                Field(row.ended),
                                Escaped(row.direction),
                                Escaped(row.file),
                                Escaped(row.server_name),
                                Escaped(row.server_key),
                                Escaped(row.server),
                                Escaped(row.user),
                                Escaped(row.user_key),
                                Escaped(row.line),
                                Field(row.bytes),
                                Field(row.sha256),
                                Field(row.blocks),
                                Field(row.resumed_from),
                                Field(row.result),
                                Escaped(row.description),
                                Field(row.exit_status),
                                row.again ? "1" : "0",
                                std::to_string(row.pid),
                                Escaped(row.process)};
  std::string line;
  for (const std::string& field : fields) line += (line.empty() ? "" : "\t") + field;
  return line + "\n";
}

std::optional<JournalRow> ParseKeptLine(const std::string& line) {
  std::vector<std::string> f;
  for (std::size_t at = 0;;) {
    const std::size_t tab = line.find('\t', at);
    f.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
    if (tab == std::string::npos) break;
    at = tab + 1;
  }
  if (f.size() != 22) return std::nullopt;
  const auto number = [](const std::string& s) -> std::optional<std::int64_t> {
    if (s == kNull) return std::nullopt;
    return std::stoll(s);
  };
  const auto text = [](const std::string& s) { return Unescaped(s).value_or(""); };
  try {
    JournalRow row;
    row.id = number(f[0]);
    row.call_id = text(f[1]);
    row.started = text(f[2]);
    row.ended = Unescaped(f[3]);
    row.direction = text(f[4]);
    row.file = text(f[5]);
    row.server_name = text(f[6]);
    row.server_key = text(f[7]);
    row.server = text(f[8]);
    row.user = text(f[9]);
    row.user_key = text(f[10]);
    row.line = text(f[11]);
    row.bytes = number(f[12]);
    row.sha256 = Unescaped(f[13]);
    row.blocks = number(f[14]);
    row.resumed_from = number(f[15]);
    row.result = Unescaped(f[16]);
    row.description = text(f[17]);
    row.exit_status = number(f[18]);
    row.again = f[19] == "1";
    row.pid = std::stoll(f[20]);
    row.process = text(f[21]);
    if (!row.id) return std::nullopt;
    return row;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void KeepOutcome(const JournalPlace& place, const JournalRow& row) {
  std::string path;
  const UniqueFd fd = OpenRecord(place, true, path);
  const std::string line = KeptLine(row);
  if (::write(fd.Get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
      ::fsync(fd.Get()) != 0)
    throw JournalError(FileError("écrire", path, errno));
}

void WriteKeptOutcomes(const JournalPlace& place,
                       const std::function<void(const JournalRow&)>& write) {
  std::string path;
  const UniqueFd fd = OpenRecord(place, false, path);
  if (!fd) return;
  const std::vector<JournalRow> rows = ReadRecord(fd.Get(), path);
  for (const JournalRow& row : rows) write(row);
  if (!rows.empty() && ::ftruncate(fd.Get(), 0) != 0)
    throw JournalError(FileError("vider", path, errno));
}

std::size_t KeptOutcomes(const JournalPlace& place) {
  std::string path;
  const UniqueFd fd = OpenRecord(place, false, path);
  return fd ? ReadRecord(fd.Get(), path).size() : 0;
}

}  // namespace xmodemq

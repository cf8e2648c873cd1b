#include "journal/JournalListing.h"

#include <algorithm>
#include <array>

#include "record/Refusals.h"
#include "record/ServerNames.h"
#include "system/Paths.h"
#include "terminal/Terminal.h"
#include "terminal/Text.h"
#include "terminal/Timestamps.h"
#include "xmodemquarvel/LineText.h"

namespace xmodemq {
namespace {

std::string ResultText(const std::string& result) {
  static const std::pair<const char*, const char*> kTexts[] = {
      {"rvTrue", "réussi"},    {"rvFalse", "échec"},          {"rvCTS", "ligne coupée"},
      {"rvRefuse", "refusé"},  {"rvTimer", "délai dépassé"},  {"interrupted", "interrompu"},
      {"running", "en cours"}, {"unknown", "issue inconnue"},
  };
  for (const auto& [name, text] : kTexts)
    if (result == name) return text;
  return result;
}

std::string Blocks(const JournalRow& row) {
  const std::string moved = row.blocks && *row.blocks >= 0 ? std::to_string(*row.blocks) : "-";
  if (row.resumed_from.value_or(0) <= 0) return moved;
  return std::to_string(*row.resumed_from) + "+" + moved;
}

std::string PadRight(const std::string& text, std::size_t width) {
  const std::size_t used = Columns(text);
  return used >= width ? text : text + std::string(width - used, ' ');
}

std::string PadLeft(const std::string& text, std::size_t width) {
  const std::size_t used = Columns(text);
  return used >= width ? text : std::string(width - used, ' ') + text;
}

}  // namespace

bool RowNamed(const JournalRow& row, const std::string& name) {
  return NameOf(row.file) == name || ServerNameKey(name) == row.server_key;
}

std::vector<std::string> ListingLines(const std::vector<JournalRow>& rows,
                                      std::optional<std::size_t> columns, const std::string& base) {
  const std::string under = base.empty() || base.back() == '/' ? base : base + "/";
  constexpr std::size_t kCells = 5;
  using Cells = std::array<std::string, kCells>;
  std::vector<Cells> table = {{"Début", "Sens", "Blocs", "Résultat", "Code"}};
  // The file and, after it, what may give way to it.
  std::vector<std::pair<std::string, std::string>> tails = {{"Fichier", ""}};
  for (const JournalRow& row : rows) {
    const std::string result = ResultNow(row);
    // To the minute: the JSON objects have the seconds.
    table.push_back({Visible(LocalTime(row.started).substr(0, 16)),
                     row.direction == "send" ? "envoi" : "réception", Blocks(row),
                     Visible(ResultText(result)),
                     row.exit_status ? std::to_string(*row.exit_status) : ""});
    const bool relative = !under.empty() && row.file.rfind(under, 0) == 0;
    std::vector<std::string> more;
    // The server's name, when the file's own does not say it.
    if (ServerNameKey(row.file) != row.server_key ||
        ServerName(row.file) != xmodemquarvel::ServerBaseName(row.file))
      more.push_back("serveur : " + row.server_name);
    if (row.again) more.push_back("envoyé de nouveau, --again");
    // Rows written before refusals were stored decoded are shown decoded too.
    if (result != "rvTrue" && !row.description.empty())
      more.push_back(DecodedRefusal(row.description));
    std::string said;
    for (const std::string& m : more) said += (said.empty() ? "  (" : " ; ") + m;
    // Whatever the journal holds is shown, never obeyed: one line a row.
    tails.emplace_back(Visible(relative ? row.file.substr(under.size()) : row.file),
                       Visible(said.empty() ? said : said + ")"));
  }
  std::array<std::size_t, kCells> widths{};
  for (const Cells& cells : table)
    for (std::size_t i = 0; i < kCells; ++i) widths[i] = std::max(widths[i], Columns(cells[i]));
  std::vector<std::string> lines;
  for (std::size_t r = 0; r < table.size(); ++r) {
    std::string line;
    for (std::size_t i = 0; i < kCells; ++i) {
      const bool number = i == 2 || i == 4;
      line += (number ? PadLeft(table[r][i], widths[i]) : PadRight(table[r][i], widths[i])) + "  ";
    }
    const auto& [file, more] = tails[r];
    std::string tail = file + more;
    if (columns) {
      // Short of the last column: a terminal wraps a line that reaches it.
      const std::size_t used = Columns(line) + 1;
      const std::size_t room = *columns > used ? *columns - used : 0;
      if (Columns(tail) > room)
        tail = Columns(file) <= room ? FitColumns(tail, room) : KeepEnd(file, room);
    }
    lines.push_back(line + tail);
    // A terminal narrower than the columns themselves.
    if (columns) lines.back() = FitColumns(lines.back(), *columns > 0 ? *columns - 1 : 0);
  }
  return lines;
}

}  // namespace xmodemq

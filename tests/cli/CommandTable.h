#pragma once
// The command's table: each row runs `xmodemq` as a user would, in a folder
// of its own beside a simulator of its own, and says what the user must find
// afterwards (status, texts, files, journal rows). All rows run at once.

#include <cstdint>
#include <functional>

#include "Processes.h"

namespace xmodemq::test {

namespace fs = std::filesystem;

inline constexpr const char* kSecret = "Zq7-motdepasse";
inline const std::string kPartial = ".xmodemq-partiel/";
inline const std::string kBill = BillingFile(60, 11);
// Its first 20 records: what a cut line leaves, a file of its own.
inline const std::string kBill20 = kBill.substr(0, 20 * 128);

// A folder's files and folders by path relative to it: a folder's name ends
// with '/' and maps to "", a symbolic link maps to "@", a FIFO to "|" and a
// device to "#". Made readable by all, whatever the umask.
using Tree = std::map<std::string, std::string>;

// A command run after a row's own, in the same folder.
struct Then {
  std::vector<std::string> args;
  int status;
  std::vector<std::string> said = {};
};

// The command run as a user runs it, in a folder D of its own beside a
// simulator of its own (D/modem, its store D/store), with D/tmp as TMPDIR,
// the password in XMODEMQ_PASSWORD and a journal of its own, elsewhere (in
// XMODEMQ_JOURNAL).
struct Row {
  std::string what;
  std::vector<std::string> simulator = {};
  Tree files = {};
  // "D/x" is x in D, "LINE" stands for --user PS0001 --device D/modem (or the
  // simulator's rfc2217:// address, given --listen).
  std::vector<std::string> args;
  int status;
  // Texts it writes; "!text" one that it must not write.
  std::vector<std::string> said = {};
  // All that D holds afterwards besides store/, tmp/ and modem: none lost,
  // stale, mixed or left behind ("*": any content, under a folder too).
  // By default D as it was, and no call made.
  Tree left = {{"=", ""}};
  Env env = {};
  // On a terminal of that width (0: one that gives no size), resized to
  // `resize` columns when it shows its first block.
  std::optional<unsigned short> columns = {};
  unsigned short resize = 0;
  std::size_t max_lines = 8;
  // Run once it has shown `cue`.
  std::function<void(Process&, const fs::path& d, Simulator*)> during = {};
  std::string cue = "bloc ";
  std::function<void(const Outcome&, const fs::path& d)> check = {};
  // How many dials the simulator logs, if set.
  std::optional<std::size_t> dials = {};
  // Made in D after `files`: FIFOs, device nodes, links, the intruder's files.
  std::function<void(const fs::path& d)> setup = {};
  // The row needs root and a second user (Intruder()): skipped without them.
  bool two_users = false;
  // Run as the second user when the tests run as root (root writes into 0400
  // files), as the current user otherwise: the command, its simulator and
  // its next commands, D and the journal's folder made that user's before
  // `setup`.
  bool second_user = false;
  // The umask the command runs with, when not the tests' own.
  std::optional<mode_t> umask = {};
  // The permission bits of paths in D afterwards.
  std::map<std::string, unsigned> modes = {};
  // With `cue`, what D must show before `during` runs.
  std::function<bool(const fs::path& d)> when = {};
  // Texts the simulator logs, in this order; "!text" one that it must not log
  // after the texts before it.
  std::vector<std::string> logged = {};
  // The same folder's next commands, in order.
  std::vector<Then> then = {};
  // The transfers' objects at the end, each given by some of its members
  // ("*": any value but null; a string that begins with D/ is in D): those
  // the command wrote on stdout when it has --json, else those that
  // `xmodemq journal --json` lists. Those of a transfer on stdout must be
  // the journal's own.
  std::optional<std::vector<JsonFields>> json = {};
};

// No transfer object at all.
inline const std::vector<JsonFields> kNoRow;

// The rows of the table, by theme; the calls first (the longest among them).
std::vector<Row> CallRows();
std::vector<Row> UsageRows();
std::vector<Row> FileRows();
std::vector<Row> JournalRows();
std::vector<Row> CueRows();

// Rows run at once: all start, each in its folder beside its simulator, and
// are acted on at their cues; Check() then waits for one and checks what it
// must leave.
class TableRun {
 public:
  explicit TableRun(std::vector<Row> rows);
  ~TableRun();
  TableRun(const TableRun&) = delete;
  TableRun& operator=(const TableRun&) = delete;

  // The row whose `what` this is (its position; size() when none).
  std::size_t Find(const std::string& what) const;
  void Check(std::size_t i);

 private:
  struct Run;
  std::vector<Row> rows_;
  std::vector<std::unique_ptr<Run>> runs_;
  // Why a row was not acted on, for its check.
  std::vector<std::string> missed_;
};

// Every row of the table, by theme.
const std::vector<Row>& AllRows();
// The rows' test names, in AllRows()'s order: each `what` in camel case
// ("AReceiveCutMidwayRunAgain"), a repeated one numbered.
const std::vector<std::string>& RowNames();

// Another user of the machine, for the tests where someone else owns files:
// made once when the tests run as root (and removed at exit), else none.
std::optional<uid_t> Intruder();

// `path` made the other user's (Intruder()), with `mode`.
void Intruders(const fs::path& path, mode_t mode);
// `path` and all it holds made the other user's, when there is one.
void GiveAway(const fs::path& path);

// "début : ...": the origin of a partial file started at `when`, as the
// command writes it beside the file.
std::string Origin(const std::string& user, std::time_t when = std::time(nullptr));

// `text` packed, as the packer writes it.
std::string Packed(const std::string& text);

// Writes `tree` into `dir`, each file 0644; what `dir` holds.
void MakeTree(const fs::path& dir, const Tree& tree);
Tree ReadTree(const fs::path& dir);

// The lines a terminal shows: split at CR and LF, the control sequences
// (clear, cursor up) taken out; and the columns of a UTF-8 text.
std::vector<std::string> ScreenLines(const std::string& screen);
std::size_t Width(const std::string& text);

// Preloads the failure shim (see FailShim.cpp): `open_fail` is TEXT:ERRNO,
// `write_fail` TEXT:BYTES. An instrumented xmodemq wants its runtime first.
Env FailureEnv(const std::string& open_fail, const std::string& write_fail = {},
               const Env& more = {});

// The SHA-256 of `bytes`, in hexadecimal.
std::string Sha256Of(const std::string& bytes);

// Whether D holds, at any depth, a file whose name begins with `prefix` and
// that is still smaller than `below` bytes.
bool Holds(const fs::path& d, const std::string& prefix, std::uintmax_t below = UINTMAX_MAX);

// `args` with "D/x" made x in D and "LINE" the user, password and line.
std::vector<std::string> Expand(const std::vector<std::string>& args, const fs::path& d,
                                std::vector<std::string> out = {XMODEMQ_PATH},
                                const Simulator* sim = nullptr);

// Each text of `said` in `text`, each "!text" not.
void Said(const std::string& text, const std::vector<std::string>& said);
// A run's exit status, and the texts of its stderr as Said() reads them.
void Expect(const Outcome& r, int status, const std::vector<std::string>& err = {});

}  // namespace xmodemq::test

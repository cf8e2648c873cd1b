#include "exchange/Profile.h"

#include <sys/stat.h>

#include <toml++/toml.h>
#include <charconv>
#include <ctime>
#include <set>

#include "exchange/ExchangePlan.h"
#include "files/HeldFolder.h"
#include "journal/JournalPlace.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "terminal/Text.h"

namespace xmodemq {
namespace {

// Reads the keys of one profile, each once, and says which one is wrong and
// on which line.
class Reader {
 public:
  Reader(const toml::table& table, std::string path) : table_(table), path_(std::move(path)) {}

  [[noreturn]] void Fail(const std::string& key, const std::string& why) const {
    const toml::node* node = table_.get(key);
    const auto line = node ? node->source().begin.line : 0;
    throw ProfileError(path_ + (line > 0 ? ", ligne " + std::to_string(line) : std::string()) +
                       " : la clé « " + Visible(key) + " » " + why);
  }

  std::string Text(const std::string& key, bool required, const std::string& fallback = {}) {
    seen_.insert(key);
    const toml::node* node = table_.get(key);
    if (!node) {
      if (required) throw ProfileError(path_ + " : la clé « " + key + " » manque");
      return fallback;
    }
    const auto* value = node->as_string();
    if (!value) Fail(key, "attend un texte entre guillemets");
    const std::string text = value->get();
    if (Visible(text) != text)
      Fail(key, "contient un caractère de contrôle : « " + Visible(text) + " »");
    return text;
  }

  std::vector<std::string> Texts(const std::string& key, bool required) {
    seen_.insert(key);
    const toml::node* node = table_.get(key);
    std::vector<std::string> texts;
    if (!node) {
      if (required) throw ProfileError(path_ + " : la clé « " + key + " » manque");
      return texts;
    }
    const auto* array = node->as_array();
    if (!array) Fail(key, "attend une liste de textes : [\"...\", \"...\"]");
    for (const toml::node& item : *array) {
      const auto* value = item.as_string();
      if (!value) Fail(key, "attend une liste de textes : [\"...\", \"...\"]");
      const std::string text = value->get();
      if (text.empty() || Visible(text) != text)
        Fail(key, "contient un texte vide ou un caractère de contrôle : « " + Visible(text) + " »");
      texts.push_back(text);
    }
    return texts;
  }

  std::chrono::seconds Duration(const std::string& key, std::chrono::seconds fallback) {
    if (!table_.contains(key)) {
      seen_.insert(key);
      return fallback;
    }
    const std::string text = Text(key, false);
    const auto value = ParseProfileDuration(text);
    if (!value)
      Fail(key,
           "attend une durée : un nombre suivi de s, m, h ou d (\"10s\", \"4h\", \"1d\"), "
           "reçu « " +
               text + " »");
    return *value;
  }

  int32_t Integer(const std::string& key, int32_t fallback, int32_t low, int32_t high) {
    seen_.insert(key);
    const toml::node* node = table_.get(key);
    if (!node) return fallback;
    const auto* value = node->as_integer();
    if (!value || value->get() < low || value->get() > high)
      Fail(key, "attend un entier de " + std::to_string(low) + " à " + std::to_string(high));
    return static_cast<int32_t>(value->get());
  }

  bool Boolean(const std::string& key, bool fallback) {
    seen_.insert(key);
    const toml::node* node = table_.get(key);
    if (!node) return fallback;
    const auto* value = node->as_boolean();
    if (!value) Fail(key, "attend true ou false");
    return value->get();
  }

  // A mistake in the `index`-th text of the list `key`, on that text's line.
  [[noreturn]] void FailItem(const std::string& key, std::size_t index,
                             const std::string& why) const {
    const toml::array* array = table_.get_as<toml::array>(key);
    const toml::node* item = array ? array->get(index) : nullptr;
    if (!item) Fail(key, why);
    throw ProfileError(path_ + ", ligne " + std::to_string(item->source().begin.line) +
                       " : la clé « " + key + " » " + why);
  }

  // A key that this profile does not know is a mistake, not a silent default.
  void RefuseUnknown() const {
    for (const auto& [key, node] : table_)
      if (!seen_.count(std::string(key.str())))
        Fail(std::string(key.str()), "est inconnue : voir xmodemq-exchange.toml(5)");
  }

 private:
  const toml::table& table_;
  std::string path_;
  std::set<std::string> seen_;
};

// A path of the profile, from the profile's folder when relative.
std::string FromProfile(const std::string& profile, const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  return FolderOf(profile) + "/" + path;
}

bool KnownZone(const std::string& zone) {
  if (zone.empty() || zone.find("..") != std::string::npos || zone.front() == '/') return false;
  struct stat st {};
  return ::stat(("/usr/share/zoneinfo/" + zone).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::optional<std::chrono::seconds> ParseProfileDuration(const std::string& text) {
  static const std::pair<std::string_view, long long> kUnits[] = {
      {"s", 1}, {"m", 60}, {"min", 60}, {"h", 3600}, {"d", 86400}, {"j", 86400}};
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  const std::string_view unit(ptr, static_cast<std::size_t>(end - ptr));
  if (ec != std::errc() || ptr == text.data() || value < 0 || value > 100'000'000)
    return std::nullopt;
  for (const auto& [name, seconds] : kUnits)
    if (unit == name) return std::chrono::seconds(value * seconds);
  return std::nullopt;
}

SchedulePolicy Profile::Schedule() const {
  SchedulePolicy policy;
  policy.profile = path;
  policy.window_texts = windows;
  policy.windows = call_windows;
  policy.retry_min = retry_min;
  policy.retry_max = retry_max;
  policy.max_calls_per_day = max_calls_per_day;
  policy.alert = alert;
  policy.alert_after = alert_after;
  policy.alert_age = alert_age;
  return policy;
}

Profile LoadProfile(const std::string& path, ProfileUse use) {
  Profile profile;
  profile.path = Absolute(path);
  // The profile says where health data go: one that another user may write
  // to could send them elsewhere.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw ProfileError(FileError("lire le profil", path, errno));
  if (!S_ISREG(st.st_mode)) throw ProfileError(path + " n'est pas un fichier : " + KindOf(st));
  if (const auto why = NotPrivate(st, Owner::kCallerOrRoot))
    throw ProfileError("profil " + path + " refusé : " + *why);
  toml::table table;
  try {
    table = toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    throw ProfileError(path + ", ligne " + std::to_string(e.source().begin.line) + " : " +
                       Visible(std::string(e.description())));
  }
  Reader read(table, path);
  profile.user = read.Text("user", true);
  if (profile.user.empty()) read.Fail("user", "est vide");
  const bool dials = use == ProfileUse::kDial;
  profile.password_file = FromProfile(profile.path, read.Text("password_file", dials));
  profile.lines = read.Texts("lines", dials);
  if (dials && profile.lines.empty()) read.Fail("lines", "ne nomme aucune ligne");
  profile.prefix = read.Text("prefix", false);
  profile.init = read.Text("init", false);
  profile.settings = read.Text("settings", false, profile.settings);
  profile.attempts = read.Integer("attempts", profile.attempts, 0, 1000);
  profile.queue = read.Boolean("queue", false);
  profile.spool = FromProfile(profile.path, read.Text("spool", !profile.queue));
  profile.fetch = read.Texts("fetch", false);
  for (const std::string& pattern : profile.fetch) {
    try {
      FetchName(pattern, profile.user, std::time(nullptr));
    } catch (const ProfileError& e) {
      read.Fail("fetch", e.what());
    }
  }
  profile.fetch_every = read.Duration("fetch_every", profile.fetch_every);
  profile.windows = read.Texts("windows", false);
  for (std::size_t i = 0; i < profile.windows.size(); ++i) {
    const ParsedWindow parsed = ParseCallWindow(profile.windows[i]);
    if (!parsed.window)
      read.FailItem("windows", i, "« " + profile.windows[i] + " » " + parsed.error);
    profile.call_windows.push_back(*parsed.window);
  }
  profile.retry_min = read.Duration("retry_min", profile.retry_min);
  profile.retry_max = read.Duration("retry_max", profile.retry_max);
  if (profile.retry_max < profile.retry_min) read.Fail("retry_max", "est plus court que retry_min");
  profile.max_calls_per_day = read.Integer("max_calls_per_day", profile.max_calls_per_day, 1, 1440);
  profile.settle = read.Duration("settle", profile.settle);
  profile.pad = read.Boolean("pad", profile.pad);
  profile.timezone = read.Text("timezone", false);
  if (!profile.timezone.empty() && !KnownZone(profile.timezone))
    read.Fail("timezone",
              "n'est pas un fuseau connu (/usr/share/zoneinfo) : « " + profile.timezone + " »");
  // A file (relative to the profile's folder) or a PostgreSQL database.
  profile.journal = read.Text("journal", false);
  if (!NamesDatabase(profile.journal)) profile.journal = FromProfile(profile.path, profile.journal);
  if (profile.queue && !NamesDatabase(profile.journal))
    read.Fail("queue", "demande un journal PostgreSQL (journal = \"postgresql://…\")");
  profile.lease = read.Duration("lease", profile.lease);
  if (profile.lease < std::chrono::seconds(2))
    read.Fail("lease", "est trop courte : 2s au moins (le bail se renouvelle à mi-course)");
  profile.alert = read.Texts("alert", false);
  profile.alert_after = read.Duration("alert_after", profile.alert_after);
  profile.alert_age = read.Duration("alert_age", profile.alert_age);
  read.RefuseUnknown();
  return profile;
}

}  // namespace xmodemq

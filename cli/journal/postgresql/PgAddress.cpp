#include "journal/postgresql/PgAddress.h"

#include <cstdlib>
#include <map>
#include <memory>

#include "journal/postgresql/LibPq.h"
#include "journal/postgresql/PgError.h"

namespace xmodemq {
namespace {

// What the address sets, keyword by keyword. Throws PgError.
std::map<std::string, std::string> Parse(const std::string& address) {
  char* error = nullptr;
  std::unique_ptr<PQconninfoOption, ConninfoFree> options(
      Pq().conninfoParse(address.c_str(), &error));
  if (!options) {
    std::string why = error != nullptr ? error : "mémoire épuisée";
    Pq().freemem(error);
    // libpq ends its message with a line end: the text goes on one line.
    while (!why.empty() && why.back() == '\n') why.pop_back();
    throw PgError(PgError::Kind::kOther,
                  WithoutPassword("adresse PostgreSQL illisible : " + why, address));
  }
  std::map<std::string, std::string> set;
  for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o)
    if (o->val != nullptr) set[o->keyword] = o->val;
  return set;
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t comma = list.find(',', from);
    parts.push_back(list.substr(from, comma - from));
    if (comma == std::string::npos) return parts;
    from = comma + 1;
  }
}

}  // namespace

bool LocalHost(const std::string& host) {
  if (host.empty() || host[0] == '/' || host[0] == '@') return true;
  if (host == "localhost" || host == "::1") return true;
  // 127.0.0.0/8, written as four numbers.
  if (host.rfind("127.", 0) != 0) return false;
  int dots = 0;
  for (const char c : host) {
    if (c == '.')
      ++dots;
    else if (c < '0' || c > '9')
      return false;
  }
  return dots == 3;
}

std::vector<std::pair<std::string, std::string>> ConnectionParameters(const std::string& address,
                                                                      const PgLimits& limits) {
  std::map<std::string, std::string> set = Parse(address);
  // A database that falls silent (a cable pulled, a partition) ends a wait
  // within about the statement's limit, as one that answers does: no
  // acknowledgement of what was sent for that long, or no answer to three
  // keepalive probes after 10 s without traffic, closes the connection.
  const std::pair<const char*, std::string> defaults[] = {
      {"connect_timeout", std::to_string(limits.connect.count())},
      {"tcp_user_timeout", std::to_string(limits.statement.count())},
      {"keepalives", "1"},
      {"keepalives_idle", "10"},
      {"keepalives_interval", "5"},
      {"keepalives_count", "3"}};
  for (const auto& [key, value] : defaults)
    if (!set.contains(key)) set[key] = value;
  if (!set.contains("sslmode")) {
    // libpq connects to hostaddr when given (host then only names the
    // certificate), else to host, else to PGHOST's, else to the socket.
    std::string hosts = set.contains("hostaddr") ? set["hostaddr"]
                        : set.contains("host")   ? set["host"]
                                                 : std::string();
    const char* env = std::getenv("PGHOST");
    if (hosts.empty() && !set.contains("service") && env != nullptr) hosts = env;
    bool remote = false;
    for (const std::string& host : Split(hosts)) remote = remote || !LocalHost(host);
    if (remote) set["sslmode"] = "verify-full";
  }
  return {set.begin(), set.end()};
}

std::string DescribeAddress(const std::string& address) {
  std::map<std::string, std::string> set;
  try {
    set = Parse(address);
  } catch (const PgError&) {
    return "(adresse illisible)";
  }
  const auto get = [&set](const char* key, const char* otherwise) {
    const auto found = set.find(key);
    return found != set.end() && !found->second.empty() ? found->second : std::string(otherwise);
  };
  std::string text = "base « " + get("dbname", get("user", "par défaut").c_str()) + " »";
  if (set.contains("service")) text += ", service " + set["service"];
  text += " sur " + get("host", "le socket local");
  if (set.contains("port")) text += ":" + set["port"];
  if (set.contains("user")) text += ", rôle " + set["user"];
  return WithoutPassword(text, address);
}

}  // namespace xmodemq

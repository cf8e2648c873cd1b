#include "journal/postgresql/PgError.h"

#include <memory>

#include "journal/postgresql/LibPq.h"

namespace xmodemq {
namespace {

void ReplaceAll(std::string& text, const std::string& what, const std::string& with) {
  if (what.empty()) return;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
}

// The password that libpq reads in `address`, or nothing.
std::string PasswordOf(const std::string& address) {
  std::unique_ptr<PQconninfoOption, ConninfoFree> options(
      Pq().conninfoParse(address.c_str(), nullptr));
  if (!options) return {};
  for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o)
    if (std::string(o->keyword) == "password" && o->val != nullptr) return o->val;
  return {};
}

// The password part of a "scheme://user:password@" URI as written (even when
// libpq cannot parse the rest).
std::string UriPassword(const std::string& address) {
  const std::size_t scheme = address.find("://");
  if (scheme == std::string::npos) return {};
  const std::size_t start = scheme + 3;
  const std::size_t at = address.find('@', start);
  const std::size_t slash = address.find('/', start);
  if (at == std::string::npos || (slash != std::string::npos && slash < at)) return {};
  const std::size_t colon = address.find(':', start);
  if (colon == std::string::npos || colon > at) return {};
  return address.substr(colon + 1, at - colon - 1);
}

std::string PercentEncoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    }
  }
  return out;
}

}  // namespace

PgError::Kind KindOfSqlState(const std::string& sqlstate) {
  using Kind = PgError::Kind;
  const std::string group = sqlstate.substr(0, 2);
  if (sqlstate.empty() || group == "08" || sqlstate == "57P01" || sqlstate == "57P02" ||
      sqlstate == "57P03")
    return Kind::kUnreachable;
  if (group == "28" || sqlstate == "42501") return Kind::kRefused;
  if (sqlstate == "57014" || sqlstate == "40001" || sqlstate == "40P01" || group == "53" ||
      sqlstate == "55P03")
    return Kind::kBusy;
  return Kind::kOther;
}

std::string WithoutPassword(const std::string& text, const std::string& address) {
  std::string out = text;
  for (const std::string& secret : {UriPassword(address), PasswordOf(address)}) {
    ReplaceAll(out, secret, "***");
    ReplaceAll(out, PercentEncoded(secret), "***");
  }
  return out;
}

}  // namespace xmodemq

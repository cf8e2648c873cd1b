#pragma once

namespace xmodemq {

// What `xmodemq exchange` returns, for a scheduler to act on (xmodemq(1)).
inline constexpr int kExchangeDone = 0;
// Nothing to send, nothing to fetch.
inline constexpr int kExchangeNothing = 10;
// A person must look: files held, the server refused the account.
inline constexpr int kExchangePerson = 20;
// Try later: busy or cut line, no answer, lock held, journal busy, stopped.
inline constexpr int kExchangeLater = 75;
// A usage mistake or a bad profile.
inline constexpr int kExchangeUsage = 2;

// "fait", "rien à faire"...: the word of the JSON member `outcome`.
inline const char* OutcomeName(int status) {
  switch (status) {
    case kExchangeDone:
      return "done";
    case kExchangeNothing:
      return "nothing";
    case kExchangePerson:
      return "person";
    case kExchangeLater:
      return "later";
    default:
      return "usage";
  }
}

}  // namespace xmodemq

#pragma once

#include <cstdio>
#include <string>

namespace xmodemq {

// Where a long listing goes, as `git log` and `journalctl` do it: when
// standard output is a terminal, through the user's pager ($PAGER, else
// `less -FRX`, which leaves a short listing on the screen and quits); else,
// or with `no_pager`, or when $PAGER is empty or "cat", straight to standard
// output. The pager is waited for when the object goes.
class Pager {
 public:
  explicit Pager(bool no_pager);
  ~Pager();
  Pager(const Pager&) = delete;
  Pager& operator=(const Pager&) = delete;

  std::FILE* Out() const { return pipe_ != nullptr ? pipe_ : stdout; }
  // Whether the lines go to a pager, which shows them whole.
  bool Paging() const { return pipe_ != nullptr; }

 private:
  std::FILE* pipe_ = nullptr;
};

// The pager's command for this environment ($PAGER, else "less -FRX" when
// less is on the PATH); empty for none.
std::string PagerCommand();

}  // namespace xmodemq

// The one write-all loop: short writes, a descriptor that would block, a
// closed socket, a descriptor not open for writing.
#include "platform/WriteAll.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/UniqueFd.h"

namespace xmodemquarvel {
namespace {

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_end.Reset(fds[0]);
    write_end.Reset(fds[1]);
    ::fcntl(write_end.Get(), F_SETFL, O_NONBLOCK);
  }
  std::string Drain() {
    std::string got;
    char buffer[65536];
    ::fcntl(read_end.Get(), F_SETFL, O_NONBLOCK);
    for (ssize_t n; (n = ::read(read_end.Get(), buffer, sizeof buffer)) > 0;)
      got.append(buffer, static_cast<std::size_t>(n));
    return got;
  }
  UniqueFd read_end, write_end;
};

TEST(WriteAll, GoesOnUntilAllIsWrittenOrSaysWhyNot) {
  // More than a pipe holds: it fills, and the caller decides what a full
  // descriptor means.
  const std::string big(1 << 20, 'x');
  struct Row {
    const char* what;
    bool waits;  // the blocked callback drains and says to go on
    bool given;  // a blocked callback at all
    int error;
  };
  const Row rows[] = {{"a caller that waits gets everything through", true, true, 0},
                      {"a caller that gives up gets EAGAIN", false, true, EAGAIN},
                      {"no caller to ask: EAGAIN", false, false, EAGAIN}};
  for (const Row& row : rows) {
    Pipe pipe;
    std::string received;
    int asked = 0;
    std::size_t written = 0;
    const std::function<bool()> blocked = [&] {
      ++asked;
      received += pipe.Drain();
      return row.waits;
    };
    EXPECT_EQ(WriteAll(pipe.write_end.Get(), big, written, row.given ? blocked : nullptr, false),
              row.error)
        << row.what;
    received += pipe.Drain();
    EXPECT_EQ(received, big.substr(0, written)) << row.what;
    EXPECT_EQ(written == big.size(), row.error == 0) << row.what;
    EXPECT_GT(written, 0u) << row.what;
    EXPECT_EQ(asked > 0, row.given) << row.what;
  }
  // A socket whose peer is gone: EPIPE, and no SIGPIPE ends the process.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd mine(pair[0]);
  ::close(pair[1]);
  std::size_t written = 0;
  EXPECT_EQ(WriteAll(mine.Get(), "lost", written, nullptr, true), EPIPE);
  EXPECT_EQ(written, 0u);
  // A descriptor not open for writing.
  UniqueFd read_only(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(WriteAll(read_only.Get(), "x"), EBADF);
  EXPECT_EQ(WriteAll(read_only.Get(), ""), 0) << "nothing to write, nothing tried";
}

}  // namespace
}  // namespace xmodemquarvel

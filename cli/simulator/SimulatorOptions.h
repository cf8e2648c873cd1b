#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace xmodemq {

// How `xmodemq simulate` (and the demo's own simulator) behaves.
struct SimulatorOptions {
  // Symbolic link to the pseudo-terminal that clients open.
  std::string link;
  // Or HOST:PORT where a terminal server takes clients over TCP (port 0: any
  // free one).
  std::optional<std::string> listen;
  // Listening elsewhere than on loopback is refused unless this is set.
  bool allow_remote = false;
  // A TCP client with no byte in either direction for this long is dropped.
  int32_t idle_timeout_seconds = 600;

  // The modem.
  bool echo = true;
  // Answer lines to each dial, in order; the last serves every later dial.
  std::vector<std::vector<std::string>> dial_answers;

  // The server.
  // Status byte of every response (0 accepts).
  int32_t status = 0;
  // Resume position (blocks) the server names in its response to a send.
  std::optional<int32_t> resume;
  // Answer a send with the blocks already held of that file.
  bool resume_sends = false;
  // A file of known users, one USER:PASSWORD a line; none: everybody is let in.
  std::optional<std::string> accounts_file;
  // Where received files are stored, and where files asked for are looked up;
  // none: a private folder made for the run and removed at its end.
  std::optional<std::string> store_dir;
  // Files put into the store under their base names, ready to be served.
  std::vector<std::string> serve_files;

  // The line.
  // Pace what goes to the client at this many bits per second (0: unpaced).
  int32_t baud = 0;
  // Cut the line once after this many data frames have gone to the client.
  std::optional<int32_t> cut_after_frames;
  // Server fault injections, as NAME or NAME=VALUE.
  std::vector<std::string> faults;
};

}  // namespace xmodemq

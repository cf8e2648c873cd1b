#pragma once

#include <functional>
#include <string_view>

#include "xmodemquarvel/Clock.h"

namespace xmodemquarvel::sim {

// The far end's hold on a line: what a simulated modem or server uses to talk
// back to the component, whether the line is in-process or a pseudo-terminal.
class Line {
 public:
  virtual ~Line() = default;
  virtual void SendToHost(std::string_view bytes) = 0;
  virtual void SetCts(bool on) = 0;
  virtual void SetCd(bool on) = 0;
  // Runs `action` on the line's own time after `delay`.
  virtual void After(Clock::Duration delay, std::function<void()> action) = 0;
};

class LinePeer;

// A line that serves itself on the thread that runs it: a pseudo-terminal or
// a terminal server on a TCP port, with a modem or server as its peer.
class ServedLine : public Line {
 public:
  virtual void AttachPeer(LinePeer* peer) = 0;
  // Serves until Stop() or until `until` has passed. Blocks in poll().
  virtual void Run(Clock::TimePoint until = Clock::TimePoint::max()) = 0;
  // Safe from another thread or a signal handler. For good: a Stop() that
  // comes before Run() makes it return at once.
  virtual void Stop() = 0;
};

// What sits at the far end of a line: a modem, a server, a test.
class LinePeer {
 public:
  virtual ~LinePeer() = default;
  // Bytes the component wrote, as they arrive at the far end.
  virtual void OnHostBytes(std::string_view bytes) = 0;
  // The component raised or dropped DTR (while the port is open).
  virtual void OnDtr(bool /*on*/) {}
  // The component opened or closed its port.
  virtual void OnPortOpen(bool /*open*/) {}
  // A modem in front of this peer connected (true) or hung up (false).
  virtual void OnCarrier(bool /*up*/) {}
};

}  // namespace xmodemquarvel::sim

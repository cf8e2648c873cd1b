#pragma once

#include <cassert>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "component/HostForm.h"
#include "component/HostLoop.h"
#include "component/SharedFields.h"
#include "component/Timer.h"
#include "component/WaitTimer.h"
#include "modem/CommandDialogue.h"
#include "modem/Connection.h"
#include "modem/ErrorEvent.h"
#include "protocol/BlockLink.h"
#include "protocol/FileReceiver.h"
#include "protocol/FileSender.h"
#include "protocol/OpeningExchange.h"
#include "protocol/TransferEvents.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemquarvel {

// What stands behind one ModuleXmodem: the host's seams, the fields the layers
// share, and one object per layer, each built with only what it needs. The
// public members forward to them; the object raises the host's events for the
// layers that report (Error for Connect; the transfers' progress and
// acceptance). The shared library's version script keeps it from being
// exported.
struct ModuleXmodem::Impl final : modem::ErrorEvent, protocol::TransferEvents {
  Impl(ModuleXmodem& owner, HostOptions options);
  ~Impl();

  ModuleXmodem& owner;

  // The host's seams: the clock, the message-loop stand-in with the one wait,
  // the serial line (whose own waits go through the loop), the trace window's
  // state, the timer and the time-out mechanism.
  std::shared_ptr<xmodemquarvel::Clock> clock;
  Timer timer;
  HostLoop loop;
  std::unique_ptr<SerialPort> port;
  HostForm form;
  WaitTimer wait;
  SharedFields fields;

  // The layers, from the modem up.
  modem::CommandDialogue dialogue;
  modem::Connection connection;
  protocol::BlockLink link;
  protocol::OpeningExchange opening;
  protocol::FileSender sender;
  protocol::FileReceiver receiver;

  // Set while a public operation runs; see BusyGuard.
  bool busy = false;

  // How long teardown keeps the port closed, DTR low, after it closed a port
  // that was open: as long as Disconnect holds DTR low. A modem takes a
  // shorter drop for noise, and a pseudo-terminal's far end may not see a
  // close that an open follows at once; either would leave the call up for
  // the next object that opens the device.
  static constexpr std::chrono::milliseconds kTeardownHold{500};
  // The destructor's hang-up: drops DTR, closes the port and keeps it closed
  // for kTeardownHold; returns at once when the port is closed. Runs no host
  // code and raises nothing.
  void HangUpAtTeardown() noexcept;

  void AppendTrace(std::string_view text) { form.Append(text); }
  void RaiseError(const std::string& description) override;
  // A progress event with the block counter, while Trace is on.
  void RaiseBloc(const std::function<void(int32_t&)>& event);
  void BlockMoved(char sens) override;
  // TransferAccepted with the direction and the server's position; an abort
  // requested by its handler ends the transfer here, before any data moves.
  void Accepted(char sens) override;
};

// What a refused re-entry throws: a std::logic_error to C++ hosts, told apart
// from other failures by the C interface.
class __attribute__((visibility("hidden"))) OperationRunning : public std::logic_error {
 public:
  OperationRunning();
};

// Refuses a second public operation started from an event or yield handler
// while one is running on the same object: the operations share the object's
// fields and cannot be interleaved. While it holds, the host may abort.
class BusyGuard {
 public:
  explicit BusyGuard(ModuleXmodem::Impl& impl);
  ~BusyGuard() {
    // Only the guard that set it clears it: a refused re-entry never gets here.
    assert(impl_.busy);
    impl_.loop.AcceptAborts(false);
    impl_.loop.NothingAwaited();
    impl_.busy = false;
  }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  ModuleXmodem::Impl& impl_;
};

}  // namespace xmodemquarvel

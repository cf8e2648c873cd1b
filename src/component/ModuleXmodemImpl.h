#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "component/ErrorRecord.h"
#include "component/FixedField.h"
#include "component/HostForm.h"
#include "component/HostLoop.h"
#include "component/Timer.h"
#include "component/WaitTimer.h"
#include "protocol/OpeningRecord.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemquarvel {

// The state of one ModuleXmodem and the operations behind its public members.
// The operations are defined in the file of their subsystem: the command
// dialogue and Connect/Disconnect under modem/, the transfers under protocol/.
// The shared library's version script keeps it from being exported.
struct ModuleXmodem::Impl {
  Impl(ModuleXmodem& owner, HostOptions options);
  ~Impl();

  ModuleXmodem& owner;

  // Host resources: the clock, the message-loop stand-in with the one wait,
  // the serial line (whose own waits go through the loop), the window's
  // state, the timer and the time-out mechanism.
  std::shared_ptr<xmodemquarvel::Clock> clock;
  Timer timer;
  HostLoop loop;
  std::unique_ptr<SerialPort> port;
  HostForm form;
  WaitTimer wait;

  // The object's fields.
  SerialPort& Modem;
  bool TraceFlag = false;
  ModemModeValues ModemMode = mmvCommande;
  int32_t AttemptLimit = 3;
  int32_t Attempt = 0;
  bool LinePending = false;
  FixedField<1> RxChar;
  std::string TxBuffer;
  std::string RxBuffer;
  ReturnValues Result = rvFalse;
  OpeningRecord Record;
  int32_t BlocNumber = 0;
  int32_t PositionHigh = 0;
  int32_t PositionLow = 0;
  // The block counter of the four file operations, passed by reference to the
  // progress events.
  int32_t BlocCount = 0;
  // Set while a public operation runs; see BusyGuard.
  bool busy = false;

  ErrorRecord& error() { return ThreadErrorRecord(); }
  void AppendTrace(std::string_view text) { form.Append(text); }
  void RaiseError(const std::string& description);
  void RaiseBloc(const std::function<void(int32_t&)>& event);
  // TransferAccepted with the direction and the server's position; an abort
  // requested by its handler ends the transfer here, before any data moves.
  void RaiseTransferAccepted(char sens);

  // Command dialogue with the modem.
  ReturnValues SendCommand(const std::string& Command, const std::string& Expected,
                           int32_t TimeOut);
  ReturnValues ReadResponse();
  // Connection.
  ReturnValues Connect(int32_t Tentatives, const std::string& Prefixe,
                       const std::string& InitString);
  void Disconnect();
  // The end of an operation aborted at one of its waits: hang up, rvFalse,
  // "Opération interrompue".
  ReturnValues EndAborted();
  // Block link layer.
  ReturnValues SendAndWait(std::string_view Message, int Expected);
  ReturnValues SendBlock(std::string_view Data);
  // Transfers.
  // Asks with NAK for the server's frame 0 (its response to the opening, or
  // its closing report). An EOT in its place is an unexpected answer.
  ReturnValues AskForFrameZero();
  ReturnValues OpenTransfer(const std::string& UserId, const std::string& PSW,
                            const std::string& FileName, const std::string& Sens,
                            const std::string& PackType);
  ReturnValues SendFile(const std::string& UserId, const std::string& PSW,
                        const std::string& FileName, const std::string& PackType);
  ReturnValues SendFileBlocks(const std::string& FileName);
  // `descriptor`: the host's open file to write, in place of the file named
  // FileName.
  ReturnValues ReceiveFile(const std::string& UserId, const std::string& PSW,
                           const std::string& FileName, const std::string& PackType,
                           std::optional<int> descriptor = std::nullopt);
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

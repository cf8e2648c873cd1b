#include "xmodemquarvel/ModuleXmodem.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <system_error>

#include "component/CodePage.h"
#include "component/GuardedSerialPort.h"
#include "module/ModuleXmodemImpl.h"
#include "pack/PackFiles.h"
#include "platform/DeviceSerialPort.h"

namespace xmodemquarvel {
namespace {

std::shared_ptr<Clock> ClockOrDefault(std::shared_ptr<Clock> clock) {
  return clock ? std::move(clock) : std::make_shared<MonotonicClock>();
}

// The default line is a termios device or a remote line; what a remote line
// has to say (a control the server did not confirm, a lost connection) goes
// to the trace, one line each.
// Its own waits (connecting, negotiating, output the line does not take) go
// through the host loop like every other wait.
std::unique_ptr<SerialPort> GuardedPortOrDefault(std::unique_ptr<SerialPort> port,
                                                 ModuleXmodem::Impl& impl) {
  if (!port) {
    auto device = std::make_unique<DeviceSerialPort>();
    device->OnNote([&impl](const std::string& text) {
      // Told from inside the port's own calls: a handler that throws is the
      // host's failure, not the line's.
      impl.loop.CallHost([&] { impl.AppendTrace(text + "\r\n"); });
    });
    device->UseWait(&impl.loop);
    port = std::move(device);
  }
  return std::make_unique<GuardedSerialPort>(std::move(port));
}

// The error trap of CommPort, Device and Settings: the record is emptied, a
// refusal of the serial layer is held in it while the Error event runs, and it
// is empty again when the property returns. Nothing reaches the host.
template <class Change>
void RelayRefusal(ModuleXmodem::Impl& impl, Change&& change, const std::string& message) {
  ErrorRecord& record = SharedFields::Error();
  record.Clear();
  try {
    change();
  } catch (const SerialPortError& e) {
    record.Source = kSerialLayerSource;
    record.Description = e.Message();
    record.Number = e.code().value();
    impl.RaiseError(message);
  }
  record.Clear();
}

}  // namespace

ModuleXmodem::Impl::Impl(ModuleXmodem& owner_object, HostOptions options)
    : owner(owner_object),
      clock(ClockOrDefault(std::move(options.clock))),
      timer(*clock),
      loop(*clock, timer, std::move(options.yield), options.max_yield_interval),
      port(GuardedPortOrDefault(std::move(options.port), *this)),
      wait(timer, loop),
      dialogue(*port, loop, wait, form, *clock, fields),
      connection(*port, loop, wait, form, fields, dialogue, *this),
      link(*port, loop, wait, form, fields, connection),
      opening(link, fields),
      sender(*port, link, opening, fields, connection, *this),
      receiver(*port, link, opening, fields, connection, *this) {
  form.listener = &owner.TraceAppended;
}

ModuleXmodem::Impl::~Impl() = default;

void ModuleXmodem::Impl::HangUpAtTeardown() noexcept {
  // No host code runs any more: no trace to tell, and a port's own waits
  // (output that a remote line does not take) give up at once.
  form.listener = nullptr;
  loop.HangingUp(true);
  try {
    if (!port->PortOpen()) return;
    port->DTREnable(false);
    port->PortOpen(false);
    clock->SleepUntil(clock->Now() + kTeardownHold);
  } catch (...) {
    // A port that fails here is released with the object all the same.
  }
}

void ModuleXmodem::Impl::RaiseError(const std::string& description) {
  std::string argument = description;
  if (owner.Error) owner.Error(argument);
}

void ModuleXmodem::Impl::RaiseBloc(const std::function<void(int32_t&)>& event) {
  if (fields.TraceFlag && event) event(fields.BlocCount);
}

void ModuleXmodem::Impl::BlockMoved(char sens) {
  RaiseBloc(sens == 'E' ? owner.BlocSended : owner.BlocReceived);
}

void ModuleXmodem::Impl::Accepted(char sens) {
  if (owner.TransferAccepted)
    owner.TransferAccepted(sens, std::int64_t{fields.PositionHigh} * 256 + fields.PositionLow);
  loop.ThrowIfAborted();
}

OperationRunning::OperationRunning()
    : std::logic_error("Une opération est déjà en cours sur cet objet ModuleXmodem") {}

BusyGuard::BusyGuard(ModuleXmodem::Impl& impl) : impl_(impl) {
  if (impl_.busy) throw OperationRunning();
  impl_.busy = true;
  impl_.loop.NothingAwaited();
  impl_.loop.AcceptAborts(true);
}

namespace {

// Connect, SendFile and ReceiveFile: one at a time, and ended by an abort
// request at their next wait.
template <class Operation>
ReturnValues RunAbortable(ModuleXmodem::Impl& impl, Operation&& operation) {
  BusyGuard guard(impl);
  try {
    try {
      return operation();
    } catch (const OperationAborted&) {
      return impl.connection.EndAborted();
    }
  } catch (const HostCodeFailure& failure) {
    std::rethrow_exception(failure.error);
  }
}

}  // namespace

ModuleXmodem::ModuleXmodem() : ModuleXmodem(HostOptions{}) {}

ModuleXmodem::ModuleXmodem(HostOptions options)
    : impl_(std::make_unique<Impl>(*this, std::move(options))) {}

ModuleXmodem::~ModuleXmodem() {
  impl_->HangUpAtTeardown();
}

std::string ModuleXmodem::ErrorSource() const {
  return SharedFields::Error().Source;
}

std::string ModuleXmodem::ErrorDescription() const {
  return SharedFields::Error().Description;
}

void ModuleXmodem::Visible(bool NewValue) {
  impl_->form.Visible = NewValue;
}

bool ModuleXmodem::Visible() const {
  return impl_->form.Visible;
}

void ModuleXmodem::Trace(bool NewValue) {
  impl_->fields.TraceFlag = NewValue;
}

void ModuleXmodem::CommPort(int32_t NewPort) {
  RelayRefusal(
      *impl_,
      [&] {
        impl_->port->CommPort(NewPort);
        impl_->form.Caption = "Xmodem KOVA-CNAMTS Com " + std::to_string(NewPort);
      },
      "Le port " + std::to_string(NewPort) + " n'est pas disponible");
}

void ModuleXmodem::Device(const std::string& Path) {
  RelayRefusal(
      *impl_,
      [&] {
        impl_->port->Device(Path);
        impl_->form.Caption = "Xmodem KOVA-CNAMTS Com " + Path;
      },
      "Le port " + Path + " n'est pas disponible");
}

void ModuleXmodem::Settings(const std::string& NewSettings) {
  RelayRefusal(
      *impl_, [&] { impl_->port->Settings(NewSettings); },
      "Les paramètres " + NewSettings + " ne sont pas valides");
}

std::string ModuleXmodem::DataType() const {
  return Cp1252ToUtf8(impl_->opening.Record.PackType.View());
}

void ModuleXmodem::DataType(const std::string& NewValue) {
  impl_->opening.Record.PackType.Assign(Utf8ToCp1252(NewValue));
}

std::string ModuleXmodem::Caption() const {
  return impl_->form.Caption;
}

std::string ModuleXmodem::TraceText() const {
  return impl_->form.Text;
}

bool ModuleXmodem::PortOpen() const {
  return impl_->port->PortOpen();
}

ReturnValues ModuleXmodem::Connect(int32_t Tentatives, const std::string& Prefixe,
                                   const std::string& InitString) {
  return RunAbortable(*impl_,
                      [&] { return impl_->connection.Connect(Tentatives, Prefixe, InitString); });
}

// Disconnect stays callable from an event handler: it breaks off a transfer,
// which then fails on its next use of the closed port. Its own pauses are
// never aborted; a request made during them ends the interrupted operation.
void ModuleXmodem::Disconnect() {
  struct Hold {
    explicit Hold(HostLoop& loop) : loop(loop) { loop.HoldAborts(true); }
    ~Hold() { loop.HoldAborts(false); }
    HostLoop& loop;
  } hold(impl_->loop);
  try {
    impl_->connection.Disconnect();
  } catch (const HostCodeFailure& failure) {
    std::rethrow_exception(failure.error);
  }
  // Its pauses were the last waits, unless it broke into an operation.
  if (!impl_->busy) impl_->loop.NothingAwaited();
}

bool ModuleXmodem::Abort() noexcept {
  return impl_->loop.RequestAbort();
}

WaitState ModuleXmodem::CurrentWait() const {
  WaitState state = impl_->loop.State();
  // The end of a timed wait moves with its extensions: read it now.
  if (state.awaiting != WaitState::Awaiting::kNothing &&
      state.awaiting != WaitState::Awaiting::kLine)
    state.deadline = impl_->wait.Ends();
  if (state.deadline)
    state.remaining = std::max(*state.deadline - impl_->clock->Now(), Clock::Duration::zero());
  return state;
}

ReturnValues ModuleXmodem::SendFile(const std::string& UserId, const std::string& PSW,
                                    const std::string& FileName, const std::string& PackType) {
  return RunAbortable(*impl_,
                      [&] { return impl_->sender.SendFile(UserId, PSW, FileName, PackType); });
}

ReturnValues ModuleXmodem::ReceiveFile(const std::string& UserId, const std::string& PSW,
                                       const std::string& FileName, const std::string& PackType) {
  return RunAbortable(*impl_,
                      [&] { return impl_->receiver.ReceiveFile(UserId, PSW, FileName, PackType); });
}

ReturnValues ModuleXmodem::ReceiveFileToDescriptor(const std::string& UserId,
                                                   const std::string& PSW,
                                                   const std::string& FileName,
                                                   const std::string& PackType,
                                                   int FileDescriptor) {
  return RunAbortable(*impl_, [&] {
    return impl_->receiver.ReceiveFile(UserId, PSW, FileName, PackType, FileDescriptor);
  });
}

namespace {

// Runs a packing operation that an abort request stops between two blocks: it
// then throws std::system_error (operation_canceled, "Opération
// interrompue"), the target holding the blocks produced before, as after any
// failure part-way.
template <class Packing>
void RunPacking(ModuleXmodem::Impl& impl, Packing&& packing) {
  BusyGuard guard(impl);
  try {
    packing([&impl] { impl.loop.ThrowIfAborted(); });
  } catch (const OperationAborted&) {
    throw std::system_error(std::make_error_code(std::errc::operation_canceled),
                            "Opération interrompue");
  }
}

// The progress event of a packing run. Trace is read again before every block,
// so a handler that switches it off stops the events at once. Nothing can
// switch it on during the run, since nothing but the events runs meanwhile.
pack::BlockEvent PackingEvent(ModuleXmodem::Impl& impl,
                              const std::function<void(int32_t&)>& event) {
  if (!impl.fields.TraceFlag) return {};
  return [&impl, &event](int32_t&) { impl.RaiseBloc(event); };
}

}  // namespace

// Failures reach the host as exceptions carrying the system's number and
// description; neither method writes into the error record.
void ModuleXmodem::PackFile(const std::string& FileSource, const std::string& FilePacked) {
  RunPacking(*impl_, [&](const pack::AbortCheck& check) {
    pack::PackFile(FileSource, FilePacked, impl_->fields.BlocCount,
                   PackingEvent(*impl_, BlocPacked), check);
  });
}

void ModuleXmodem::UnPackFile(const std::string& FileSource, const std::string& FileUnpacked) {
  RunPacking(*impl_, [&](const pack::AbortCheck& check) {
    pack::UnPackFile(FileSource, FileUnpacked, impl_->fields.BlocCount,
                     PackingEvent(*impl_, BlocUnpacked), check);
  });
}

}  // namespace xmodemquarvel

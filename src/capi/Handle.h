#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "xmodemquarvel/HostOptions.h"
#include "xmodemquarvel/ModuleXmodem.h"
#include "xmodemquarvel/xq.h"

// What stands behind an xq_module handle: the object, the host's callbacks,
// the strings handed out, and the report of the last call.
struct xq_module {
  // The strings that getters hand out, one slot each, so that reading the
  // source does not invalidate the description read just before.
  enum Slot {
    kSource,
    kDescription,
    kDataType,
    kCaption,
    kTraceText,
    kWaitSent,
    kWaitExpected,
    kSlotCount
  };

  std::unique_ptr<xmodemquarvel::ModuleXmodem> module;

  xq_yield_callback yield = nullptr;
  void* yield_user = nullptr;
  xq_error_callback on_error = nullptr;
  void* on_error_user = nullptr;
  struct Bloc {
    xq_bloc_callback callback = nullptr;
    void* user = nullptr;
  } packed, unpacked, sended, received;
  xq_trace_callback on_trace = nullptr;
  void* on_trace_user = nullptr;
  xq_transfer_accepted_callback on_accepted = nullptr;
  void* on_accepted_user = nullptr;

  std::array<std::string, kSlotCount> strings;
  std::string last_error;
  // The operating system's error number of the last failure, 0 when it had none.
  int last_errno = 0;
  // The last Error event's text, with the reason that the error record held
  // while it ran: what xq_last_error() gives after a connect whose port
  // failed, since the record is empty once it returns.
  std::string error_event;
  // Calls of the interface in progress on this handle: more than one when a
  // callback calls in again.
  int depth = 0;
  // The first exception a callback threw during the outermost call.
  bool callback_failed = false;
  std::string callback_message;

  const char* Hand(Slot slot, std::string text, size_t* length) {
    strings[slot] = std::move(text);
    if (length != nullptr) *length = strings[slot].size();
    return strings[slot].c_str();
  }
};

namespace xmodemquarvel::capi {

// A handle around an object built with `options`; `yield` (if any) is called
// through a guard on every pass of every wait. Every callback of the handle is
// installed on the object once, here, and looks up the host's function at each
// call, so that a callback may replace itself.
std::unique_ptr<xq_module> NewHandle(HostOptions options, xq_yield_callback yield, void* user);

// Notes an exception thrown by a host callback, inside its catch block. The
// first one of an outermost call is kept for its status, and the running
// operation is asked to stop as xq_abort() does.
void NoteCallbackFailure(xq_module& handle) noexcept;

// Runs a host callback: an exception it throws goes no further.
template <class Call>
void Guarded(xq_module& handle, Call&& call) noexcept {
  try {
    call();
  } catch (...) {
    NoteCallbackFailure(handle);
  }
}

// The status, French message and system error number (0: none) of the
// exception being handled.
xq_status Translate(std::string& message, int& error_number) noexcept;

// Runs the body of an interface function: counts the call, turns every
// exception into its status, reports a callback's failure at the end of the
// outermost call, and sets the handle's last error.
template <class Body>
xq_status Enter(xq_module* handle, Body&& body) noexcept {
  if (handle == nullptr) return XQ_ERR_ARGUMENT;
  const bool outermost = handle->depth == 0;
  if (outermost) handle->callback_failed = false;
  ++handle->depth;
  std::string message;
  int error_number = 0;
  xq_status status = XQ_OK;
  try {
    status = body();
  } catch (...) {
    status = Translate(message, error_number);
  }
  --handle->depth;
  // A callback that threw asked the operation to stop: whatever it ended with
  // (a result, or an interrupted packing), the failure is the callback's.
  if (outermost && handle->callback_failed) {
    status = XQ_ERR_CALLBACK;
    message.swap(handle->callback_message);
    error_number = 0;
  }
  handle->last_errno = error_number;
  try {
    handle->last_error = std::move(message);
  } catch (...) {
    handle->last_error.clear();
  }
  return status;
}

// Refuses, as XQ_ERR_BUSY, what must not start from inside one of the
// handle's callbacks: the six operations and xq_destroy(). Called within
// Enter, where this call already counts in the depth.
void RefuseInsideCallback(const xq_module& handle);

// Refuses a NULL where a pointer is required: XQ_ERR_ARGUMENT, naming it.
void Require(const void* pointer, const char* name);
// A text that may be NULL, read as empty.
inline std::string TextOrEmpty(const char* text) {
  return text != nullptr ? text : "";
}

}  // namespace xmodemquarvel::capi

// How the failures of the C++ interface become statuses of the C interface.
#include <new>
#include <stdexcept>
#include <system_error>

#include "capi/Handle.h"
#include "module/ModuleXmodemImpl.h"

namespace xmodemquarvel::capi {
namespace {

struct ArgumentMissing {
  const char* name;
};

// A call that must not run from inside a callback of its handle.
struct InsideCallback {};

// Without the C++ class's name: the host knows a handle, not the object.
constexpr const char* kBusy = "Appel impossible depuis une fonction de rappel de ce module";

// std::system_error's what() is "TEXT: the system's own description"; the
// host gets the French TEXT alone.
std::string FrenchPart(const std::system_error& e) {
  std::string text = e.what();
  const std::string tail = ": " + e.code().message();
  if (text.size() > tail.size() && text.ends_with(tail)) text.resize(text.size() - tail.size());
  return text;
}

// An errno value, for the codes that are one.
int SystemNumber(const std::error_code& code) {
  const bool is_errno =
      code.category() == std::generic_category() || code.category() == std::system_category();
  return is_errno ? code.value() : 0;
}

}  // namespace

void Require(const void* pointer, const char* name) {
  if (pointer == nullptr) throw ArgumentMissing{name};
}

void RefuseInsideCallback(const xq_module& handle) {
  if (handle.depth > 1) throw InsideCallback{};
}

xq_status Translate(std::string& message, int& error_number) noexcept {
  error_number = 0;
  try {
    try {
      throw;
    } catch (const ArgumentMissing& e) {
      message = std::string("Argument manquant : ") + e.name;
      return XQ_ERR_ARGUMENT;
    } catch (const InsideCallback&) {
      message = kBusy;
      return XQ_ERR_BUSY;
    } catch (const OperationRunning&) {
      // Kept for safety: the check of the depth refuses these calls first.
      message = kBusy;
      return XQ_ERR_BUSY;
    } catch (const SerialPortError& e) {
      error_number = SystemNumber(e.code());
      message = e.Message();
      return XQ_ERR_PORT;
    } catch (const std::system_error& e) {
      error_number = SystemNumber(e.code());
      message = FrenchPart(e);
      return XQ_ERR_FILE;
    } catch (const std::bad_alloc&) {
      message = "Mémoire insuffisante";
      return XQ_ERR_MEMORY;
    } catch (const std::exception& e) {
      message = e.what();
      return XQ_ERR_INTERNAL;
    } catch (...) {
      message = "Erreur inconnue";
      return XQ_ERR_INTERNAL;
    }
  } catch (...) {
    // Even the message could not be kept.
    message.clear();
    return XQ_ERR_MEMORY;
  }
}

void NoteCallbackFailure(xq_module& handle) noexcept {
  if (!handle.callback_failed) {
    handle.callback_failed = true;
    try {
      try {
        throw;
      } catch (const std::exception& e) {
        handle.callback_message =
            std::string("Exception dans une fonction de rappel : ") + e.what();
      } catch (...) {
        handle.callback_message = "Exception dans une fonction de rappel";
      }
    } catch (...) {
      handle.callback_message.clear();
    }
  }
  handle.module->Abort();
}

}  // namespace xmodemquarvel::capi

// Creating a handle and wiring the object's events and yield to the host's
// C callbacks.
#include "capi/Handle.h"

#include <cerrno>

#include "module/ModuleXmodemImpl.h"

namespace xmodemquarvel::capi {
namespace {

void WireBloc(xq_module* h, std::function<void(int32_t&)>& event,
              xq_module::Bloc xq_module::*which) {
  event = [h, which](int32_t& count) {
    const xq_module::Bloc& bloc = h->*which;
    if (bloc.callback != nullptr) Guarded(*h, [&] { bloc.callback(bloc.user, &count); });
  };
}

}  // namespace

std::unique_ptr<xq_module> NewHandle(HostOptions options, xq_yield_callback yield, void* user) {
  auto handle = std::make_unique<xq_module>();
  xq_module* h = handle.get();
  h->yield = yield;
  h->yield_user = user;
  if (yield != nullptr) {
    options.yield = [h] { Guarded(*h, [h] { h->yield(h->yield_user); }); };
  }
  h->module = std::make_unique<ModuleXmodem>(std::move(options));
  ModuleXmodem& m = *h->module;
  m.Error = [h](std::string& description) {
    const std::string reason = h->module->ErrorDescription();
    h->error_event = reason.empty() ? description : description + " : " + reason;
    if (h->on_error != nullptr)
      Guarded(*h, [&] { h->on_error(h->on_error_user, description.c_str()); });
  };
  WireBloc(h, m.BlocPacked, &xq_module::packed);
  WireBloc(h, m.BlocUnpacked, &xq_module::unpacked);
  WireBloc(h, m.BlocSended, &xq_module::sended);
  WireBloc(h, m.BlocReceived, &xq_module::received);
  m.TraceAppended = [h](const std::string& text) {
    if (h->on_trace != nullptr)
      Guarded(*h, [&] { h->on_trace(h->on_trace_user, text.c_str(), text.size()); });
  };
  m.TransferAccepted = [h](char direction, std::int64_t position) {
    if (h->on_accepted != nullptr)
      Guarded(*h, [&] { h->on_accepted(h->on_accepted_user, direction, position); });
  };
  return handle;
}

}  // namespace xmodemquarvel::capi

using namespace xmodemquarvel;

extern "C" {

const char* xq_version(void) {
  return XMODEMQUARVEL_VERSION_STRING;
}

int32_t xq_version_number(void) {
  return XQ_VERSION_NUMBER;
}

xq_status xq_create(xq_module** out) {
  return xq_create_hosted(nullptr, nullptr, 100, out);
}

xq_status xq_create_hosted(xq_yield_callback yield, void* user, int32_t max_yield_interval_ms,
                           xq_module** out) {
  if (out == nullptr) return XQ_ERR_ARGUMENT;
  *out = nullptr;
  try {
    HostOptions options;
    options.max_yield_interval = std::chrono::milliseconds(max_yield_interval_ms);
    *out = capi::NewHandle(std::move(options), yield, user).release();
    return XQ_OK;
  } catch (const std::bad_alloc&) {
    return XQ_ERR_MEMORY;
  } catch (...) {
    return XQ_ERR_INTERNAL;
  }
}

xq_status xq_destroy(xq_module* module) {
  if (module == nullptr) return XQ_OK;
  if (module->depth > 0) {
    return capi::Enter(module, [module] {
      capi::RefuseInsideCallback(*module);
      return XQ_OK;
    });
  }
  delete module;
  return XQ_OK;
}

const char* xq_last_error(const xq_module* module) {
  return module != nullptr ? module->last_error.c_str() : "Module nul";
}

int xq_last_errno(const xq_module* module) {
  return module != nullptr ? module->last_errno : EINVAL;
}

}  // extern "C"

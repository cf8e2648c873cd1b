// The error record, the properties and the registration of the callbacks.
#include "capi/Handle.h"

using namespace xmodemquarvel;
using capi::Enter;
using capi::Require;

namespace {

// A string getter: the text goes into the handle's slot for it.
template <class Get>
xq_status HandOut(xq_module* h, xq_module::Slot slot, const char** out, size_t* length, Get&& get) {
  if (out != nullptr) *out = "";
  if (length != nullptr) *length = 0;
  return Enter(h, [&] {
    Require(out, "out");
    *out = h->Hand(slot, get(*h->module), length);
    return XQ_OK;
  });
}

// A boolean getter: 0 or 1, and 0 on a failure.
template <class Get>
xq_status GetFlag(xq_module* h, int* out, Get&& get) {
  if (out != nullptr) *out = 0;
  return Enter(h, [&] {
    Require(out, "out");
    *out = get(*h->module) ? 1 : 0;
    return XQ_OK;
  });
}

xq_status SetBloc(xq_module* h, xq_module::Bloc xq_module::*which, xq_bloc_callback callback,
                  void* user) {
  return Enter(h, [&] {
    h->*which = {callback, user};
    return XQ_OK;
  });
}

}  // namespace

extern "C" {

xq_status xq_error_source(xq_module* h, const char** out, size_t* length) {
  return HandOut(h, xq_module::kSource, out, length, [](auto& m) { return m.ErrorSource(); });
}

xq_status xq_error_description(xq_module* h, const char** out, size_t* length) {
  return HandOut(h, xq_module::kDescription, out, length,
                 [](auto& m) { return m.ErrorDescription(); });
}

xq_status xq_set_visible(xq_module* h, int visible) {
  return Enter(h, [&] {
    h->module->Visible(visible != 0);
    return XQ_OK;
  });
}

xq_status xq_get_visible(xq_module* h, int* out) {
  return GetFlag(h, out, [](auto& m) { return m.Visible(); });
}

xq_status xq_port_open(xq_module* h, int* out) {
  return GetFlag(h, out, [](auto& m) { return m.PortOpen(); });
}

xq_status xq_set_trace(xq_module* h, int on) {
  return Enter(h, [&] {
    h->module->Trace(on != 0);
    return XQ_OK;
  });
}

xq_status xq_set_comm_port(xq_module* h, int32_t port) {
  return Enter(h, [&] {
    h->module->CommPort(port);
    return XQ_OK;
  });
}

xq_status xq_set_device(xq_module* h, const char* path) {
  return Enter(h, [&] {
    Require(path, "path");
    h->module->Device(path);
    return XQ_OK;
  });
}

xq_status xq_set_settings(xq_module* h, const char* settings) {
  return Enter(h, [&] {
    Require(settings, "settings");
    h->module->Settings(settings);
    return XQ_OK;
  });
}

xq_status xq_get_data_type(xq_module* h, const char** out, size_t* length) {
  return HandOut(h, xq_module::kDataType, out, length, [](auto& m) { return m.DataType(); });
}

xq_status xq_set_data_type(xq_module* h, const char* value) {
  return Enter(h, [&] {
    Require(value, "value");
    h->module->DataType(value);
    return XQ_OK;
  });
}

xq_status xq_get_caption(xq_module* h, const char** out, size_t* length) {
  return HandOut(h, xq_module::kCaption, out, length, [](auto& m) { return m.Caption(); });
}

xq_status xq_get_trace_text(xq_module* h, const char** out, size_t* length) {
  return HandOut(h, xq_module::kTraceText, out, length, [](auto& m) { return m.TraceText(); });
}

xq_status xq_on_error(xq_module* h, xq_error_callback callback, void* user) {
  return Enter(h, [&] {
    h->on_error = callback;
    h->on_error_user = user;
    return XQ_OK;
  });
}

xq_status xq_on_bloc_packed(xq_module* h, xq_bloc_callback callback, void* user) {
  return SetBloc(h, &xq_module::packed, callback, user);
}

xq_status xq_on_bloc_unpacked(xq_module* h, xq_bloc_callback callback, void* user) {
  return SetBloc(h, &xq_module::unpacked, callback, user);
}

xq_status xq_on_bloc_sended(xq_module* h, xq_bloc_callback callback, void* user) {
  return SetBloc(h, &xq_module::sended, callback, user);
}

xq_status xq_on_bloc_received(xq_module* h, xq_bloc_callback callback, void* user) {
  return SetBloc(h, &xq_module::received, callback, user);
}

xq_status xq_on_trace_appended(xq_module* h, xq_trace_callback callback, void* user) {
  return Enter(h, [&] {
    h->on_trace = callback;
    h->on_trace_user = user;
    return XQ_OK;
  });
}

xq_status xq_on_transfer_accepted(xq_module* h, xq_transfer_accepted_callback callback,
                                  void* user) {
  return Enter(h, [&] {
    h->on_accepted = callback;
    h->on_accepted_user = user;
    return XQ_OK;
  });
}

}  // extern "C"

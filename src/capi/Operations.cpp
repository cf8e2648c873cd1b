// The methods: packing, connection, transfers, and the abort request.
#include <functional>

#include "capi/Handle.h"
#include "xmodemquarvel/Enums.h"

using namespace xmodemquarvel;
using capi::Enter;
using capi::RefuseInsideCallback;
using capi::Require;
using capi::TextOrEmpty;

// The C constants are the C++ enums' values.
constexpr bool Same(int32_t c, int32_t cpp) {
  return c == cpp;
}
static_assert(Same(XQ_RV_FALSE, rvFalse) && Same(XQ_RV_TRUE, rvTrue) &&
              Same(XQ_RV_TIMER, rvTimer) && Same(XQ_RV_CTS, rvCTS) && Same(XQ_RV_REFUSE, rvRefuse));
static_assert(Same(XQ_SV_ACCEPT, svAccept) && Same(XQ_SV_FALSE_PROTOCOL, svFalseProtocol) &&
              Same(XQ_SV_FALSE_USER, svFalseUser) && Same(XQ_SV_FALSE_PASSWORD, svFalsePassWord) &&
              Same(XQ_SV_FALSE_SENS, svFalseSens) && Same(XQ_SV_FALSE_REPRISE, svFalseReprise) &&
              Same(XQ_SV_FILE_NOT_EXISTS, svFileNotExists) &&
              Same(XQ_SV_ALREADY_TRANSMITED, svAlreadyTransmited) &&
              Same(XQ_SV_FALSE_QUALIFICATION, svFalseQualification));
static_assert(Same(XQ_MMV_COMMANDE, mmvCommande) && Same(XQ_MMV_CONNECTE, mmvConnecté));

namespace {

// SendFile and ReceiveFile take the same four texts.
template <class Transfer>
xq_status RunTransfer(xq_module* h, const char* user_id, const char* psw, const char* file_name,
                      const char* pack_type, xq_return_value* result, Transfer transfer) {
  if (result != nullptr) *result = XQ_RV_FALSE;
  return Enter(h, [&] {
    RefuseInsideCallback(*h);
    Require(user_id, "user_id");
    Require(psw, "psw");
    Require(file_name, "file_name");
    Require(pack_type, "pack_type");
    Require(result, "result");
    *result = std::invoke(transfer, *h->module, user_id, psw, file_name, pack_type);
    return XQ_OK;
  });
}

}  // namespace

extern "C" {

xq_status xq_pack_file(xq_module* h, const char* source, const char* packed) {
  return Enter(h, [&] {
    RefuseInsideCallback(*h);
    Require(source, "source");
    Require(packed, "packed");
    h->module->PackFile(source, packed);
    return XQ_OK;
  });
}

xq_status xq_unpack_file(xq_module* h, const char* source, const char* unpacked) {
  return Enter(h, [&] {
    RefuseInsideCallback(*h);
    Require(source, "source");
    Require(unpacked, "unpacked");
    h->module->UnPackFile(source, unpacked);
    return XQ_OK;
  });
}

xq_status xq_connect(xq_module* h, int32_t tentatives, const char* prefix, const char* init_string,
                     xq_return_value* result) {
  if (result != nullptr) *result = XQ_RV_FALSE;
  const xq_status status = Enter(h, [&] {
    RefuseInsideCallback(*h);
    Require(result, "result");
    h->error_event.clear();
    *result = h->module->Connect(tentatives, TextOrEmpty(prefix), TextOrEmpty(init_string));
    return XQ_OK;
  });
  // The port failed: the record is empty again, the reason is the handle's.
  if (status == XQ_OK && *result == XQ_RV_FALSE && !h->error_event.empty())
    h->last_error.swap(h->error_event);
  return status;
}

xq_status xq_disconnect(xq_module* h) {
  return Enter(h, [&] {
    h->module->Disconnect();
    return XQ_OK;
  });
}

xq_status xq_send_file(xq_module* h, const char* user_id, const char* psw, const char* file_name,
                       const char* pack_type, xq_return_value* result) {
  return RunTransfer(h, user_id, psw, file_name, pack_type, result, &ModuleXmodem::SendFile);
}

xq_status xq_receive_file(xq_module* h, const char* user_id, const char* psw, const char* file_name,
                          const char* pack_type, xq_return_value* result) {
  return RunTransfer(h, user_id, psw, file_name, pack_type, result, &ModuleXmodem::ReceiveFile);
}

xq_status xq_receive_file_fd(xq_module* h, const char* user_id, const char* psw,
                             const char* file_name, const char* pack_type, int fd,
                             xq_return_value* result) {
  return RunTransfer(
      h, user_id, psw, file_name, pack_type, result,
      [fd](ModuleXmodem& m, const std::string& u, const std::string& p, const std::string& f,
           const std::string& t) { return m.ReceiveFileToDescriptor(u, p, f, t, fd); });
}

// Touches nothing but the object's atomic request: callable from anywhere.
xq_status xq_abort(xq_module* h) {
  if (h == nullptr) return XQ_ERR_ARGUMENT;
  h->module->Abort();
  return XQ_OK;
}

}  // extern "C"

#include "journal/postgresql/LibPq.h"

#include <dlfcn.h>

#include <string>
#include <type_traits>

#include "journal/postgresql/PgError.h"

namespace xmodemq {

LibPq LoadLibPq(const char* name) {
  const auto fail = [name](const std::string& why) {
    return PgError(PgError::Kind::kOther, "la bibliothèque " + std::string(name) +
                                              " de PostgreSQL ne peut pas être chargée : " + why);
  };
  // Never closed: its functions serve until the process ends.
  void* const library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    throw fail(why != nullptr ? why : "raison inconnue");
  }
  LibPq pq{};
  const auto bind = [&](auto& function, const char* symbol) {
    void* const address = dlsym(library, symbol);
    if (address == nullptr) throw fail(std::string("la fonction ") + symbol + " manque");
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(address);
  };
  bind(pq.conninfoParse, "PQconninfoParse");
  bind(pq.conninfoFree, "PQconninfoFree");
  bind(pq.freemem, "PQfreemem");
  bind(pq.connectdbParams, "PQconnectdbParams");
  bind(pq.status, "PQstatus");
  bind(pq.connectionUsedPassword, "PQconnectionUsedPassword");
  bind(pq.connectionNeedsPassword, "PQconnectionNeedsPassword");
  bind(pq.errorMessage, "PQerrorMessage");
  bind(pq.setNoticeProcessor, "PQsetNoticeProcessor");
  bind(pq.finish, "PQfinish");
  bind(pq.exec, "PQexec");
  bind(pq.execParams, "PQexecParams");
  bind(pq.resultStatus, "PQresultStatus");
  bind(pq.resultErrorField, "PQresultErrorField");
  bind(pq.resultErrorMessage, "PQresultErrorMessage");
  bind(pq.clear, "PQclear");
  bind(pq.ntuples, "PQntuples");
  bind(pq.getisnull, "PQgetisnull");
  bind(pq.getvalue, "PQgetvalue");
  bind(pq.getlength, "PQgetlength");
  return pq;
}

const LibPq& Pq() {
  // A failure is not kept: the next call tries again and throws again.
  static const LibPq pq = LoadLibPq(kLibPqName);
  return pq;
}

}  // namespace xmodemq

#pragma once

#include <libpq-fe.h>

namespace xmodemq {

// The functions of libpq that the PostgreSQL journal calls. libpq is loaded
// the first time a PostgreSQL address is read, not when xmodemq starts: with
// the TLS, Kerberos and LDAP libraries it brings, all bound at load time, it
// took about 7 ms of every start of every command, while only a journal on
// PostgreSQL needs it.
struct LibPq {
  decltype(&::PQconninfoParse) conninfoParse;
  decltype(&::PQconninfoFree) conninfoFree;
  decltype(&::PQfreemem) freemem;
  decltype(&::PQconnectdbParams) connectdbParams;
  decltype(&::PQstatus) status;
  decltype(&::PQconnectionUsedPassword) connectionUsedPassword;
  decltype(&::PQconnectionNeedsPassword) connectionNeedsPassword;
  decltype(&::PQerrorMessage) errorMessage;
  decltype(&::PQsetNoticeProcessor) setNoticeProcessor;
  decltype(&::PQfinish) finish;
  decltype(&::PQexec) exec;
  decltype(&::PQexecParams) execParams;
  decltype(&::PQresultStatus) resultStatus;
  decltype(&::PQresultErrorField) resultErrorField;
  decltype(&::PQresultErrorMessage) resultErrorMessage;
  decltype(&::PQclear) clear;
  decltype(&::PQntuples) ntuples;
  decltype(&::PQgetisnull) getisnull;
  decltype(&::PQgetvalue) getvalue;
  decltype(&::PQgetlength) getlength;
};

// The soname xmodemq loads, that of the libpq5 package it depends on.
inline constexpr const char* kLibPqName = "libpq.so.5";

// libpq, loaded once for the whole process. Throws PgError (kOther) naming
// the library and why it could not be loaded or lacks a function.
const LibPq& Pq();
// Loads `name` as libpq; throws like Pq(). For tests.
LibPq LoadLibPq(const char* name);

// Frees what PQconninfoParse returned, for std::unique_ptr.
struct ConninfoFree {
  void operator()(PQconninfoOption* options) const { Pq().conninfoFree(options); }
};

}  // namespace xmodemq

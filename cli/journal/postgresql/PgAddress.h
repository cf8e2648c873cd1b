#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace xmodemq {

// How long a connection waits: for the server to answer (libpq's
// connect_timeout, whole seconds, per host tried) and for any one statement
// (the session's statement_timeout).
struct PgLimits {
  std::chrono::seconds connect{10};
  std::chrono::milliseconds statement{30'000};
};

// The keywords and values that libpq connects with for `address` (a
// postgresql:// URI or "key=value" words): those the address sets, plus
// connect_timeout, tcp_user_timeout (the statement's limit) and TCP
// keepalives (10 s idle, 3 probes 5 s apart) where it sets none, so that a
// database that falls silent ends a wait as a slow one does, plus
// sslmode=verify-full when it sets
// no sslmode and names a host that is neither the loopback ("localhost",
// 127.0.0.0/8, "::1") nor a Unix socket (a folder, "@" an abstract one, no
// host at all). A remote database is reached over TLS whose certificate
// names the host; the address may say otherwise (sslmode=require, …). The
// hosts are those the address names, else PGHOST's; an address that names
// only a service leaves sslmode to the service file. Throws PgError (kOther)
// for an address libpq cannot read, without its password.
std::vector<std::pair<std::string, std::string>> ConnectionParameters(const std::string& address,
                                                                      const PgLimits& limits);

// Whether `host` (one of a host list) is the loopback or a Unix socket.
bool LocalHost(const std::string& host);

// The address for people: host, port, database and user, never the
// password ("base « journal » sur db.example:5432, rôle xmodemq").
std::string DescribeAddress(const std::string& address);

}  // namespace xmodemq

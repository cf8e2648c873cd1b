#!/bin/bash
# The journal's benchmark with PostgreSQL beside SQLite: starts a server of
# its own (initdb and pg_ctl from `pg_config --bindir`, as the postgres user
# when run as root), on a Unix socket in a temporary folder and no TCP, with
# its default durability (fsync on), runs journal_bench against it, and
# stops it.
#   bench/journal/run-postgresql.sh BUILD/bench/journal/journal_bench [transfers]
set -euo pipefail
bench=$(realpath "$1")
transfers=${2:-2000}
bin=$(pg_config --bindir)
folder=$(mktemp -d /tmp/xmq-pgbench.XXXXXX)
as=()
if [ "$(id -u)" = 0 ]; then
  chown postgres: "$folder"
  as=(runuser -u postgres --)
fi
stop() {
  "${as[@]}" "$bin/pg_ctl" -D "$folder/data" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$folder"
}
trap stop EXIT
"${as[@]}" "$bin/initdb" -D "$folder/data" -U postgres --auth-local=trust >/dev/null 2>&1
cat >>"$folder/data/postgresql.conf" <<EOF
listen_addresses = ''
unix_socket_directories = '$folder'
EOF
"${as[@]}" "$bin/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w start >/dev/null
work=$(mktemp -d /tmp/xmq-jbench.XXXXXX)
chmod 700 "$work"
"$bench" "$transfers" "$work" "postgresql://postgres@${folder//\//%2F}/postgres"
rm -rf "$work"

#!/bin/bash
# The queue's benchmark on a PostgreSQL server of its own, started and
# stopped as for the journal's benchmark (fsync on):
#   bench/queue/run-postgresql.sh BUILD/bench/queue/queue_bench [files]
exec "$(dirname "$0")/../journal/run-postgresql.sh" "$1" "${2:-400}"

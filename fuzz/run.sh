#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs them for SECONDS seconds in all (default
# 30), shared evenly:
# - the packed-format targets, checked against the plain model of the tests;
# - the Telnet stream of remote lines;
# - the line targets, which give the component arbitrary answers of the modem
#   and the server on the virtual clock (LineFuzz.h), seeded with exchanges
#   recorded from the simulator at the start;
# - the simulated server, given any opening record.
# Exits non-zero on any crash, sanitizer report or hang; inputs that fail are
# kept as fuzz/crash-* (timeout-*, leak-*). TARGETS="send_fuzzer ..." runs
# some of the targets only.
set -euo pipefail

seconds=${1:-30}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cxx=${FUZZ_CXX:-clang++}
build=$(mktemp -d "${TMPDIR:-/tmp}/xmq-fuzz.XXXXXX")
trap 'rm -rf "$build"' EXIT

flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
targets=(${TARGETS:-unpack_fuzzer roundtrip_fuzzer telnet_fuzzer connect_fuzzer send_fuzzer receive_fuzzer server_fuzzer})

# The library and the simulator, instrumented for coverage.
echo "== building the library and the simulator for fuzzing"
if ! { CXX="$cxx" cmake -S "$root" -B "$build/lib" -DCMAKE_BUILD_TYPE=Debug \
         -DCMAKE_CXX_FLAGS="$flags -fsanitize=fuzzer-no-link" -DXMODEMQUARVEL_WERROR=ON \
         -DXMODEMQUARVEL_BUILD_TESTS=OFF -DXMODEMQUARVEL_BUILD_BENCHMARKS=OFF \
         -DXMODEMQUARVEL_BUILD_CLI=OFF -DXMODEMQUARVEL_BUILD_EXAMPLES=OFF &&
       cmake --build "$build/lib" -j2 --target xmodemquarvel_static xmodemquarvel_sim; } \
     >"$build/lib.log" 2>&1; then
  tail -n 40 "$build/lib.log"
  exit 1
fi
libs=("$build/lib/src/sim/libxmodemquarvel_sim.a" "$build/lib/libxmodemquarvel.a")
common=(-std=c++20 $flags -Wall -Wextra -Wpedantic -Werror -I"$root/src" -I"$build/lib/src"
        -I"$root/include" -I"$root/tests")

for t in "${targets[@]}"; do
  case $t in
    # The line targets: one source, built for each call.
    connect_fuzzer | send_fuzzer | receive_fuzzer)
      call=${t%_fuzzer}
      source=(-DXMQ_LINE_CALL="k${call^}" "$root/fuzz/line_fuzzer.cpp") ;;
    *) source=("$root/fuzz/$t.cpp") ;;
  esac
  "$cxx" "${common[@]}" -fsanitize=fuzzer "${source[@]}" "${libs[@]}" -o "$build/$t"
done
"$cxx" "${common[@]}" "$root/fuzz/line_seeds.cpp" "${libs[@]}" -o "$build/line_seeds"
# The line targets and their recorder write their files there.
export TMPDIR="$build"
"$build/line_seeds" "$build/seeds" >/dev/null

each=$((seconds / ${#targets[@]} > 0 ? seconds / ${#targets[@]} : 1))
status=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus-$t" "$build/seeds/${t%_fuzzer}"
  echo "== $t for ${each}s"
  if ! UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/$t" -max_total_time="$each" -max_len=4096 -timeout=60 -print_final_stats=1 \
      -artifact_prefix="$root/fuzz/" "$build/corpus-$t" "$build/seeds/${t%_fuzzer}" \
      2>"$build/$t.log"; then
    tail -n 60 "$build/$t.log"
    echo "fuzz target $t failed" >&2
    status=1
  else
    grep -E '^(Done|stat::number_of_executed_units)' "$build/$t.log" || true
  fi
done
exit "$status"

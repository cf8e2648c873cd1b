#!/usr/bin/env bash
# Builds the packed-format fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Telnet stream's one, and runs each for
# SECONDS seconds (default 30).
# Exits non-zero on any crash or sanitizer report; inputs that fail are kept
# as fuzz/crash-*. The targets check against the plain model of the tests.
set -euo pipefail

seconds=${1:-30}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cxx=${FUZZ_CXX:-clang++}
build=$(mktemp -d "${TMPDIR:-/tmp}/xmq-fuzz.XXXXXX")
trap 'rm -rf "$build"' EXIT

common=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined
        -fno-sanitize-recover=all -Wall -Wextra -Wpedantic -Werror
        -I"$root/src" -I"$root/tests")
sources=(pack/Packer pack/PackFiles pack/Unpacker platform/TelnetCodec)
targets=(unpack_fuzzer roundtrip_fuzzer telnet_fuzzer)
objects=()
for s in "${sources[@]}"; do objects+=("$build/${s##*/}.o"); done

for s in "${sources[@]}"; do
  "$cxx" "${common[@]}" -fsanitize=fuzzer-no-link -c "$root/src/$s.cpp" -o "$build/${s##*/}.o"
done
for t in "${targets[@]}"; do
  "$cxx" "${common[@]}" -fsanitize=fuzzer "$root/fuzz/$t.cpp" "${objects[@]}" \
    -o "$build/$t" 2>&1
done

status=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus-$t"
  echo "== $t for ${seconds}s"
  if ! UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/$t" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$root/fuzz/" "$build/corpus-$t" 2>"$build/$t.log"; then
    tail -n 60 "$build/$t.log"
    echo "fuzz target $t failed" >&2
    status=1
  else
    grep -E '^(Done|stat::number_of_executed_units)' "$build/$t.log" || true
  fi
done
exit "$status"

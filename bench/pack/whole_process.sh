#!/usr/bin/env bash
# Whole-process throughput of `xmodemq pack` and `xmodemq unpack` against
# `lz4 -1` and `lz4 -d` on files held in RAM.
#
#   bench/pack/whole_process.sh BUILD [MiB [RUNS [DIR]]]
#
# BUILD is a build folder holding cli/xmodemq and bench/pack/pack_bench.
# Writes MiB (default 200) of each billing corpus to DIR (default /dev/shm),
# then times RUNS (default 7) runs of each command, ours and lz4 taking
# turns so that load from other processes hits both, and prints the median
# times in seconds and the throughput of ours against lz4. Checks that both
# unpacked files equal the source; exits with 2 when packing is slower than
# lz4 -1 or unpacking slower than half of lz4 -d.
set -euo pipefail

build=${1:?build folder}
mib=${2:-200}
runs=${3:-7}
dir=${4:-/dev/shm}
xmodemq=$build/cli/xmodemq
bench=$build/bench/pack/pack_bench
work=$(mktemp -d "$dir/xmq-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Wall-clock seconds of one command.
seconds() {
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null
  t1=$(date +%s%N)
  awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.4f\n", ns / 1e9 }'
}

median() {
  sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

status=0
printf '%-8s %-7s %9s %9s %7s\n' corpus step ours lz4 speed
for corpus in billing dense; do
  src=$work/$corpus
  "$bench" --write "$corpus" "$mib" "$src"
  : >"$work/pack.t"
  : >"$work/lz4.t"
  : >"$work/unpack.t"
  : >"$work/lz4d.t"
  for ((i = 0; i < runs; ++i)); do
    seconds "$xmodemq" pack --replace "$src" "$src.xq" >>"$work/pack.t"
    seconds lz4 -1 -f -q "$src" "$src.lz4" >>"$work/lz4.t"
    seconds "$xmodemq" unpack --replace "$src.xq" "$src.out" >>"$work/unpack.t"
    seconds lz4 -d -f -q "$src.lz4" "$src.lz4out" >>"$work/lz4d.t"
  done
  size=$(stat -c %s "$src")
  # The unpacked file is the source filled up to whole 128-byte blocks.
  cmp -n "$size" "$src" "$src.out"
  cmp "$src" "$src.lz4out"
  for step in pack unpack; do
    if [[ $step == pack ]]; then ref=lz4 floor=1.0; else ref=lz4d floor=0.5; fi
    ours=$(median <"$work/$step.t")
    theirs=$(median <"$work/$ref.t")
    speed=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", b / a }')
    printf '%-8s %-7s %9.3f %9.3f %6sx\n' "$corpus" "$step" "$ours" "$theirs" "$speed"
    if awk -v s="$speed" -v f="$floor" 'BEGIN { exit !(s < f) }'; then status=2; fi
  done
  awk -v n="$size" -v a="$(stat -c %s "$src.xq")" -v b="$(stat -c %s "$src.lz4")" \
    -v c="$corpus" 'BEGIN { printf "%-8s ratio   %9.2f %9.2f\n", c, n / a, n / b }'
  rm -f "$src" "$src".*
done
if ((status != 0)); then
  echo "targets (pack >= 1.00x lz4 -1, unpack >= 0.50x lz4 -d): NOT met"
else
  echo "targets (pack >= 1.00x lz4 -1, unpack >= 0.50x lz4 -d): met"
fi
exit "$status"

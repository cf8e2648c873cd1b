#!/usr/bin/env bash
# Whole-process speed of `xmodemq pack` and `xmodemq unpack` against `lz4 -1`
# and `lz4 -d` (and `zstd -1`, `zstd -d` where zstd is installed) on files
# held in RAM, run the way a user runs them.
#
#   bench/pack/whole_process.sh [--no-floors] BUILD [MiB [RUNS [DIR]]]
#
# BUILD is a build folder holding cli/xmodemq and bench/pack/pack_bench.
# Writes MiB (default 200) of the billing and of the dense corpus to DIR
# (default /dev/shm), then times RUNS (default 7) runs of each command, ours
# and the others taking turns so that load from other processes hits all of
# them, each writing over the target of its previous run (ours with
# --replace, as the command refuses otherwise). Prints, for each step and
# peer, the median wall seconds of each with their spread (fastest-slowest
# run), the median CPU seconds, and how many times faster ours is: the
# median, and the spread, of the other's wall time over ours run by run (each
# of our runs is paired with the other's run that follows it), and the ratio
# of the median CPU times. The load average before and after says whether
# the machine was idle. Checks that every unpacked file equals its source.
#
# A run that fails stops everything with its messages and status 1: a
# refusal is never timed. Status 2 when, on the dense corpus, packing is
# less than 1.4 times as fast as lz4 -1 or unpacking less than 1.2 times as
# fast as lz4 -d (wall time); --no-floors leaves that out, for small runs on
# busy machines.
set -euo pipefail

floors=1
if [[ ${1:-} == --no-floors ]]; then
  floors=0
  shift
fi
build=${1:?build folder}
mib=${2:-200}
runs=${3:-7}
dir=${4:-/dev/shm}
xmodemq=$build/cli/xmodemq
bench=$build/bench/pack/pack_bench
for tool in "$xmodemq" "$bench"; do
  [[ -x $tool ]] || { echo "whole_process.sh: $tool is missing: build it first" >&2; exit 1; }
done
command -v lz4 >/dev/null || { echo "whole_process.sh: lz4 is not installed" >&2; exit 1; }
peers=(lz4)
if command -v zstd >/dev/null; then peers+=(zstd); fi
work=$(mktemp -d "$dir/xmq-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Runs a command, appending its wall and CPU seconds (user + system, of all
# its threads and of what it waited for) to the file named first. A failure
# prints what the command said and ends the benchmark.
timed() {
  local times=$1 rc=0 TIMEFORMAT='%3R %3U %3S'
  shift
  { time "$@" >"$work/out.log" 2>&1; } 2>"$work/time.txt" || rc=$?
  if ((rc != 0)); then
    echo "whole_process.sh: this run failed (status $rc): $*" >&2
    cat "$work/out.log" >&2
    exit 1
  fi
  awk '{ printf "%s %.3f\n", $1, $2 + $3 }' "$work/time.txt" >>"$times"
}

# The median, the smallest and the largest value of a column of numbers.
stats() {
  sort -n | awk '{ v[NR] = $1 } END { printf "%s %s %s\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
}
column() { awk -v c="$2" '{ print $c }' "$1" | stats; }
# Run by run, the first file's wall time over the second's.
pairs() { paste -d ' ' "$1" "$2" | awk '{ printf "%.3f\n", ($3 > 0 ? $1 / $3 : 0) }' | stats; }
load() { cut -d ' ' -f 1-3 /proc/loadavg; }

echo "load average before: $(load) ($(nproc) processors); $runs runs of $mib MiB each"
status=0
printf '%-7s %-6s %-4s %-19s %-19s %6s %6s %-17s %5s\n' corpus step peer \
  'ours wall (spread)' 'peer wall (spread)' 'ours' 'peer' 'wall x (spread)' 'cpu x'
printf '%-7s %-6s %-4s %-19s %-19s %6s %6s %-17s %5s\n' '' '' '' s s cpu-s cpu-s '' ''
for corpus in dense billing; do
  src=$work/$corpus
  "$bench" --write "$corpus" "$mib" "$src"
  size=$(stat -c %s "$src")
  rm -f "$work"/*.t
  for ((i = 0; i < runs; ++i)); do
    # Each writes over what its previous run wrote, as a user's second run does.
    timed "$work/pack.t" "$xmodemq" pack --replace "$src" "$src.xq"
    timed "$work/lz4-pack.t" lz4 -1 -f -q "$src" "$src.lz4"
    if [[ " ${peers[*]} " == *" zstd "* ]]; then
      timed "$work/zstd-pack.t" zstd -1 -f -q "$src" -o "$src.zst"
    fi
    timed "$work/unpack.t" "$xmodemq" unpack --replace "$src.xq" "$src.out"
    timed "$work/lz4-unpack.t" lz4 -d -f -q "$src.lz4" "$src.lz4out"
    if [[ " ${peers[*]} " == *" zstd "* ]]; then
      timed "$work/zstd-unpack.t" zstd -d -f -q "$src.zst" -o "$src.zstout"
    fi
  done
  # The unpacked file is the source filled up to whole 128-byte blocks.
  cmp -n "$size" "$src" "$src.out"
  [[ $(stat -c %s "$src.out") -eq $(((size + 127) / 128 * 128)) ]]
  cmp "$src" "$src.lz4out"
  [[ ! -e $src.zstout ]] || cmp "$src" "$src.zstout"
  for step in pack unpack; do
    for peer in "${peers[@]}"; do
      read -r ours_wall ours_min ours_max < <(column "$work/$step.t" 1)
      read -r peer_wall peer_min peer_max < <(column "$work/$peer-$step.t" 1)
      ours_cpu=$(column "$work/$step.t" 2 | cut -d ' ' -f 1)
      peer_cpu=$(column "$work/$peer-$step.t" 2 | cut -d ' ' -f 1)
      read -r wall wall_min wall_max < <(pairs "$work/$peer-$step.t" "$work/$step.t")
      cpu=$(awk -v c="$ours_cpu" -v d="$peer_cpu" 'BEGIN { printf "%.2f", (c > 0 ? d / c : 0) }')
      printf '%-7s %-6s %-4s %-19s %-19s %6.3f %6.3f %-17s %5s\n' "$corpus" "$step" "$peer" \
        "$ours_wall ($ours_min-$ours_max)" "$peer_wall ($peer_min-$peer_max)" "$ours_cpu" \
        "$peer_cpu" "$(printf '%.2f (%.2f-%.2f)' "$wall" "$wall_min" "$wall_max")" "$cpu"
      if [[ $corpus == dense && $peer == lz4 ]]; then
        floor=$([[ $step == pack ]] && echo 1.4 || echo 1.2)
        if awk -v s="$wall" -v f="$floor" 'BEGIN { exit !(s < f) }'; then status=2; fi
      fi
    done
  done
  awk -v n="$size" -v a="$(stat -c %s "$src.xq")" -v b="$(stat -c %s "$src.lz4")" \
    -v c="$corpus" 'BEGIN { printf "%-7s ratio  ours %.2f, lz4 -1 %.2f\n", c, n / a, n / b }'
  rm -f "$src" "$src".*
done
echo "load average after: $(load)"
echo "goals: pack >= 2x lz4 -1 and unpack >= 1.5x lz4 -d; at the least 1.4x and 1.2x on dense"
if ((floors == 0)); then exit 0; fi
if ((status != 0)); then
  echo "dense, wall time: pack >= 1.4x lz4 -1, unpack >= 1.2x lz4 -d: NOT met"
else
  echo "dense, wall time: pack >= 1.4x lz4 -1, unpack >= 1.2x lz4 -d: met"
fi
exit "$status"

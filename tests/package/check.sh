#!/usr/bin/env bash
# check.sh BUILD_DIR SCRATCH_DIR SOURCE_DIR
# What an installation gives its users: the project installed into a scratch
# prefix with the multiarch library folder, C++17 and C hosts built against it
# through find_package and pkg-config and run (against `xmodemq simulate`
# too, one of them interrupted by SIGINT and resumed), a Python host, the
# versions (a 1.x request refused), the versioned exported symbols, the manual
# pages (debs.sh checks the Debian packages).
set -euo pipefail
build=$1 scratch=$2 source=$3
prefix=$scratch/prefix
rm -rf "$scratch"
mkdir -p "$scratch"
fail() { echo "FAILED: $*" >&2; exit 1; }
cmake --install "$build" --prefix "$prefix" >/dev/null
multiarch=$(gcc -print-multiarch)
libdir=$prefix/lib/$multiarch
export LD_LIBRARY_PATH="$libdir:${LD_LIBRARY_PATH:-}"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
flags=(-std=c99 -pedantic -Wall -Wextra -Werror)

echo "== installed where a Debian system looks, named by its own absolute paths"
[ -e "$libdir/libxmodemquarvel.so" ] && [ -e "$libdir/cmake/XmodemQuarvel/XmodemQuarvelConfig.cmake" ] ||
  fail "nothing in $libdir"
[ "$(sed -n 's/^prefix=//p' "$libdir/pkgconfig/xmodemquarvel.pc")" = "$prefix" ] ||
  fail "the .pc file's prefix: $(head -3 "$libdir/pkgconfig/xmodemquarvel.pc")"
[ "$(pkg-config --variable=libdir xmodemquarvel)" = "$libdir" ] || fail "pkg-config's libdir"
[ "$(pkg-config --variable=includedir xmodemquarvel)" = "$prefix/include" ] || fail "includedir"

echo "== versions: the major is the soname's; a request for 1.x is refused"
version=$(pkg-config --modversion xmodemquarvel)
soname=$(readelf -d "$libdir/libxmodemquarvel.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libxmodemquarvel.so.${version%%.*}" ] || fail "soname $soname for version $version"
cmake -S "$source/tests/package/consumer" -B "$scratch/old" -DCMAKE_PREFIX_PATH="$prefix" \
  -DXQ_WANT=1.0 >"$scratch/old.log" 2>&1 && fail "find_package(XmodemQuarvel 1.0) accepted $version"
grep -q 'compatible with requested version "1.0"' "$scratch/old.log" ||
  { cat "$scratch/old.log"; fail "the 1.0 request failed for another reason"; }

echo "== C++17 hosts, find_package and pkg-config"
# Every public header builds alone as C++17.
for header in "$prefix"/include/xmodemquarvel/*.h; do
  echo "#include <xmodemquarvel/${header##*/}>" |
    g++ -std=c++17 -pedantic -Wall -Wextra -Werror -fsyntax-only -I "$prefix/include" -x c++ - ||
    fail "${header##*/} does not build as C++17"
done
# The target asks for C++17 and no more: the consumer sets no standard.
cmake -S "$source/tests/package/consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DXQ_SEND_FILE="$source/examples/send_file.cpp" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$scratch/cmake" >/dev/null
grep -q 'INTERFACE_COMPILE_FEATURES "cxx_std_17"' "$libdir/cmake/XmodemQuarvel/XmodemQuarvelTargets.cmake" &&
  ! grep -q -- '-std=[a-z+]*2[0a]' "$scratch/cmake/compile_commands.json" ||
  fail "the target does not ask for C++17 alone: $(grep -o 'cxx_std_[0-9]*' \
    "$libdir/cmake/XmodemQuarvel/XmodemQuarvelTargets.cmake")"
"$scratch/cmake/consumer" | grep -qx "Trace Xmodem - Quarvel" || fail "C++ consumer (find_package)"
for host in "$source/tests/package/consumer/main.cpp" "$source/examples/send_file.cpp"; do
  # shellcheck disable=SC2046
  g++ -std=c++17 -pedantic -Wall -Wextra -Werror "$host" -o "$scratch/pc-$(basename "$host" .cpp)" \
    $(pkg-config --cflags --libs xmodemquarvel) || fail "$host as C++17 (pkg-config)"
done
"$scratch/pc-main" | grep -qx "Trace Xmodem - Quarvel" || fail "C++ consumer (pkg-config)"

echo "== C host, find_package and pkg-config"
gcc "${flags[@]}" -fsyntax-only -I "$prefix/include" -x c "$prefix/include/xmodemquarvel/xq.h"
cmake -S "$source/tests/package/c-consumer" -B "$scratch/c-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DXQ_HOST_SOURCE="$source/examples/xq_host.c" >/dev/null
cmake --build "$scratch/c-cmake" >/dev/null
# shellcheck disable=SC2046
gcc "${flags[@]}" "$source/examples/xq_host.c" -o "$scratch/xq_host" \
  $(pkg-config --cflags --libs xmodemquarvel)
# shellcheck disable=SC2046
gcc "${flags[@]}" "$source/examples/xq_receive.c" -o "$scratch/xq_receive" \
  $(pkg-config --cflags --libs xmodemquarvel)

# Whole records and a short last one, spaces and digits, as billing files hold.
data=$scratch/data
mkdir -p "$data/store"
for i in $(seq 1 60); do printf 'FACT%06d  %-40s %012d  \n' "$i" "PATIENT $i" $((i * 7919)); done \
  > "$data/FACT0001.TXT"
"$prefix/bin/xmodemq" pack "$data/FACT0001.TXT" "$data/expected.pak" -q
for host in "$scratch/c-cmake/xq_host" "$scratch/xq_host"; do
  rm -f "$data/packed" "$data/unpacked"
  "$host" "$data/FACT0001.TXT" "$data/packed" "$data/unpacked" 2>/dev/null || fail "$host"
  cmp -s "$data/packed" "$data/expected.pak" || fail "$host: packed file differs from the C++ one"
  size=$(stat -c %s "$data/FACT0001.TXT")
  cmp -s -n "$size" "$data/unpacked" "$data/FACT0001.TXT" || fail "$host: round trip"
done

echo "== C host sends to xmodemq simulate"
"$prefix/bin/xmodemq" simulate --link "$data/modem" --store "$data/store" 2>"$data/sim.log" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do [ -e "$data/modem" ] && break; sleep 0.1; done
XMODEMQ_PASSWORD=mdp "$scratch/xq_host" "$data/FACT0001.TXT" "$data/packed" "$data/unpacked" \
  "$data/modem" PS0001 2>"$data/send.log" || { cat "$data/send.log" "$data/sim.log"; fail "send"; }
# The C++17 host sends the same file under another name.
cp "$data/FACT0001.TXT" "$data/FACT0002.TXT"
XMODEMQ_PASSWORD=mdp "$scratch/pc-send_file" "$data/modem" PS0001 "$data/FACT0002.TXT" \
  2>"$data/send2.log" || { cat "$data/send2.log" "$data/sim.log"; fail "send from C++17"; }
kill "$sim"
wait "$sim" || true
trap - EXIT
whole=$(( $(stat -c %s "$data/FACT0001.TXT") / 128 * 128 ))
for kept in FACT0001 FACT0002; do
  [ "$(stat -c %s "$data/store/$kept")" -eq "$whole" ] || fail "the server holds a wrong size of $kept"
  cmp -s -n "$whole" "$data/store/$kept" "$data/FACT0001.TXT" || fail "the server's $kept differs"
done

echo "== C host receives, is interrupted by SIGINT, then resumes (xq_receive)"
mkdir -p "$data/served" "$data/back"
for i in $(seq 1 100); do printf 'RECU%06d  %-40s %012d  \n' "$i" "PATIENT $i" $((i * 104729)); done \
  > "$data/served/RECU0001.TXT"
"$prefix/bin/xmodemq" simulate --link "$data/modem2" --serve "$data/served/RECU0001.TXT" \
  --store "$data/store" --baud 19200 2>"$data/sim2.log" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do [ -e "$data/modem2" ] && break; sleep 0.1; done
target=$data/back/RECU0001.TXT
XMODEMQ_PASSWORD=mdp "$scratch/xq_receive" "$data/modem2" PS0001 "$target" 2>"$data/recv1.log" &
host=$!
for _ in $(seq 1 300); do [ "$(stat -c %s "$target" 2>/dev/null || echo 0)" -ge 384 ] && break; sleep 0.05; done
kill -INT "$host"
status=0
wait "$host" || status=$?
[ "$status" -eq 130 ] || { cat "$data/recv1.log"; fail "xq_receive after SIGINT exited $status"; }
grep -q "Xmodem: ReceiveFile: Opération interrompue" "$data/recv1.log" || fail "no abort reported"
grep -q "compilé avec" "$data/recv1.log" && fail "the library's version is not the header's"
kept=$(stat -c %s "$target")
whole=$(( $(stat -c %s "$data/served/RECU0001.TXT") / 128 * 128 ))
[ $((kept % 128)) -eq 0 ] && [ "$kept" -ge 384 ] && [ "$kept" -lt "$whole" ] ||
  fail "the interrupted receive kept $kept bytes"
XMODEMQ_PASSWORD=mdp "$scratch/xq_receive" "$data/modem2" PS0001 "$target" 2>"$data/recv2.log" ||
  { cat "$data/recv2.log"; fail "xq_receive did not resume"; }
grep -q "reprise après $((kept / 128)) blocs" "$data/recv2.log" || fail "no resume announced"
cmp -s -n "$whole" "$target" "$data/served/RECU0001.TXT" && [ "$(stat -c %s "$target")" -eq "$whole" ] ||
  fail "the resumed file differs"
kill "$sim"
wait "$sim" || true
trap - EXIT

echo "== Python host: the module finds the library installed with it, and packs"
if [ -x /usr/bin/python3 ]; then
  rm -f "$data/py.pak"
  seen=$(env -u LD_LIBRARY_PATH PYTHONPATH="$prefix/lib/python3/dist-packages" /usr/bin/python3 -c '
import sys, xmodemquarvel as xq
with xq.Module() as module:
    module.pack_file(sys.argv[1], sys.argv[2])
print(xq.version())
print(*[l.split()[-1] for l in open("/proc/self/maps") if "libxmodemquarvel" in l][:1])' \
    "$data/FACT0001.TXT" "$data/py.pak")
  [ "$seen" = "$version
$(readlink -f "$libdir/$soname")" ] || fail "Python module: $seen"
  cmp -s "$data/py.pak" "$data/expected.pak" || fail "the Python host's packed file differs"
fi

echo "== exported symbols, every one of version XMODEMQUARVEL_2.0"
# The C interface, the public C++ classes and functions, nothing else.
classes='(ModuleXmodem|Clock|MonotonicClock|VirtualClock|SerialPort|SerialPortError)'
functions='(Utf8ToCp1252|Cp1252ToUtf8|ServerBaseName|pack::(Pack|Unpack)(Descriptors|Stream))'
nm -D --defined-only --demangle "$libdir/libxmodemquarvel.so" | cut -d' ' -f3- | sed 's/@@.*//' |
  grep -Ev "^(XMODEMQUARVEL_2.0|xq_[a-z_]+|(typeinfo name for |typeinfo for |vtable for )xmodemquarvel::$classes|xmodemquarvel::$classes::~?[A-Za-z]+(\[abi:cxx11\])?\(.*|xmodemquarvel::$functions(\[abi:cxx11\])?\(.*)$" \
  > "$scratch/internal-symbols" && { cat "$scratch/internal-symbols"; fail "internal symbols exported"; }
nm -D --defined-only "$libdir/libxmodemquarvel.so" | grep -v ' A ' | grep -v '@@XMODEMQUARVEL_2.0$' \
  > "$scratch/unversioned" && { cat "$scratch/unversioned"; fail "symbols without their version"; }
nm -D --defined-only "$libdir/libxmodemquarvel.so" | awk '$2 == "T" && /xq_/ {sub(/@.*/, "", $3); print $3}' \
  > "$scratch/c-functions"
[ "$(wc -l < "$scratch/c-functions")" -ge 35 ] || fail "the C interface is not exported"
for function in xq_version xq_version_number xq_get_wait_state_sized xq_last_errno; do
  grep -qx "$function" "$scratch/c-functions" || fail "$function is not exported"
done

echo "== manual pages"
page=$(ls "$prefix"/share/man/man1/xmodemq.1*)
MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" >"$scratch/man.txt" 2>"$scratch/man.err"
[ -s "$scratch/man.err" ] && { cat "$scratch/man.err"; fail "man warnings"; }
grep -q "xmodemq receive" "$scratch/man.txt" || fail "man page without its synopsis"
# Every function of the C interface is a page (most of them a link to their
# group's), and every page renders without a warning.
mkdir -p "$scratch/man3"
for page in "$prefix"/share/man/man3/*.3.gz; do
  [ -L "$page" ] && continue
  text=$scratch/man3/$(basename "$page" .3.gz)
  MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" >"$text" 2>"$scratch/man.err"
  [ -s "$scratch/man.err" ] && { cat "$scratch/man.err"; fail "$page: man warnings"; }
done
while read -r function; do
  page=$prefix/share/man/man3/$function.3.gz
  [ -e "$page" ] || fail "no manual page for $function"
  grep -q "$function" "$scratch/man3/$(basename "$(readlink -f "$page")" .3.gz)" ||
    fail "$function(3) does not name $function"
done < "$scratch/c-functions"

echo "== every status that xq.h gives a function is on its manual page"
awk '/\/\*\*/ { doc = ""; open = 1 }
  open { doc = doc " " $0 }
  /\*\// { open = 0 }
  /XMODEMQUARVEL_API/ && match($0, /xq_[a-z_]+\(/) {
    name = substr($0, RSTART, RLENGTH - 1)
    n = split(doc, words, /[^A-Z_]+/)
    for (i = 1; i <= n; i++) if (words[i] ~ /^XQ_ERR_/) print name, words[i]
    doc = ""
  }' "$prefix/include/xmodemquarvel/xq.h" | sort -u >"$scratch/statuses"
[ -s "$scratch/statuses" ] || fail "no status read from xq.h"
while read -r function status; do
  gzip -dc "$(readlink -f "$prefix/share/man/man3/$function.3.gz")" | grep -q "$status" ||
    fail "$function(3) does not list $status, which xq.h gives it"
done <"$scratch/statuses"

echo "package checks passed"

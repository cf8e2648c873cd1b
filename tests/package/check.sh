#!/usr/bin/env bash
# check.sh BUILD_DIR SCRATCH_DIR SOURCE_DIR
# What an installation gives its users: the project installed into a scratch
# prefix, C++ and C hosts built against it through find_package and
# pkg-config and run (the C hosts also against `xmodemq simulate`, one of them
# interrupted by SIGINT and resumed), the Python module, the exported
# symbols, the manual pages, and the Debian package.
set -euo pipefail
build=$1 scratch=$2 source=$3
prefix=$scratch/prefix
rm -rf "$scratch"
mkdir -p "$scratch"
fail() { echo "FAILED: $*" >&2; exit 1; }
cmake --install "$build" --prefix "$prefix" >/dev/null
export LD_LIBRARY_PATH="$prefix/lib:${LD_LIBRARY_PATH:-}"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
flags=(-std=c99 -pedantic -Wall -Wextra -Werror)

echo "== C++ host, find_package and pkg-config"
cmake -S "$source/tests/package/consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
"$scratch/cmake/consumer" | grep -qx "Trace Xmodem - Quarvel" || fail "C++ consumer (find_package)"
# shellcheck disable=SC2046
g++ -std=c++20 "$source/tests/package/consumer/main.cpp" -o "$scratch/pc-consumer" \
  $(pkg-config --cflags --libs xmodemquarvel)
"$scratch/pc-consumer" | grep -qx "Trace Xmodem - Quarvel" || fail "C++ consumer (pkg-config)"

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
kill "$sim"
wait "$sim" || true
trap - EXIT
whole=$(( $(stat -c %s "$data/FACT0001.TXT") / 128 * 128 ))
[ "$(stat -c %s "$data/store/FACT0001")" -eq "$whole" ] || fail "the server holds a wrong size"
cmp -s -n "$whole" "$data/store/FACT0001" "$data/FACT0001.TXT" || fail "the server's copy differs"

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

echo "== Python module finds the library installed with it"
if [ -x /usr/bin/python3 ]; then
  seen=$(env -u LD_LIBRARY_PATH PYTHONPATH="$prefix/lib/python3/dist-packages" /usr/bin/python3 -c '
import xmodemquarvel
print(xmodemquarvel.version())
print(*[l.split()[-1] for l in open("/proc/self/maps") if "libxmodemquarvel" in l][:1])')
  [ "$seen" = "$(pkg-config --modversion xmodemquarvel)
$(readlink -f "$prefix/lib/libxmodemquarvel.so.2")" ] || fail "Python module: $seen"
fi

echo "== exported symbols"
# The C interface, the public C++ classes and functions, nothing else.
classes='(ModuleXmodem|Clock|MonotonicClock|VirtualClock|SerialPort|SerialPortError)'
functions='(Utf8ToCp1252|Cp1252ToUtf8|ServerBaseName|pack::(Pack|Unpack)(Descriptors|Stream))'
nm -D --defined-only --demangle "$prefix/lib/libxmodemquarvel.so" | cut -d' ' -f3- | grep -Ev \
  "^(xq_[a-z_]+|(typeinfo name for |typeinfo for |vtable for )xmodemquarvel::$classes|xmodemquarvel::$classes::~?[A-Za-z]+(\[abi:cxx11\])?\(.*|xmodemquarvel::$functions(\[abi:cxx11\])?\(.*)$" \
  > "$scratch/internal-symbols" && { cat "$scratch/internal-symbols"; fail "internal symbols exported"; }
nm -D --defined-only "$prefix/lib/libxmodemquarvel.so" | awk '$2 == "T" && /xq_/ {print $3}' \
  > "$scratch/c-functions"
[ "$(wc -l < "$scratch/c-functions")" -ge 31 ] || fail "the C interface is not exported"
grep -qx xq_version "$scratch/c-functions" || fail "xq_version is not exported"

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

echo "== Debian package"
if command -v dpkg-shlibdeps >/dev/null; then
  (cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/deb" >/dev/null)
  deb=$(ls "$scratch"/deb/*.deb)
  dpkg-deb -c "$deb" | awk '{print $6}' > "$scratch/deb.list"
  for f in ./usr/bin/xmodemq ./usr/lib/libxmodemquarvel.so.2 ./usr/include/xmodemquarvel/xq.h \
    ./usr/include/xmodemquarvel/ModuleXmodem.h ./usr/lib/pkgconfig/xmodemquarvel.pc \
    ./usr/lib/cmake/XmodemQuarvel/XmodemQuarvelConfig.cmake ./usr/share/man/man1/xmodemq.1.gz \
    ./usr/share/man/man3/xq.3.gz ./usr/share/man/man3/xq_abort.3.gz \
    ./usr/lib/python3/dist-packages/xmodemquarvel/__init__.py \
    ./usr/lib/python3/dist-packages/xmodemquarvel/_location.py; do
    grep -qx "$f" "$scratch/deb.list" || fail "$f missing from the package"
  done
  # Whole outputs first: grep -q would close a pipe before its writer is done.
  depends=$(dpkg-deb -f "$deb" Depends)
  grep -q 'libc6' <<<"$depends" || fail "no dependencies computed"
  # The journal of the transfers.
  grep -q 'libsqlite3-0' <<<"$depends" || fail "no dependency on libsqlite3-0: $depends"
  grep -q 'libnettle8' <<<"$depends" || fail "no dependency on libnettle8: $depends"
  number=$(grep -o '"[0-9]*"' "$build/src/modem/ServerNumber.h" | tr -d '"')
  description=$(dpkg-deb -f "$deb" Description)
  grep -q "Numéro du serveur : $number" <<<"$description" ||
    fail "the package does not name the server number"
  dpkg-deb -x "$deb" "$scratch/root"
  version=$("$scratch/root/usr/bin/xmodemq" --version)
  grep -q "$number" <<<"$version" || fail "xmodemq --version"
  [ "$(readlink "$scratch/root/usr/share/man/man3/xq_abort.3.gz")" = xq_connect.3.gz ] ||
    fail "xq_abort(3) is not a link to xq_connect(3)"
elif [ "${CI:-}" = true ]; then
  fail "dpkg-shlibdeps missing (Debian: dpkg-dev): CI installs it"
else
  echo "dpkg-shlibdeps missing (Debian: dpkg-dev): package not built"
fi
echo "package checks passed"

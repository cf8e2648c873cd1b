#!/usr/bin/env bash
# install.sh DEB_DIR SOURCE_DIR SCRATCH_DIR
# The four packages that debs.sh built, installed for real with apt-get as an
# operator installs them: the system user and group, the folders and their
# modes, the maintainer scripts run twice, the units verified by systemd, C,
# C++17 and Python hosts built and run against /usr; then the command
# removed while the library and the module go on working, and everything
# purged. Only with CI=true as root (it changes the machine, and puts it back
# as it found it, failure or not); elsewhere it says what it skipped.
set -euo pipefail
debs=$1 source=$2 scratch=$3
fail() { echo "FAILED: $*" >&2; exit 1; }
packages=(libxmodemquarvel2 libxmodemquarvel-dev xmodemq python3-xmodemquarvel)
if [ "${CI:-}" != true ] || [ "$(id -u)" -ne 0 ]; then
  [ "${CI:-}" = true ] && fail "CI installs the packages: it must run as root"
  echo "skipped: installing the packages (apt-get install, the user and group xmodemq, the"
  echo "folders and their modes, systemd-analyze verify, hosts built against /usr, remove"
  echo "and purge) runs with CI=true as root only; package_debs checked them unpacked (dpkg -x)"
  exit 77
fi
command -v systemd-analyze >/dev/null || fail "systemd-analyze missing (Debian: systemd): CI installs it"
# One installation at a time on this machine, whoever runs it.
exec 9>/run/lock/xmodemq-package-test.lock
flock 9
export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -y -qq -o DPkg::Lock::Timeout=300)
status() { dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null || true; }
for package in "${packages[@]}"; do
  [ -z "$(status "$package")" ] || [ "$(status "$package")" = "un " ] ||
    fail "$package is already on this machine ($(status "$package")): this test would purge it"
done
for folder in /var/spool/xmodemq /var/lib/xmodemq /etc/xmodemq; do
  [ ! -e "$folder" ] || fail "$folder exists already: this test would purge it"
done
user_before=$(getent passwd xmodemq || true)
group_before=$(getent group xmodemq || true)
cleanup() {
  local left=()
  for package in "${packages[@]}"; do
    case $(status "$package") in i* | r*) left+=("$package") ;; esac
  done
  ((${#left[@]} == 0)) || "${apt[@]}" purge "${left[@]}" >/dev/null || true
  rm -rf /etc/xmodemq /var/spool/xmodemq /var/lib/xmodemq
  if [ -z "$user_before" ] && getent passwd xmodemq >/dev/null; then userdel xmodemq; fi
  if [ -z "$group_before" ] && getent group xmodemq >/dev/null; then groupdel xmodemq; fi
}
trap cleanup EXIT
rm -rf "$scratch"
mkdir -p "$scratch"
version=$(dpkg-deb -f "$(ls "$debs"/xmodemq_*.deb)" Version)

echo "== apt-get install ./*.deb"
"${apt[@]}" install --no-install-recommends "$debs"/*.deb >"$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log"; fail "apt-get install"; }
for package in "${packages[@]}"; do
  [ "$(status "$package")" = "ii " ] || fail "$package: $(status "$package")"
done

echo "== the system user and group xmodemq, the folders and their modes"
IFS=: read -r _ _ uid gid _ home shell <<<"$(getent passwd xmodemq)"
[ "$uid" -lt 1000 ] && [ "$home" = /var/lib/xmodemq ] && [ "$shell" = /usr/sbin/nologin ] ||
  fail "xmodemq is not a system user: $(getent passwd xmodemq)"
[ "$(getent group xmodemq | cut -d: -f3)" = "$gid" ] || fail "xmodemq's group is not xmodemq"
modes() {
  for folder in /var/spool/xmodemq /var/lib/xmodemq /etc/xmodemq; do stat -c '%n %U:%G %a' "$folder"; done
}
expected="/var/spool/xmodemq xmodemq:xmodemq 750
/var/lib/xmodemq xmodemq:xmodemq 750
/etc/xmodemq root:xmodemq 750"
[ "$(modes)" = "$expected" ] || fail "the folders: $(modes)"
# Configured again (an upgrade, dpkg-reconfigure): the administrator's
# choices stay, nothing is made twice.
chmod 0770 /var/spool/xmodemq
/var/lib/dpkg/info/xmodemq.postinst configure "$version" || fail "the postinst run again"
[ "$(stat -c %a /var/spool/xmodemq)" = 770 ] || fail "the postinst run again reset a folder's mode"
[ "$(getent passwd xmodemq | cut -d: -f3)" = "$uid" ] || fail "the postinst made the user again"
chmod 0750 /var/spool/xmodemq

echo "== a profile set up as doc/running-every-day.md says, checked as the service reads it"
printf 'mdp\n' | install -o xmodemq -g xmodemq -m 0600 /dev/stdin /etc/xmodemq/essai.mdp
install -o root -g xmodemq -m 0640 /dev/stdin /etc/xmodemq/essai.toml <<'EOF'
user = "PS0001"
password_file = "/etc/xmodemq/essai.mdp"
lines = ["/dev/ttyS0"]
spool = "/var/spool/xmodemq/essai"
journal = "/var/lib/xmodemq/journal.sqlite"
EOF
install -d -o xmodemq -g xmodemq -m 2750 /var/spool/xmodemq/essai
install -d -o xmodemq -g xmodemq -m 3770 /var/spool/xmodemq/essai/outbox
install -d -o xmodemq -g xmodemq -m 2770 /var/spool/xmodemq/essai/inbox
runuser -u xmodemq -- /usr/bin/xmodemq exchange --check --profile /etc/xmodemq/essai.toml \
  >"$scratch/check.log" 2>&1 || { cat "$scratch/check.log"; fail "the profile, checked as xmodemq"; }
grep -q "Profil /etc/xmodemq/essai.toml valide" "$scratch/check.log" ||
  { cat "$scratch/check.log"; fail "the profile is not valid for xmodemq"; }

echo "== systemd-analyze verify on the units, as an instance"
units=$scratch/units
mkdir -p "$units"
cp /lib/systemd/system/xmodemq-exchange@.service "$units/xmodemq-exchange@essai.service"
cp /lib/systemd/system/xmodemq-exchange@.timer "$units/xmodemq-exchange@essai.timer"
SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$units/xmodemq-exchange@essai.service" \
  "$units/xmodemq-exchange@essai.timer" >"$scratch/verify.log" 2>&1 ||
  { cat "$scratch/verify.log"; fail "systemd-analyze verify"; }
grep -i 'xmodemq' "$scratch/verify.log" && fail "systemd-analyze verify complains about the units"
# The hardening as systemd weighs it: 0 is shut tight, 10 wide open.
systemd-analyze security --offline=yes --no-pager "$units/xmodemq-exchange@essai.service" \
  >"$scratch/security.log" 2>&1 || true
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$scratch/security.log")
[ -n "$exposure" ] || { cat "$scratch/security.log"; fail "systemd-analyze security gave no exposure"; }
echo "exposure of the service: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }' ||
  { cat "$scratch/security.log"; fail "the service's exposure $exposure is above 2.5"; }

echo "== C, C++17 and Python hosts built against /usr"
data=$scratch/data
mkdir -p "$data"
for i in $(seq 1 60); do printf 'FACT%06d  %-40s %012d  \n' "$i" "PATIENT $i" $((i * 7919)); done \
  >"$data/FACT0001.TXT"
/usr/bin/xmodemq pack "$data/FACT0001.TXT" "$data/expected.pak" -q
unset LD_LIBRARY_PATH PKG_CONFIG_PATH PYTHONPATH CMAKE_PREFIX_PATH
multiarch=$(gcc -print-multiarch)
# shellcheck disable=SC2046
gcc -std=c99 -pedantic -Wall -Wextra -Werror "$source/examples/xq_host.c" -o "$scratch/xq_host" \
  $(pkg-config --cflags --libs xmodemquarvel) || fail "the C host (pkg-config)"
cmake -S "$source/tests/package/consumer" -B "$scratch/cxx" -DXQ_SEND_FILE="$source/examples/send_file.cpp" \
  >"$scratch/cxx.log" 2>&1 && cmake --build "$scratch/cxx" >>"$scratch/cxx.log" 2>&1 ||
  { cat "$scratch/cxx.log"; fail "the C++17 host (find_package)"; }
grep -qx "XmodemQuarvel_DIR:PATH=/usr/lib/$multiarch/cmake/XmodemQuarvel" \
  "$scratch/cxx/CMakeCache.txt" || fail "find_package found XmodemQuarvel elsewhere than /usr"
hosts() {
  rm -f "$data/packed" "$data/unpacked" "$data/py.pak"
  "$scratch/xq_host" "$data/FACT0001.TXT" "$data/packed" "$data/unpacked" 2>/dev/null || fail "the C host"
  cmp -s "$data/packed" "$data/expected.pak" || fail "the C host's packed file differs"
  linked=$(ldd "$scratch/xq_host")
  grep -Eq "libxmodemquarvel.so.2 => /(usr/)?lib/$multiarch/libxmodemquarvel.so.2 " <<<"$linked" ||
    fail "the C host's library: $linked"
  said=$("$scratch/cxx/consumer") || fail "the C++17 host"
  grep -qx "Trace Xmodem - Quarvel" <<<"$said" || fail "the C++17 host said: $said"
  seen=$(cd / && /usr/bin/python3 -c '
import sys, xmodemquarvel as xq
with xq.Module() as module:
    module.pack_file(sys.argv[1], sys.argv[2])
print(*[l.split()[-1] for l in open("/proc/self/maps") if "libxmodemquarvel" in l][:1])' \
    "$data/FACT0001.TXT" "$data/py.pak") || fail "the Python host"
  [ "$seen" = "$(readlink -f "/usr/lib/$multiarch/libxmodemquarvel.so.2")" ] ||
    fail "the module loaded $seen"
  cmp -s "$data/py.pak" "$data/expected.pak" || fail "the Python host's packed file differs"
}
hosts

echo "== xmodemq removed: the library and the module go on, the spool stays"
"${apt[@]}" remove xmodemq >"$scratch/remove.log" 2>&1 || { cat "$scratch/remove.log"; fail "remove"; }
[ ! -e /usr/bin/xmodemq ] && [ ! -e /lib/systemd/system/xmodemq-exchange@.service ] ||
  fail "the command or its units stayed"
for package in libxmodemquarvel2 libxmodemquarvel-dev python3-xmodemquarvel; do
  [ "$(status "$package")" = "ii " ] || fail "removing xmodemq took $package: $(status "$package")"
done
hosts
[ "$(modes)" = "$expected" ] || fail "remove (not purge) took the folders: $(modes)"

echo "== purge: the spool and the state go, the administrator's profiles stay"
touch /var/spool/xmodemq/essai/outbox/FACT0001.TXT /var/lib/xmodemq/journal.sqlite
"${apt[@]}" purge "${packages[@]}" >"$scratch/purge.log" 2>&1 || { cat "$scratch/purge.log"; fail "purge"; }
for package in "${packages[@]}"; do
  case $(status "$package") in "" | "un ") ;; *) fail "$package after purge: $(status "$package")" ;; esac
done
[ ! -e /var/spool/xmodemq ] && [ ! -e /var/lib/xmodemq ] || fail "purge left the spool or the state"
[ -f /etc/xmodemq/essai.toml ] || fail "purge took the administrator's profile"
rm -rf /etc/xmodemq
echo "installed package checks passed"

#!/usr/bin/env bash
# debs.sh BUILD_DIR DEB_DIR SOURCE_DIR
# The four Debian packages built from BUILD_DIR into DEB_DIR, checked without
# installing them: what each holds and what it does not, their control
# fields and dependencies (the library's must not pull in the command's),
# the units' hardening, lintian (no error), and the packages unpacked with
# dpkg -x and run from there. install.sh installs them for real.
set -euo pipefail
build=$1 debs=$2 source=$3
fail() { echo "FAILED: $*" >&2; exit 1; }
if ! command -v dpkg-shlibdeps >/dev/null || ! command -v lintian >/dev/null; then
  [ "${CI:-}" = true ] && fail "dpkg-dev and lintian are needed: CI installs them"
  echo "skipped: the Debian packages need dpkg-dev and lintian (Debian: dpkg-dev lintian)"
  exit 77
fi
bash "$source/packaging/build-debs.sh" "$build" "$debs" >/dev/null
multiarch=$(gcc -print-multiarch)
setting() { sed -n "s/^$1=//p" "$build/packaging.env"; }
version=$(setting version)
soversion=$(setting soversion)
maintainer=$(setting maintainer)
deb() { ls "$debs/$1"_*.deb; }
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
contents() { dpkg-deb -c "$(deb "$1")" | awk '{print $6}' | sed 's|^\./|/|; s|/$||'; }

echo "== each package holds its part, and only its part"
lib=/usr/lib/$multiarch
declare -A holds=(
  [libxmodemquarvel2]="$lib/libxmodemquarvel.so.$soversion $lib/libxmodemquarvel.so.$version
    /usr/share/doc/libxmodemquarvel2/copyright /usr/share/doc/libxmodemquarvel2/changelog.Debian.gz"
  [libxmodemquarvel-dev]="$lib/libxmodemquarvel.so $lib/libxmodemquarvel.a
    /usr/include/xmodemquarvel/xq.h /usr/include/xmodemquarvel/ModuleXmodem.h
    $lib/pkgconfig/xmodemquarvel.pc $lib/cmake/XmodemQuarvel/XmodemQuarvelConfig.cmake
    $lib/cmake/XmodemQuarvel/XmodemQuarvelTargets.cmake /usr/share/man/man3/xq.3.gz
    /usr/share/man/man3/xq_abort.3.gz /usr/share/doc/libxmodemquarvel-dev/examples/xq_host.c
    /usr/share/doc/libxmodemquarvel-dev/copyright"
  [xmodemq]="/usr/bin/xmodemq /usr/share/man/man1/xmodemq.1.gz
    /usr/share/man/man5/xmodemq-exchange.toml.5.gz /lib/systemd/system/xmodemq-exchange@.service
    /lib/systemd/system/xmodemq-exchange@.timer /usr/share/doc/xmodemq/changelog.gz
    /usr/share/doc/xmodemq/changelog.Debian.gz /usr/share/doc/xmodemq/doc/running-every-day.md"
  [python3-xmodemquarvel]="/usr/lib/python3/dist-packages/xmodemquarvel/__init__.py
    /usr/lib/python3/dist-packages/xmodemquarvel/_location.py
    /usr/share/doc/python3-xmodemquarvel/copyright")
# Whatever a package holds beyond these patterns belongs in another one.
declare -A only=(
  [libxmodemquarvel2]="^($lib/libxmodemquarvel\.so\.[0-9.]+|/usr/share/doc/libxmodemquarvel2/.*)$"
  [libxmodemquarvel-dev]="^($lib/(libxmodemquarvel\.(so|a)|pkgconfig/.*|cmake/XmodemQuarvel/.*)|/usr/include/xmodemquarvel/.*|/usr/share/man/man3/xq.*|/usr/share/doc/libxmodemquarvel-dev/.*)$"
  [xmodemq]="^(/usr/bin/xmodemq|/usr/share/man/man[15]/xmodemq.*|/lib/systemd/system/xmodemq-exchange@\.(service|timer)|/usr/share/doc/xmodemq/.*)$"
  [python3-xmodemquarvel]="^(/usr/lib/python3/dist-packages/xmodemquarvel/.*|/usr/share/doc/python3-xmodemquarvel/.*)$")
for package in "${!holds[@]}"; do
  contents "$package" >"$debs/$package.list"
  for file in ${holds[$package]}; do
    grep -qx "$file" "$debs/$package.list" || fail "$package lacks $file"
  done
  # Folders are shared; files and links are not.
  dpkg-deb -c "$(deb "$package")" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' |
    grep -Ev "${only[$package]}" >"$debs/$package.stray" &&
    fail "$package holds what is not its own: $(cat "$debs/$package.stray")"
  [ "$(field "$package" Version)" = "$version-1" ] || fail "$package: version $(field "$package" Version)"
  for name in Section Priority Maintainer Architecture; do
    [ -n "$(field "$package" "$name")" ] || fail "$package: no $name"
  done
  [ "$(field "$package" Maintainer)" = "$maintainer" ] || fail "$package: the maintainer"
  # A long description, not the summary alone.
  [ "$(field "$package" Description | wc -l)" -ge 4 ] || fail "$package: no long description"
  members=$(dpkg-deb --ctrl-tarfile "$(deb "$package")" | tar -t)
  grep -qx './md5sums' <<<"$members" || fail "$package: no md5sums"
done
# The link for the linker and the versioned names point where they should.
listing=$(dpkg-deb -c "$(deb libxmodemquarvel-dev)")
grep -q "libxmodemquarvel.so -> libxmodemquarvel.so.$soversion$" <<<"$listing" ||
  fail "the -dev link does not point at the soname"

echo "== dependencies: each package on what it uses, and no more"
# Whole outputs first: grep -q would close a pipe before its writer is done.
depends=$(field libxmodemquarvel2 Depends)
grep -q 'libc6' <<<"$depends" && grep -q 'libstdc++6' <<<"$depends" ||
  fail "the library's dependencies were not computed: $depends"
grep -Eq 'sqlite|nettle|python|tomlplusplus|libsystemd|adduser' <<<"$depends" &&
  fail "the library pulls in what the command or the module uses: $depends"
depends=$(field xmodemq Depends)
# libpq5 and libsystemd0 are loaded when first used: named in the control file.
for needed in libsqlite3-0 libnettle8 libtomlplusplus3 libpq5 libsystemd0 adduser libc6; do
  grep -q "$needed" <<<"$depends" || fail "xmodemq does not depend on $needed: $depends"
done
grep -q 'python' <<<"$depends" && fail "xmodemq depends on python: $depends"
for package in libxmodemquarvel-dev python3-xmodemquarvel; do
  grep -q "libxmodemquarvel2 (= $version-1)" <<<"$(field "$package" Depends)" ||
    fail "$package does not depend on the same version of the library"
done
grep -q 'python3' <<<"$(field python3-xmodemquarvel Depends)" || fail "the module without python3"
[ "$(field libxmodemquarvel2 Multi-Arch)" = same ] && [ "$(field libxmodemquarvel2 Section)" = libs ] ||
  fail "the library is not Multi-Arch: same in libs"
control=$debs/control
rm -rf "$control" && mkdir -p "$control"
dpkg-deb -e "$(deb libxmodemquarvel2)" "$control/lib"
grep -qx "libxmodemquarvel $soversion libxmodemquarvel2 (>= $version)" "$control/lib/shlibs" ||
  fail "the library's shlibs: $(cat "$control/lib/shlibs")"
grep -qx 'activate-noawait ldconfig' "$control/lib/triggers" || fail "no ldconfig trigger"
dpkg-deb -e "$(deb xmodemq)" "$control/xmodemq"
for script in postinst prerm postrm; do
  [ -x "$control/xmodemq/$script" ] || fail "xmodemq has no $script"
  sh -n "$control/xmodemq/$script" || fail "xmodemq's $script does not parse"
done
number=$(grep -o '"[0-9]*"' "$build/src/modem/ServerNumber.h" | tr -d '"')
for package in libxmodemquarvel2 xmodemq; do
  grep -q "Numéro du serveur : $number" <<<"$(field "$package" Description)" ||
    fail "$package does not name the server number"
done

echo "== the units: a oneshot as xmodemq, hardened, every quarter of an hour"
root=$debs/root
rm -rf "$root"
for package in libxmodemquarvel2 libxmodemquarvel-dev xmodemq python3-xmodemquarvel; do
  dpkg-deb -x "$(deb "$package")" "$root"
done
service=$root/lib/systemd/system/xmodemq-exchange@.service
timer=$root/lib/systemd/system/xmodemq-exchange@.timer
# The settings the service needs, each on a line of its own.
for line in Type=oneshot User=xmodemq Group=xmodemq SupplementaryGroups=dialout \
  'SuccessExitStatus=10 75' 'ExecStart=/usr/bin/xmodemq exchange --profile /etc/xmodemq/%i.toml' \
  ProtectSystem=strict 'ReadWritePaths=/var/spool/xmodemq /var/lib/xmodemq' PrivateTmp=yes \
  NoNewPrivileges=yes ProtectHome=yes CapabilityBoundingSet= DevicePolicy=closed \
  'DeviceAllow=char-ttyS rw' 'DeviceAllow=char-ttyUSB rw' ProtectKernelTunables=yes \
  RestrictNamespaces=yes SystemCallFilter=@system-service; do
  grep -qxF -- "$line" "$service" || fail "the service lacks $line"
done
# What would cut the modems or the remote lines off.
grep -Eq '^PrivateDevices=(yes|true)|^PrivateNetwork=(yes|true)|^IPAddressDeny=' "$service" &&
  fail "the service shuts out the serial ports or the network"
grep -qx 'RestrictAddressFamilies=.*AF_INET AF_INET6.*' "$service" ||
  fail "the service refuses the remote lines' addresses"
for line in 'OnCalendar=*:0/15' Persistent=true WantedBy=timers.target; do
  grep -qxF -- "$line" "$timer" || fail "the timer lacks $line"
done
# Four elapses of the timer's calendar, a quarter of an hour apart.
calendar=$(sed -n 's/^OnCalendar=//p' "$timer")
mapfile -t next < <(LC_ALL=C TZ=UTC systemd-analyze calendar --iterations=4 "$calendar" |
  sed -n 's/.*\(Next elapse\|Iter\. #[0-9]*\): *[A-Za-z]* \([0-9-]* [0-9:]*\) UTC$/\2/p')
[ "${#next[@]}" -eq 4 ] || fail "the calendar's elapses: ${next[*]}"
for i in 1 2 3; do
  [ $(($(date -ud "${next[i]}" +%s) - $(date -ud "${next[i - 1]}" +%s))) -eq 900 ] ||
    fail "the timer's elapses are not 15 minutes apart: ${next[*]}"
done

echo "== unpacked with dpkg -x: the command, and the module on the library beside it"
said=$("$root/usr/bin/xmodemq" --version)
grep -q "$number" <<<"$said" || fail "xmodemq --version: $said"
grep -qx "prefix=/usr" "$root$lib/pkgconfig/xmodemquarvel.pc" || fail "the .pc file does not name /usr"
[ "$(readlink "$root/usr/share/man/man3/xq_abort.3.gz")" = xq_connect.3.gz ] ||
  fail "xq_abort(3) is not a link to xq_connect(3)"
if [ -x /usr/bin/python3 ]; then
  seen=$(env -u LD_LIBRARY_PATH PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -c '
import xmodemquarvel as xq
print(xq.version())
print(*[l.split()[-1] for l in open("/proc/self/maps") if "libxmodemquarvel" in l][:1])')
  [ "$seen" = "$version
$root$lib/libxmodemquarvel.so.$version" ] || fail "the unpacked module: $seen"
fi

echo "== lintian: no error"
# Exit 0: no error (warnings may be listed); 1: errors; anything else: lintian failed.
status=0
lintian --fail-on error --tag-display-limit 0 "$debs"/*.deb >"$debs/lintian.txt" 2>&1 || status=$?
cat "$debs/lintian.txt"
[ "$status" -eq 0 ] || fail "lintian exited $status$(grep -c '^E: ' "$debs/lintian.txt" | sed 's/^/, errors: /')"
echo "Debian package checks passed"

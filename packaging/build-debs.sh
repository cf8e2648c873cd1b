#!/usr/bin/env bash
# build-debs.sh BUILD_DIR OUT_DIR
# The four Debian packages of a CMake build (cmake/Packaging.cmake says which
# component goes where), written to OUT_DIR. Each component is installed
# under /usr into its own tree with `cmake --install --component`, in the
# shape of a Debian source tree (OUT_DIR/tree/debian/PACKAGE/); the files that
# only a Debian package carries are added (copyright, changelog.Debian.gz,
# the units, the maintainer scripts, shlibs and the ldconfig trigger); the
# binaries are stripped as Debian strips them; dpkg-shlibdeps computes what
# the binaries link to, dpkg-gencontrol writes the control file from
# packaging/debian/control and the changelog's version, and dpkg-deb builds
# the archive with root as the owner of every file.
set -euo pipefail
build=$(realpath "$1")
out=$2
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "build-debs.sh: $*" >&2; exit 1; }
for tool in dpkg-shlibdeps dpkg-gencontrol dpkg-deb dpkg-parsechangelog; do
  command -v "$tool" >/dev/null || fail "$tool missing (Debian: dpkg-dev)"
done
[ -f "$build/packaging.env" ] || fail "$build is not a configured build folder"
setting() { sed -n "s/^$1=//p" "$build/packaging.env"; }
version=$(setting version)
soversion=$(setting soversion)
maintainer=$(setting maintainer)
number_note=$(setting number_note)
umask 022
export LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$here/debian/changelog" -S Timestamp)

# The changelog's version is the package's: its upstream part must be the
# build's, or the packages would say a version their files are not.
debian_version=$(dpkg-parsechangelog -l "$here/debian/changelog" -S Version)
[ "${debian_version%-*}" = "$version" ] ||
  fail "packaging/debian/changelog is at $debian_version, the build at $version: add an entry"

# OUT_DIR is emptied first: it must be new, empty, or packages made before.
if [ -e "$out" ] && [ ! -d "$out/tree/debian" ] && [ -n "$(ls -A "$out")" ]; then
  fail "$out holds other things than packages made here: give a new folder"
fi
rm -rf "$out"
mkdir -p "$out/tree/debian"
out=$(realpath "$out")
tree=$out/tree
cp "$here/debian/control" "$here/debian/changelog" "$tree/debian/"

declare -A component=([libxmodemquarvel2]=lib [libxmodemquarvel-dev]=dev [xmodemq]=command
  [python3-xmodemquarvel]=python)
packages=(libxmodemquarvel2 libxmodemquarvel-dev xmodemq python3-xmodemquarvel)

# A file that an install rule gives no component would be in no package.
DESTDIR=$out/unspecified cmake --install "$build" --component Unspecified --prefix /usr >/dev/null
if [ -d "$out/unspecified" ] && [ -n "$(find "$out/unspecified" -not -type d)" ]; then
  fail "installed by a rule without a component: $(cd "$out/unspecified" && find . -not -type d)"
fi

for package in "${packages[@]}"; do
  root=$tree/debian/$package
  DESTDIR=$root cmake --install "$build" --component "${component[$package]}" --prefix /usr >/dev/null
  [ -d "$root/usr" ] || fail "the component ${component[$package]} installs nothing"
  # Each package's documents in its own folder, with its copyright and the
  # packaging's changelog.
  docs=$root/usr/share/doc/$package
  if [ -d "$root/usr/share/doc/xmodemquarvel" ]; then
    mv "$root/usr/share/doc/xmodemquarvel" "$docs"
  fi
  mkdir -p "$docs"
  cp "$here/debian/copyright" "$docs/copyright"
  gzip -9 -n -c "$here/debian/changelog" >"$docs/changelog.Debian.gz"
  mkdir -p "$root/DEBIAN"
  for script in postinst prerm postrm triggers; do
    if [ -f "$here/debian/$package.$script" ]; then
      install -m 0755 "$here/debian/$package.$script" "$root/DEBIAN/$script"
    fi
  done
  if [ -f "$root/DEBIAN/triggers" ]; then chmod 0644 "$root/DEBIAN/triggers"; fi
done

# The units go where Debian 12's packages put them.
units=$tree/debian/xmodemq/lib/systemd/system
mkdir -p "$units"
install -m 0644 "$here/systemd/xmodemq-exchange@.service" "$here/systemd/xmodemq-exchange@.timer" "$units/"

# Stripped as Debian strips: no debugging sections, no notes of the build;
# the shared library not executable.
lib=$tree/debian/libxmodemquarvel2
find "$lib/usr/lib" -type f -name 'libxmodemquarvel.so.*' -exec chmod 0644 {} + \
  -exec strip --remove-section=.comment --remove-section=.note --strip-unneeded {} +
strip --remove-section=.comment --remove-section=.note "$tree/debian/xmodemq/usr/bin/xmodemq"
find "$tree/debian/libxmodemquarvel-dev" -type f -name '*.a' -exec strip --strip-debug \
  --remove-section=.comment --remove-section=.note --enable-deterministic-archives {} +
# Hosts built against this version run with any later 2.x.
echo "libxmodemquarvel $soversion libxmodemquarvel2 (>= $version)" >"$lib/DEBIAN/shlibs"

cd "$tree"
for package in "${packages[@]}"; do
  root=debian/$package
  substvars=debian/$package.substvars
  : >"$substvars"
  # What the binaries link to, the library's own shlibs file first.
  binaries=()
  while IFS= read -r -d '' file; do
    readelf -h "$file" >/dev/null 2>&1 && binaries+=("$file")
  done < <(find "$root" -path "$root/DEBIAN" -prune -o -type f \( -name '*.so.*' -o -perm -0100 \) -print0)
  if ((${#binaries[@]})); then
    dpkg-shlibdeps -T"$substvars" -S"$tree/debian/libxmodemquarvel2" "${binaries[@]}" \
      2>"$out/$package.shlibdeps" || { cat "$out/$package.shlibdeps" >&2; fail "dpkg-shlibdeps $package"; }
  fi
  # The server's number, in the descriptions of what it is compiled into.
  case $package in libxmodemquarvel2 | xmodemq) echo "xmq:Number=$number_note" >>"$substvars" ;; esac
  dpkg-gencontrol -p"$package" -P"$root" -T"$substvars" -DMaintainer="$maintainer" 2>"$out/$package.gencontrol" ||
    { cat "$out/$package.gencontrol" >&2; fail "dpkg-gencontrol $package"; }
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
    xargs -0r md5sum >DEBIAN/md5sums)
  [ -s "$root/DEBIAN/md5sums" ] || rm "$root/DEBIAN/md5sums"
  find "$root" -newermt "@$SOURCE_DATE_EPOCH" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out" >/dev/null
done
ls "$out"/*.deb

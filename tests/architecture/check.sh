#!/usr/bin/env bash
# The house's rules, as doc/architecture.md states them: each folder of src/
# includes only from itself and the folders below it; no file of src/modem/
# or src/protocol/ defines a member of a class that src/component/ declares;
# the headers of src/sim/ expose no private header of the library; and each
# room of cli/ includes only from itself, the rooms below it, the public
# headers and (the simulator's room) src/sim/. Prints what breaks them and
# exits 1; silent and 0 otherwise.
set -u
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
cd "$root/src" || exit 2
status=0

# What each folder may include, besides itself and the public headers.
declare -A below=(
  [platform]=""
  [component]="platform"
  [modem]="component platform"
  [protocol]="modem component platform"
  [pack]="platform"
  [module]="protocol modem component pack platform"
  [capi]="module protocol modem component pack platform"
  [sim]="protocol component platform"
)
for folder in "${!below[@]}"; do
  allowed="$folder xmodemquarvel ${below[$folder]}"
  while IFS=: read -r file line text; do
    used=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$text")
    if ! grep -qw -- "$used" <<<"$allowed"; then
      echo "src/$file:$line: $folder/ includes $used/ (it may include: $allowed)"
      status=1
    fi
  done < <(grep -Hn '^#include "[a-z]*/' "$folder"/*.h "$folder"/*.cpp 2>/dev/null)
done

classes=$(grep -ho '^\(class\|struct\) [A-Z][A-Za-z]*' component/*.h | awk '{print $2}' | sort -u |
  paste -sd'|')
if grep -nE "^[A-Za-z].*\b(${classes})::~?[A-Za-z_]+\(" modem/*.cpp protocol/*.cpp; then
  echo "a member of a class of component/ is defined under modem/ or protocol/"
  status=1
fi
# The headers of src/sim/, which the command and the tests include: the
# public headers and sim/ only; the private ones stay in sim/'s sources.
while IFS=: read -r file line text; do
  echo "src/$file:$line: a header of sim/ includes a private header of the library"
  status=1
done < <(grep -Hn '^#include "' sim/*.h | grep -v '#include "\(sim\|xmodemquarvel\)/')

# The rooms of the command, lowest first: each includes its own headers, those
# of the rooms before it in this list, and the public headers; every include
# of the command names its room.
cd "$root/cli" || exit 2
rooms=(system terminal record files journal queue simulator commandline call transfers demo schedule exchange
  commands)
allowed="xmodemquarvel"
for room in "${rooms[@]}"; do
  allowed="$allowed $room"
  extra=""
  [ "$room" = simulator ] && extra=" sim"
  [ -d "$room" ] || continue
  while IFS=: read -r file line text; do
    used=$(sed -nE 's/^#include "([a-z]+)\/.*/\1/p' <<<"$text")
    if [ -z "$used" ] || ! grep -qw -- "$used" <<<"$allowed$extra"; then
      echo "cli/$file:$line: the room $room/ includes ${used:-a header without its room}" \
        "(it may include: $allowed$extra)"
      status=1
    fi
  done < <(grep -Hn '^#include "' "$room"/*.h "$room"/*.cpp "$room"/*/*.h "$room"/*/*.cpp \
    2>/dev/null)
done
for folder in */; do
  if ! grep -qw -- "${folder%/}" <<<"${rooms[*]}"; then
    echo "cli/$folder: a folder that is no room of doc/architecture.md"
    status=1
  fi
done
exit $status

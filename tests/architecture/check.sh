#!/usr/bin/env bash
# The house's two rules, as doc/architecture.md states them: each folder of
# src/ includes only from itself and the folders below it, and no file of
# src/modem/ or src/protocol/ defines a member of a class that src/component/
# declares. Prints what breaks them and exits 1; silent and 0 otherwise.
set -u
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
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
exit $status

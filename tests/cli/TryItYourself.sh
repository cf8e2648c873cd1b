#!/usr/bin/env bash
# The README's "Try it yourself" section, command by command: it quotes
# examples/try-it-yourself.sh as it is (checked first), which runs here as a
# reader runs it, with the command built here on the PATH and a home of its
# own. What the section promises must show, and the reader's own journal
# must not have been touched: trial transfers go to the simulator's.
#   TryItYourself.sh SOURCE_DIR XMODEMQ
set -u
source_dir=$1
xmodemq=$2
cmake -DREADME="$source_dir/README.md" -DEXAMPLE="$source_dir/examples/try-it-yourself.sh" \
  -DFENCE=sh -P "$source_dir/examples/ReadmeExample.cmake" || exit 1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/home" "$scratch/tmp"
out=$(cd "$scratch" && env -u XMODEMQ_JOURNAL -u XMODEMQ_PASSWORD -u XDG_STATE_HOME \
  HOME="$scratch/home" TMPDIR="$scratch/tmp" XDG_RUNTIME_DIR="$scratch/tmp" \
  PATH="$(dirname "$xmodemq"):$PATH" timeout 300 bash "$source_dir/examples/try-it-yourself.sh" 2>&1)
status=0
expect() {
  grep -qF -- "$1" <<<"$out" || { echo "missing: $1"; status=1; }
}
expect "XMODEMQ_JOURNAL=$scratch/tmp/xmodemq-serveur-"
expect "La ligne est coupée"
expect "interrompu : le serveur a acquitté 20 blocs sur 60 ; relancez la même commande"
expect "Le serveur détient déjà 21 blocs de FACT0001 : l'envoi reprend après eux."
expect "envoyé (repris après 21 blocs) : 39 blocs de 128 octets"
expect "FACT0001.TXT reçu : 60 blocs"
expect "identical"
expect "ligne coupée     3"
expect "coupure de la ligne"
if [ -e "$scratch/home/.local/state/xmodemq" ]; then
  echo "the trial wrote into the reader's own journal"
  status=1
fi
# Gone with the simulator: its folder and the trial's journal in it.
if compgen -G "$scratch/tmp/xmodemq-serveur-*" >/dev/null; then
  echo "the simulator's folder is left behind"
  status=1
fi
[ "$status" = 0 ] || printf '%s\n' "$out"
exit $status

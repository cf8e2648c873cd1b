#!/usr/bin/env bash
# check.sh BUILD_DIR SCRATCH_DIR CONSUMER_SOURCE
set -euo pipefail
build=$1 scratch=$2 consumer=$3
rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null

# find_package, against the shared library.
cmake -S "$consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
LD_LIBRARY_PATH="$scratch/prefix/lib:${LD_LIBRARY_PATH:-}" "$scratch/cmake/consumer" | grep -qx "Trace Xmodem - Quarvel"

# pkg-config.
export PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig"
libdir=$(pkg-config --variable=libdir xmodemquarvel)
# shellcheck disable=SC2046
g++ -std=c++20 "$consumer/main.cpp" -o "$scratch/pc-consumer" $(pkg-config --cflags --libs xmodemquarvel)
LD_LIBRARY_PATH="$libdir" "$scratch/pc-consumer" | grep -qx "Trace Xmodem - Quarvel"
echo "package consumers built and ran"

#!/usr/bin/env bash
# Builds feedserver on its own (one source file, zlib) into DIR and prints its
# path; rebuilt only when the source is newer. For scripts/run and the Wine
# end-to-end tests, which do not have the native build at hand.
#   tools/feedserver/build.sh DIR
set -eu
src=$(cd "$(dirname "$0")" && pwd)/main.cpp
dir=$1
mkdir -p "$dir"
out=$dir/feedserver
if [ ! -x "$out" ] || [ "$src" -nt "$out" ]; then
    g++ -O2 -std=c++20 -Wall -Wextra -o "$out.tmp.$$" "$src" -lz
    mv "$out.tmp.$$" "$out"
fi
echo "$out"

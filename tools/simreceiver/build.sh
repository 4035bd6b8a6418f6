#!/usr/bin/env bash
# Builds simreceiver on its own (two source files, no libraries) into DIR and
# prints its path; rebuilt only when a source is newer. For scripts/run and the
# Wine end-to-end tests, which do not have the native build at hand.
#   tools/simreceiver/build.sh DIR
set -eu
src=$(cd "$(dirname "$0")" && pwd)
dir=$1
mkdir -p "$dir"
out=$dir/simreceiver
if [ ! -x "$out" ] || [ "$src/main.cpp" -nt "$out" ] || [ "$src/frames.cpp" -nt "$out" ] || [ "$src/frames.h" -nt "$out" ]; then
    g++ -O2 -std=c++20 -Wall -Wextra -o "$out.tmp.$$" "$src/main.cpp" "$src/frames.cpp" >&2
    mv "$out.tmp.$$" "$out"
fi
echo "$out"

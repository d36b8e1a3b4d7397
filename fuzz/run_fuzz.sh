#!/bin/sh
# Time-boxed libFuzzer run of the set document reader.
#
#   fuzz/run_fuzz.sh [seconds] [build-dir]
#
# Configures <build-dir> (default build-fuzz) with clang, builds fuzz_load_set
# and fuzzes for [seconds] (default 60), starting from fuzz/corpus. New inputs
# go to <build-dir>/fuzz-corpus, so the checked-in corpus stays as it is.
# A crash or broken property leaves crash-* / leak-* files in <build-dir>
# and a non-zero exit status.
set -eu
secs=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${2:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRS_BUILD_PLUGIN=OFF -DBRS_BUILD_BENCH=OFF -DBRS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_load_set -j2

mkdir -p "$build/fuzz-corpus"
cd "$build"
exec ./fuzz/fuzz_load_set -max_total_time="$secs" -max_len=8192 -timeout=10 \
  -dict="$here/set.dict" -print_final_stats=1 "$build/fuzz-corpus" "$here/corpus"

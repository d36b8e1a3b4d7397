#!/bin/sh
# Time-boxed libFuzzer runs of every fuzz target (see fuzz/CMakeLists.txt).
#
#   fuzz/run_fuzz.sh [seconds] [build-dir] [target...]
#
# Configures <build-dir> (default build-fuzz) with clang, builds the targets
# (default: all five) and fuzzes each for [seconds] (default 60), two at a
# time, starting from its checked-in corpus. New inputs go to
# <build-dir>/fuzz-corpus/<target>, so the checked-in corpora stay as they
# are. A crash, a sanitizer report or a broken property leaves crash-* /
# leak-* files and the run's log in <build-dir>/fuzz-out/<target> and makes
# the exit status non-zero. The last lines give each target's executions.
set -eu
secs=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${2:-$root/build-fuzz}
mkdir -p "$build"
build=$(cd "$build" && pwd)
[ $# -gt 2 ] && shift 2 || set --
targets=${*:-fuzz_load_set fuzz_json fuzz_load_pats fuzz_state fuzz_text}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRS_BUILD_PLUGIN=ON -DBRS_BUILD_BENCH=OFF -DBRS_BUILD_TESTS=OFF -DBRS_BUILD_VST3=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" --target $targets -j2

# corpus, dictionary and longest input of each target
settings() {
  case "$1" in
    fuzz_load_set)  echo "corpus set.dict 8192" ;;
    fuzz_json)      echo "corpus-json set.dict 4096" ;;
    fuzz_load_pats) echo "corpus-pats - 20000" ;;
    fuzz_state)     echo "corpus-state set.dict 8192" ;;
    fuzz_text)      echo "corpus-text text.dict 64" ;;
    *) echo "unknown fuzz target $1" >&2; exit 2 ;;
  esac
}

run_one() {
  t=$1
  # shellcheck disable=SC2046
  set -- $(settings "$t")
  corpus=$1 dict=$2 maxlen=$3
  out="$build/fuzz-out/$t"
  rm -rf "$out"
  mkdir -p "$out" "$build/fuzz-corpus/$t"
  dictopt=""
  [ "$dict" != - ] && dictopt="-dict=$here/$dict"
  # shellcheck disable=SC2086
  (cd "$out" && "$build/fuzz/$t" -max_total_time="$secs" -max_len="$maxlen" -timeout=10 -rss_limit_mb=2048 \
     $dictopt -print_final_stats=1 "$build/fuzz-corpus/$t" "$here/$corpus" >"$out/log" 2>&1)
}

status=0
pids=""
names=""
for t in $targets; do
  run_one "$t" &
  pids="$pids $!"
  names="$names $t"
  # two at a time: one per core
  if [ "$(echo $pids | wc -w)" -ge 2 ]; then
    set -- $names
    for p in $pids; do
      if ! wait "$p"; then status=1; echo "FAILED: $1 (see $build/fuzz-out/$1/log)"; tail -n 40 "$build/fuzz-out/$1/log"; fi
      shift
    done
    pids="" names=""
  fi
done
set -- $names
for p in $pids; do
  if ! wait "$p"; then status=1; echo "FAILED: $1 (see $build/fuzz-out/$1/log)"; tail -n 40 "$build/fuzz-out/$1/log"; fi
  shift
done

for t in $targets; do
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/fuzz-out/$t/log" | grep -o '[0-9]*$' || true)
  cov=$(grep -o 'cov: [0-9]*' "$build/fuzz-out/$t/log" | tail -n 1 || true)
  echo "fuzz $t: ${execs:-?} executions in ${secs} s, ${cov:-cov: ?}"
done
exit $status

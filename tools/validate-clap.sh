#!/usr/bin/env bash
# Runs clap-validator against a plug-in and fails on any failed test.
#
#   tools/validate-clap.sh <validator> <plugin.clap> validate [--in-process] [seed...]
#   tools/validate-clap.sh <validator> <plugin.clap> fuzz <seconds>
#
# validate: the whole test list once with the validator's own seed, then once
# per given seed (CLAP_VALIDATOR_TEST_SEED); prints one line per run and the
# failed tests' reports. fuzz: a time-boxed `clap-validator fuzz` on two
# workers. The exit status is non-zero when any run failed.
set -uo pipefail
if [ $# -lt 3 ]; then
  echo "usage: $0 <validator> <plugin.clap> validate [--in-process] [seed...] | fuzz <seconds>" >&2
  exit 2
fi
validator="$1" plugin="$2" mode="$3"
shift 3
if [ ! -x "$validator" ]; then
  echo "clap-validator not found at $validator" >&2
  exit 2
fi
export NO_COLOR=1
strip() { sed 's/\x1b\[[0-9;]*m//g'; }

if [ "$mode" = fuzz ]; then
  secs="${1:-20}"
  out=$("$validator" fuzz -j2 -d "${secs}s" "$plugin" 2>&1)
  rc=$?
  printf '%s\n' "$out" | strip | tail -n 40
  echo "clap-validator fuzz, ${secs} s: exit status $rc"
  exit $rc
fi
[ "$mode" = validate ] || { echo "unknown mode $mode" >&2; exit 2; }

inproc=()
if [ "${1:-}" = --in-process ]; then
  inproc=(--in-process)
  shift
fi
# clap-validator 0.4.1 cannot index a preset container of more than one preset:
# its metadata receiver takes its own result lock in begin_preset() and takes
# it again when the second preset flushes the first, and hangs there. Our
# factory sets are such a container, so its two crawling tests are left out;
# tests/plugin/presets_test.cpp indexes and loads every preset instead.
skip=(-x 'preset-discovery-(crawl|load)')
failed=0 runs=0
# "" is the validator's own seed.
for seed in "" "$@"; do
  runs=$((runs + 1))
  if [ -n "$seed" ]; then
    out=$(CLAP_VALIDATOR_TEST_SEED="$seed" "$validator" validate "${inproc[@]}" "${skip[@]}" --only-failed "$plugin" 2>&1)
  else
    out=$(env -u CLAP_VALIDATOR_TEST_SEED "$validator" validate "${inproc[@]}" "${skip[@]}" --only-failed "$plugin" 2>&1)
  fi
  rc=$?
  out=$(printf '%s\n' "$out" | strip)
  summary=$(printf '%s\n' "$out" | grep -E '^[0-9]+ tests run' | tail -n 1)
  echo "seed ${seed:-default}${inproc:+ (in process)}: ${summary:-no summary} (exit $rc)"
  if [ $rc -ne 0 ] || ! printf '%s\n' "$summary" | grep -q ' 0 failed'; then
    failed=$((failed + 1))
    printf '%s\n' "$out" | grep -v ' INFO ' | sed 's/^/    /'
  fi
done
echo "clap-validator validate${inproc:+ --in-process}: $runs runs, $failed failed"
[ $failed -eq 0 ]

#!/usr/bin/env bash
# Runs pluginval on the VST3 bundle at strictness 10 and fails on any failed test.
#
#   tools/validate-vst3.sh <pluginval> <brisanto.vst3> plain
#   tools/validate-vst3.sh <pluginval> <brisanto.vst3> gui            (editor tests under a private Xvfb)
#   tools/validate-vst3.sh <pluginval> <brisanto.vst3> seeds <seed...> (randomised test order, one run per seed)
#
# Each run gets a scratch HOME (pluginval keeps its settings there, and the
# import trigger must not reach the user's set file). Prints one line per run
# and the failed tests. Exit status 77 (skipped) when pluginval is absent or
# cannot start on this machine, non-zero when any run failed.
set -uo pipefail
if [ $# -lt 3 ]; then
  echo "usage: $0 <pluginval> <brisanto.vst3> plain|gui|seeds [seed...]" >&2
  exit 2
fi
pv="$1" bundle="$2" mode="$3"
shift 3
if [ ! -x "$pv" ]; then
  echo "pluginval not found at $pv: skipped"
  exit 77
fi
if missing=$(ldd "$pv" 2>/dev/null | grep 'not found'); [ -n "$missing" ]; then
  echo "pluginval cannot start here (tools/setup-debian.sh installs what it needs): skipped"
  printf '%s\n' "$missing"
  exit 77
fi

scratch=$(mktemp -d)
xpid=""
cleanup() {
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

failed=0
run() {
  local what="$1"
  shift
  local start=$SECONDS
  HOME="$scratch" "$pv" --strictness-level 10 --validate-in-process "$@" "$bundle" >"$scratch/out" 2>&1
  local rc=$?
  local bad
  bad=$(grep -c '^!!! Test' "$scratch/out")
  echo "pluginval $what: exit status $rc, $bad failed, $((SECONDS - start)) s"
  if [ "$rc" -ne 0 ] || [ "$bad" -ne 0 ]; then
    grep '^!!! Test' "$scratch/out" | head -n 20
    [ "$bad" -eq 0 ] && tail -n 20 "$scratch/out"
    failed=1
  fi
}

case "$mode" in
  plain) run "strictness 10" --skip-gui-tests ;;
  gui)
    if ! command -v Xvfb >/dev/null; then
      echo "Xvfb not found: skipped"
      exit 77
    fi
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$scratch/display" >/dev/null 2>&1 &
    xpid=$!
    for _ in $(seq 50); do [ -s "$scratch/display" ] && break; sleep 0.1; done
    if [ ! -s "$scratch/display" ]; then
      echo "Xvfb did not start" >&2
      exit 1
    fi
    DISPLAY=":$(head -n 1 "$scratch/display")" run "strictness 10 with the editor"
    ;;
  seeds)
    [ $# -gt 0 ] || { echo "no seeds given" >&2; exit 2; }
    for s in "$@"; do run "strictness 10, random order, seed $s" --skip-gui-tests --randomise --random-seed "$s"; done
    ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
exit $failed

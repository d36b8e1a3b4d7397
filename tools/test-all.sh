#!/usr/bin/env bash
# Builds brisanto and runs every test: the sanitizer lanes and the fuzzers
# first, then the whole suite in the release build (clap-validator included),
# whose ctest summary closes the output.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS="${JOBS:-$(nproc)}"
LANE_TIMES=()

# The VST3 build's dependencies from the shared folder beside the checkout
# when there is one (CI has no network); otherwise the build fetches them.
THIRD_PARTY=()
if [ -d ../shared/third_party ]; then
  THIRD_PARTY=("-DBRS_THIRD_PARTY_DIR=$(cd ../shared/third_party && pwd)")
fi

lane() {  # lane <build dir> <name> <ctest selection> <targets> <cmake options...>
  local dir="$1" name="$2" select="$3" targets="$4" start=$SECONDS
  shift 4
  echo "== ${name} lane (${dir})"
  cmake -S . -B "${dir}" -DBRS_BUILD_BENCH=OFF -DBRS_BUILD_VST3=OFF "$@"
  # shellcheck disable=SC2086
  cmake --build "${dir}" -j"${JOBS}" --target ${targets}
  # shellcheck disable=SC2086
  ctest --test-dir "${dir}" ${select} --output-on-failure -j"${JOBS}"
  LANE_TIMES+=("${name}: $((SECONDS - start)) s")
}

# Concurrency between the audio thread and the main thread (the threads test,
# and the shell tests with a second thread holding the lock), under ThreadSanitizer.
lane build-tsan tsan "-L tsan" "plugin_threads_test plugin_shell_test" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRS_SANITIZE=thread
# The whole suite under AddressSanitizer (leak checker included) and
# UndefinedBehaviorSanitizer, where any finding fails its test. Left out:
# clap-validator, a program of its own that cannot load an instrumented
# plug-in (it runs against the release build below).
lane build-asan asan "-LE validator" all \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRS_SANITIZE=address,undefined

# Time-boxed libFuzzer runs of every fuzz target (clang), two at a time.
echo "== fuzz lane (build-fuzz)"
start=$SECONDS
fuzz/run_fuzz.sh "${FUZZ_SECONDS:-30}"
LANE_TIMES+=("fuzz: $((SECONDS - start)) s")

validator="${CLAP_VALIDATOR:-../shared/tools/clap-validator/clap-validator}"
if [ -x "${validator}" ]; then
  echo "== clap-validator: ${validator} (ctest label validator, in the release build)"
else
  echo "== clap-validator not found at ${validator}: its tests are left out"
fi
pluginval="${PLUGINVAL:-../shared/tools/pluginval/pluginval}"
if [ -x "${pluginval}" ]; then
  echo "== pluginval: ${pluginval} (ctest label pluginval, on the VST3 bundle of the release build)"
else
  echo "== pluginval not found at ${pluginval}: its tests report themselves skipped"
fi
printf '== lane times: %s\n' "${LANE_TIMES[*]}"

echo "== release build, every test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${THIRD_PARTY[@]}"
cmake --build build -j"${JOBS}"
ctest --test-dir build --output-on-failure -j"${JOBS}"

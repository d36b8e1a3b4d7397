#!/usr/bin/env bash
# Builds brisanto and runs every test: the sanitizer lanes first, then the
# whole suite in the release build, whose ctest summary closes the output.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS="${JOBS:-$(nproc)}"

# The VST3 build's dependencies from the shared folder beside the checkout
# when there is one (CI has no network); otherwise the build fetches them.
THIRD_PARTY=()
if [ -d ../shared/third_party ]; then
  THIRD_PARTY=("-DBRS_THIRD_PARTY_DIR=$(cd ../shared/third_party && pwd)")
fi

lane() {  # lane <build dir> <ctest label> <targets> <cmake options...>
  local dir="$1" label="$2" targets="$3"
  shift 3
  echo "== ${label} lane (${dir})"
  cmake -S . -B "${dir}" -DBRS_BUILD_BENCH=OFF -DBRS_BUILD_VST3=OFF "$@"
  # shellcheck disable=SC2086
  cmake --build "${dir}" -j"${JOBS}" --target ${targets}
  ctest --test-dir "${dir}" -L "${label}" --output-on-failure
}

# Concurrency between the audio thread and the main thread, under ThreadSanitizer.
lane build-tsan tsan plugin_threads_test \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRS_SANITIZE=thread
# Editor lifecycle, under AddressSanitizer with the leak checker.
lane build-asan asan editor_lifecycle_test \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRS_SANITIZE=address,undefined

# A time-boxed libFuzzer run of the set document reader (clang).
echo "== fuzz lane (build-fuzz)"
fuzz/run_fuzz.sh "${FUZZ_SECONDS:-45}"

echo "== release build, every test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${THIRD_PARTY[@]}"
cmake --build build -j"${JOBS}"
ctest --test-dir build --output-on-failure -j"${JOBS}"

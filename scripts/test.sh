#!/usr/bin/env bash
# Builds everything and runs every test: the regular build with warnings as
# errors, the whole suite again under AddressSanitizer + UBSan and under
# ThreadSanitizer, and a short bounded run of every fuzz target. Each stage
# reports how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/bootstrap.sh

stage_start=$SECONDS
total_start=$SECONDS
stage_done() {
  echo "== $1: $((SECONDS - stage_start)) s =="
  stage_start=$SECONDS
}

echo "== build (warnings as errors) =="
cmake -S . -B build -DQM_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
stage_done "build"
ctest --test-dir build -j"$jobs" --output-on-failure
stage_done "tests"

echo "== Debian package (lintian, manual pages, unpacked programs) =="
scripts/package-check.sh build
stage_done "package"

echo "== build with AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -DQM_WERROR=ON -DQM_SANITIZE=ON -DQM_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
stage_done "build (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure
stage_done "tests (ASan + UBSan)"

echo "== build with ThreadSanitizer =="
cmake -S . -B build-tsan -DQM_WERROR=ON -DQM_TSAN=ON -DQM_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
stage_done "build (TSan)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build-tsan -j"$jobs" --output-on-failure
stage_done "tests (TSan)"

echo "== fuzz targets (bounded) =="
scripts/fuzz.sh --brief
stage_done "fuzz (brief)"
echo "== total: $((SECONDS - total_start)) s =="
echo "all tests passed"

#!/usr/bin/env bash
# Builds everything and runs every test: the regular build with warnings as
# errors, the whole suite again under AddressSanitizer + UBSan, and a short
# bounded run of the frame-assembly fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/bootstrap.sh

echo "== build (warnings as errors) =="
cmake -S . -B build -DQM_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== build with AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -DQM_WERROR=ON -DQM_SANITIZE=ON -DQM_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure

echo "== fuzz frame assembly (bounded) =="
CXX=clang++ cmake -S . -B build-fuzz -DQM_FUZZ=ON -DQM_TESTS=OFF -DQM_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_frame_assembly
mkdir -p build-fuzz/corpus
build-fuzz/fuzz/fuzz_frame_assembly -max_total_time=20 -seed=1 build-fuzz/corpus 2>build-fuzz/fuzz.log \
  || { tail -n 40 build-fuzz/fuzz.log; exit 1; }
tail -n 1 build-fuzz/fuzz.log
echo "all tests passed"

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) and runs each of them in turn.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   each target SECONDS long (default 600)
#   scripts/fuzz.sh --brief                 the short CI run: all targets in 90 seconds
# Corpora grow in build-fuzz/corpus/<target> (seeded from fuzz/corpus/<target>);
# a failing input is written to build-fuzz/artifacts/ and the run stops with
# its report. Each target's last line gives executions, coverage and corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

# Seconds of the brief run per target (90 in all, within CI's two minutes).
declare -A brief=([fuzz_frame_assembly]=15 [fuzz_exchange]=20 [fuzz_services]=25 [fuzz_console]=15
                  [fuzz_conn_strings]=15)
# Frames up to 70,000 bytes must be reachable where link bytes are fuzzed.
# -len_control=0: long inputs from the start; a short run would otherwise
# spend itself on tiny inputs that choose every default (an answer of
# exactly the right size).
declare -A options=([fuzz_frame_assembly]="-max_len=80000" [fuzz_exchange]="-max_len=80000 -len_control=0"
                    [fuzz_services]="-max_len=80000 -len_control=0" [fuzz_console]="-max_len=4096 -len_control=0"
                    [fuzz_conn_strings]="-max_len=512")

seconds=600
if [ "${1:-}" = "--brief" ]; then
  seconds=brief
  shift
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_frame_assembly fuzz_exchange fuzz_services fuzz_console fuzz_conn_strings)

jobs=$(nproc)
CXX=clang++ cmake -S . -B build-fuzz -DQM_FUZZ=ON -DQM_TESTS=OFF -DQM_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"
mkdir -p build-fuzz/artifacts

for t in "${targets[@]}"; do
  [ -n "${options[$t]+set}" ] || { echo "fuzz: unknown target $t" >&2; exit 2; }
  time=$seconds
  [ "$seconds" = brief ] && time=${brief[$t]}
  corpus=build-fuzz/corpus/$t
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  log=build-fuzz/$t.log
  # A fixed seed keeps a run repeatable. -timeout: no input should come near
  # it (the link targets wait on a virtual clock); a hang is a finding.
  # shellcheck disable=SC2086
  if ! build-fuzz/fuzz/$t ${options[$t]} -max_total_time="$time" -timeout=30 -seed=1 -print_final_stats=1 \
      -artifact_prefix=build-fuzz/artifacts/ "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $t failed (input in build-fuzz/artifacts/)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\) .*/\1/p' <<<"$done_line")
  ft=$(sed -n 's/.* ft: \([0-9]*\) .*/\1/p' <<<"$done_line")
  corp=$(sed -n 's/.* corp: \([^ ]*\) .*/\1/p' <<<"$done_line")
  echo "fuzz: $t ${time}s: ${runs:-?} executions, coverage ${cov:-?} edges, ${ft:-?} features, corpus ${corp:-?}"
done

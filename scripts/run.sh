#!/usr/bin/env bash
# Builds the tool and the instrument simulator, serves the simulated
# instrument on a new pseudo-terminal and starts the tool in this terminal.
#   scripts/run.sh [--service] [simulator options...]
# --service starts the service edition (every command in the menu).
set -euo pipefail
cd "$(dirname "$0")/.."

tool=qm38v2con
if [ "${1:-}" = "--service" ]; then
  tool=qm38v2con-service
  shift
fi

scripts/bootstrap.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target qm38v2con qm38v2con-service qm38sim >/dev/null

sim_log=$(mktemp)
build/qm38sim "$@" >"$sim_log" 2>&1 &
sim_pid=$!
cleanup() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  rm -f "$sim_log"
}
trap cleanup EXIT

port=""
for _ in $(seq 1 100); do
  port=$(grep -o 'COM port [0-9]*' "$sim_log" | head -n 1 | grep -o '[0-9]*$' || true)
  [ -n "$port" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    cat "$sim_log" >&2
    exit 1
  fi
  sleep 0.05
done
if [ -z "$port" ]; then
  echo "run: the simulator did not start" >&2
  cat "$sim_log" >&2
  exit 1
fi
cat "$sim_log"
echo "run: at \"Select connection type\" answer 3 (COM port), then $port at \"Select COM port\"."
echo
build/$tool

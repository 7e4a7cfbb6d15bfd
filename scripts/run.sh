#!/usr/bin/env bash
# Builds the tool and the instrument simulator (the build's progress shows),
# serves the simulated instrument on a new pseudo-terminal and starts the
# tool in this terminal, in the directory run.sh was called from.
#   scripts/run.sh [--service] [simulator options...]
# --service starts the service edition (every command in the menu).
# QM_BUILD_DIR: the build directory (default: build/ in the repository).
#
# The simulator runs in a session of its own: Ctrl-C reaches only the tool
# (it stops the running command and the link stays up). The simulator is
# stopped when the tool ends.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BUILD_DIR:-$repo/build}

tool=qm38v2con
if [ "${1:-}" = "--service" ]; then
  tool=qm38v2con-service
  shift
fi

"$repo/scripts/bootstrap.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "run: configuring $build"
  cmake -S "$repo" -B "$build"
  echo "run: the first build takes a few minutes"
fi
cmake --build "$build" -j"$(nproc)" --target qm38v2con qm38v2con-service qm38sim

sim_log=$(mktemp)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -f "$sim_log"
}
trap cleanup EXIT
# Not a process-group leader here, so setsid makes the simulator's own
# session in place and $! is the simulator itself.
setsid "$build/qm38sim" "$@" </dev/null >"$sim_log" 2>&1 &
sim_pid=$!

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
# Not exec'd: the simulator is stopped once the tool has ended.
status=0
"$build/$tool" || status=$?
exit "$status"

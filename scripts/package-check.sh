#!/usr/bin/env bash
# Builds the Debian package from an existing build directory and checks it
# without installing anything: lintian, the manual pages (lint and render),
# the file list, and a short session of the unpacked tool against the
# unpacked simulator.
#   scripts/package-check.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

fail() {
  echo "package-check: $*" >&2
  exit 1
}

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target qm38v2con qm38v2con-service qm38sim qm_docs >/dev/null

rm -f "$build"/package/qm38v2con_*.deb
cpack_log=$build/package-cpack.log
if ! (cd "$build" && cpack -G DEB) >"$cpack_log" 2>&1; then
  cat "$cpack_log" >&2
  fail "cpack failed"
fi
debs=("$build"/package/qm38v2con_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || fail "no package in $build/package"
version=$(dpkg-deb -f "$deb" Version)
echo "package-check: $(basename "$deb"): $(stat -c %s "$deb") bytes, Depends: $(dpkg-deb -f "$deb" Depends)"
changelog_version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
[ "$changelog_version" = "$version" ] ||
  fail "packaging/changelog names version $changelog_version, the package is $version: add an entry"

# Errors and warnings fail; informational tags are listed.
lintian_status=0
lintian_out=$(lintian -I --fail-on error,warning "$deb" 2>&1) || lintian_status=$?
lintian_out=$(grep -v 'running with root privileges' <<<"$lintian_out" || true)
echo "package-check: lintian: $(grep -c '^E: ' <<<"$lintian_out" || true) errors," \
  "$(grep -c '^W: ' <<<"$lintian_out" || true) warnings, $(grep -c '^I: ' <<<"$lintian_out" || true) notes"
[ -z "$lintian_out" ] || echo "$lintian_out"
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors or warnings"

scratch=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
root=$scratch/root
dpkg-deb -x "$deb" "$root"

# Exactly the programs, one udev rule, the pages; nothing from tests,
# benchmarks or fuzzing.
programs=$(ls "$root/usr/bin" | tr '\n' ' ')
[ "$programs" = "qm38sim qm38v2con qm38v2con-service " ] || fail "unexpected programs: $programs"
others=$(cd "$root" && find . -type f -perm -u+x ! -path './usr/bin/*')
[ -z "$others" ] || fail "executables outside usr/bin: $others"
rules=$(cd "$root" && find . -path '*/udev/rules.d/*.rules' | wc -l)
[ "$rules" -ge 1 ] || fail "no udev rule in the package"
if (cd "$root" && find . | grep -Ei 'test|bench|fuzz|gtest|/include/|\.a$'); then
  fail "files from the tests, benchmarks or fuzzing in the package"
fi

# Manual pages as shipped: lint clean, and each renders to text without a
# message.
pages=("$root"/usr/share/man/man1/*.1.gz)
[ ${#pages[@]} -ge 3 ] || fail "expected three manual pages, found ${#pages[@]}"
for page in "${pages[@]}"; do
  name=$(basename "$page" .gz)
  text=$scratch/$name.txt
  zcat "$page" >"$scratch/$name"
  lint=$(mandoc -T lint -W warning "$scratch/$name" 2>&1 || true)
  [ -z "$lint" ] || fail "mandoc: $lint"
  lint=$(groff -ww -z -man "$scratch/$name" 2>&1 || true)
  [ -z "$lint" ] || fail "groff: $lint"
  MAN_DISABLE_SECCOMP=1 MANWIDTH=80 man -l "$page" >"$text" 2>"$scratch/man.err" || fail "man -l $name: $(cat "$scratch/man.err")"
  [ ! -s "$scratch/man.err" ] || fail "man -l $name: $(cat "$scratch/man.err")"
  [ -s "$text" ] || fail "man -l $name rendered nothing"
  grep -q '^NAME' "$text" || fail "man -l $name: no NAME section"
done

# The unpacked tool against the unpacked simulator over the pty COM port.
: >"$scratch/sim.out"
"$root/usr/bin/qm38sim" --print-requests >"$scratch/sim.out" 2>"$scratch/sim.err" &
sim_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/.*(COM port \([0-9]*\)).*/\1/p' "$scratch/sim.out")
  [ -n "$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || fail "the simulator did not start: $(cat "$scratch/sim.err")"
  sleep 0.05
done
[ -n "$port" ] || fail "the simulator printed no COM port"
serial=$(sed -n 's/.*serving instrument \([^ ]*\) on.*/\1/p' "$scratch/sim.out")

session() {
  local program=$1 out=$2
  shift 2
  local status=0
  printf '%s\n' 3 "$port" "$@" | timeout 60 "$root/usr/bin/$program" >"$out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || fail "$program exited with $status: $(cat "$out")"
  grep -q 'Connecting device...Ok.' "$out" || fail "$program did not connect: $(cat "$out")"
  grep -q 'Found device:   QM-38 S/C' "$out" || fail "$program found no instrument: $(cat "$out")"
  if grep -q 'error(code=\|not connected' "$out"; then fail "$program: $(cat "$out")"; fi
}

session qm38v2con "$scratch/tool.out" sm q
# sm writes the parameter record back (request 8202).
grep -q 'request 8202 ' "$scratch/sim.err" || fail "sm sent no parameter record: $(cat "$scratch/sim.err")"
session qm38v2con-service "$scratch/service.out" gs q
grep -q "Serial = $serial" "$scratch/service.out" || fail "gs did not read $serial: $(cat "$scratch/service.out")"

echo "package-check: $(basename "$deb") is lintian-clean, ${#pages[@]} pages render, the unpacked programs work together"

#!/bin/bash
# Runs the fault matrix (tests/test_fault_matrix.cpp) of a build and prints
# its figures: one row per fault, one column per command, each cell
# "runs: identical/error reported/silent loss".
#   scripts/fault-matrix.sh [build-dir]     (default: build)
set -euo pipefail
build=${1:-build}
ctest --test-dir "$build" -R 'FaultMatrix' -j2 -V 2>&1 | sed -n 's/^[0-9]*: matrix: //p' | awk -F' [|] ' '
{
    op = $1; fault = $2; outcome = $3
    if (!(op in seen_op)) { seen_op[op] = 1; ops[++nops] = op }
    if (!(fault in seen_fault)) { seen_fault[fault] = 1; faults[++nfaults] = fault }
    runs[fault, op]++; total[outcome]++
    if (outcome == "identical") same[fault, op]++
    else if (outcome == "error") err[fault, op]++
    else loss[fault, op]++
}
END {
    printf "| fault |"; for (i = 1; i <= nops; i++) printf " %s |", ops[i]; printf "\n|---|"
    for (i = 1; i <= nops; i++) printf "---|"; printf "\n"
    for (f = 1; f <= nfaults; f++) {
        printf "| %s |", faults[f]
        for (i = 1; i <= nops; i++) {
            k = faults[f] SUBSEP ops[i]
            if (!(k in runs)) { printf " |"; continue }
            printf " %d: %d/%d/%d |", runs[k], same[k] + 0, err[k] + 0, loss[k] + 0
        }
        printf "\n"
    }
    printf "\nTotals: %d identical, %d error reported, %d silent loss\n", total["identical"], total["error"], total["LOSS"]
}'

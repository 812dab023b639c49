#!/usr/bin/env bash
# Alternates `bench` runs of two engines (or of an engine and Debian's stockfish) and prints
# each run and the medians of nodes per second, so that both are measured under the same load.
#
#   scripts/compare-bench.sh [RUNS] ENGINE_A ENGINE_B
#
# ENGINE is a path to an Orvane binary, or "stockfish" for /usr/games/stockfish's own bench
# (its default: 16 MB, 1 thread, depth 13). Pause the background generator first
# (make datagen-pause).
set -euo pipefail
runs=5
if [[ $# -ge 3 ]]; then runs=$1; shift; fi
[[ $# -eq 2 ]] || { sed -n '2,9p' "$0"; exit 2; }

nps_of() {
    if [[ $1 == stockfish ]]; then
        /usr/games/stockfish bench 2>&1 | sed -n 's/^Nodes\/second *: *//p'
    else
        "$1" bench 2>&1 | sed -n 's/^Speed: \([0-9]*\) nps.*/\1/p'
    fi
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : int((v[NR/2]+v[NR/2+1])/2)}'; }

a=() b=()
for ((i = 1; i <= runs; i++)); do
    a+=("$(nps_of "$1")")
    b+=("$(nps_of "$2")")
    echo "run $i: ${a[-1]} ${b[-1]}"
done
ma=$(printf '%s\n' "${a[@]}" | median)
mb=$(printf '%s\n' "${b[@]}" | median)
echo "median nps: $1 $ma, $2 $mb, ratio $(awk -v x="$ma" -v y="$mb" 'BEGIN {printf "%.3f", x / y}')"

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
source "$(dirname "$0")/alternate.sh"
alternate "$runs" nps_of "$1" "$2" nps

#!/usr/bin/env bash
# Alternates timed runs of two self-play generators (two builds, or one build with two sets of
# options) and prints each run's positions per second and the medians, so that both are
# measured under the same load.
#
#   scripts/compare-datagen.sh [RUNS [SECONDS]] "GENERATOR_A OPTIONS" "GENERATOR_B OPTIONS"
#
# Each run plays on every core for SECONDS (default 30) with --rng 1000+run, so run i of both
# sides starts from the same openings. Give the soft node limit in the options of both (for
# example --soft-nodes 5000), and --syzygy ../shared/syzygy for a generator that takes it.
# Games go to a temporary file that is removed. Pause the background generator first
# (make datagen-pause).
set -euo pipefail
runs=5 seconds=30
if [[ $# -ge 4 ]]; then runs=$1 seconds=$2; shift 2; elif [[ $# -eq 3 ]]; then runs=$1; shift; fi
[[ $# -eq 2 ]] || { sed -n '2,12p' "$0"; exit 2; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT

# Positions per second from the generator's last progress line.
rate_of() {
    local -a cmd
    read -ra cmd <<< "$1"
    "${cmd[@]}" --out "$out" --threads "$(nproc)" --rng $((1000 + $2)) --seconds "$seconds" 2>&1 \
        | sed -n 's/.*(\([0-9]*\) pos\/s).*/\1/p' | tail -n 1
}
source "$(dirname "$0")/alternate.sh"
alternate "$runs" rate_of "$1" "$2" "positions per second"

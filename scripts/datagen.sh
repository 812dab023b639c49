#!/usr/bin/env bash
# Self-play data in the background, at the lowest scheduling priority, so that builds, tests
# and everything else come first.
#
#   scripts/datagen.sh start [SECONDS]   start a run (no time limit unless SECONDS is given)
#   scripts/datagen.sh stop              end the run cleanly, compress it, add its row
#   scripts/datagen.sh pause | resume    hold the run (for benchmarks and matches) and go on
#   scripts/datagen.sh status            the run's last progress line
#
# A run plays with the built-in network of the current Release build (build/), on every core,
# with a fresh random generator value, adjudicating with the Syzygy tables in ../shared/syzygy when they
# are there (DATAGEN_SYZYGY names another folder; set it empty for none), at a soft limit
# of 1,250 nodes per move unless DATAGEN_SOFT_NODES sets another, on a 4 MB table per thread
# (DATAGEN_HASH). Its games go to
# data/<network>-selfplay_<commit>_<rng>.bin; `stop` compresses that file with zstd -19
# and appends its row to data/README.md, both to be committed. The running binary is a copy,
# so rebuilding does not disturb it. State lives in .datagen/ (not committed).
set -euo pipefail
cd "$(dirname "$0")/.."

STATE=.datagen
BUILD=${BUILD:-build}
SYZYGY=${DATAGEN_SYZYGY-../shared/syzygy}
THREADS=${DATAGEN_THREADS:-$(nproc)}
# Each halving of the generator's own 5,000 has more than doubled the positions per hour, and
# in trials of equal generation the network trained on the shallower games won both times
# (2,500 against 5,000, then 1,250 against 2,500).
SOFT_NODES=${DATAGEN_SOFT_NODES:-1250}
HASH_MB=${DATAGEN_HASH:-4}  # table of each playing thread, in MB

running_pid() {
    [ -f "$STATE/pid" ] || return 1
    local pid
    pid=$(cat "$STATE/pid")
    kill -0 "$pid" 2>/dev/null && echo "$pid"
}

start() {
    local seconds=${1:-0}
    if pid=$(running_pid); then
        echo "a run is going already (pid $pid): $(cat "$STATE/out")"
        exit 1
    fi
    [ -x "$BUILD/orvane-datagen" ] || { echo "build $BUILD/orvane-datagen first (make datagen)"; exit 1; }
    mkdir -p "$STATE"
    local commit net rng out
    commit=$(git rev-parse --short HEAD)
    git diff --quiet HEAD -- src tools CMakeLists.txt cmake networks || commit="$commit+"
    net=$(sed -n 's/^ORVANE_NET_FILE:FILEPATH=//p' "$BUILD/CMakeCache.txt")
    net=$(basename "${net:-pst-reproduction}" .nnue)
    rng=$(od -An -N6 -tu8 /dev/urandom | tr -d ' ')
    out="data/${net}-selfplay_${commit%+}_${rng}.bin"
    cp "$BUILD/orvane-datagen" "$STATE/orvane-datagen"
    local args=(--out "$out" --threads "$THREADS" --rng "$rng")
    [ "$seconds" -gt 0 ] && args+=(--seconds "$seconds")
    [ -n "$SYZYGY" ] && [ -d "$SYZYGY" ] && args+=(--syzygy "$SYZYGY")
    args+=(--soft-nodes "$SOFT_NODES" --hash "$HASH_MB")
    echo "$out" > "$STATE/out"
    date +%s > "$STATE/started"
    echo "Orvane commit $commit, Release $(sed -n 's/^ORVANE_LEVEL:STRING=//p' "$BUILD/CMakeCache.txt"), built-in network $net, orvane-datagen ${args[*]:2}" > "$STATE/settings"
    # setsid: the run is its own process group, so pause and resume reach all of it.
    setsid chrt --idle 0 nice -n 19 "$STATE/orvane-datagen" "${args[@]}" \
        > "$STATE/log" 2>&1 < /dev/null &
    echo $! > "$STATE/pid"
    echo "started: $out (pid $!, --rng $rng); progress in $STATE/log"
}

with_commas() { echo "$1" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta'; }

stop() {
    local pid
    if pid=$(running_pid); then
        kill -CONT -- "-$pid" 2>/dev/null || true
        kill -TERM "$pid"
        while kill -0 "$pid" 2>/dev/null; do sleep 1; done
    fi
    [ -f "$STATE/out" ] || { echo "no run to finish"; exit 1; }
    local out progress counts games positions
    out=$(cat "$STATE/out")
    progress=$(grep ' games ' "$STATE/log" | tail -1 || true)
    # The counts come from the file: after a kill the last progress line can be behind it.
    counts=$("$BUILD/orvane-games" count "$out" 2>/dev/null || true)
    games=$(echo "$counts" | sed -n 's/.* games \([0-9]*\) .*/\1/p')
    positions=$(echo "$counts" | sed -n 's/.* positions \([0-9]*\) .*/\1/p')
    if [ ! -s "$out" ] || [ "${games:-0}" -eq 0 ]; then
        echo "the run made no games; nothing to keep"
        rm -f "$out" "$STATE/out"
        exit 0
    fi
    zstd -q -19 -f --rm "$out" -o "$out.zst"
    local summary wall=""
    summary=$(echo "$progress" | sed 's/^\([0-9]*\)s games.*(\([0-9]*\) pos\/s) \(.*\)/\1 s at \2 positions per second; \3/')
    # Positions per hour of wall time: pauses, builds and matches included.
    if [ -f "$STATE/started" ]; then
        local seconds=$(( $(date +%s) - $(cat "$STATE/started") ))
        [ "$seconds" -gt 0 ] && wall="; $(with_commas $(( positions * 3600 / seconds ))) positions per hour of wall time over $(awk -v s="$seconds" 'BEGIN { printf "%.1f", s / 3600 }') h"
    fi
    summary="$summary$wall; counted from the file"
    printf '| %s | %s | %s | %s; %s |\n' "$(basename "$out").zst" \
        "$(with_commas "$games")" "$(with_commas "$positions")" \
        "$(cat "$STATE/settings")" "$summary" >> data/README.md
    rm -f "$STATE/out" "$STATE/pid"
    echo "kept $out.zst ($games games, $positions positions) and its row in data/README.md"
}

signal_run() {
    local pid
    pid=$(running_pid) || { echo "no run is going"; exit 1; }
    kill "-$1" -- "-$pid"
}

case "${1:-}" in
start) start "${2:-0}" ;;
stop) stop ;;
pause) signal_run STOP ;;
resume) signal_run CONT ;;
status) running_pid >/dev/null && echo "running: $(cat "$STATE/out")" || echo "not running"
        [ -f "$STATE/log" ] && tail -1 "$STATE/log" ;;
*) sed -n '2,17p' "$0"; exit 2 ;;
esac

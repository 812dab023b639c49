#!/usr/bin/env bash
# Calibrates UCI_Elo against Debian's Stockfish, whose UCI_Elo scale is the reference: at each
# point both engines play with UCI_LimitStrength on and the same nominal UCI_Elo, and Orvane
# should score 35-65%. A score above 65% means the point plays too strongly (lower its node
# cap, raise its chance or margin in src/core/search/strength.cpp); below 35%, too weakly.
#
#   scripts/calibrate-strength.sh                  # 1500 2000 2200, 100 games each at 10+0.1
#   GAMES=10 TC=5+0.05 scripts/calibrate-strength.sh 1500 2200     # a short smoke run
#   OPPONENT=build/orvane scripts/calibrate-strength.sh 1500       # Orvane against itself
#
# Matches take the whole machine (2 games at once): pause other work first (make
# datagen-pause). Each point writes calibration/elo-<N>.log and .pgn under the build folder
# and a one-line result; the script exits non-zero when a match had engine faults.
set -u
cd "$(dirname "$0")/.."
ENGINE=${ENGINE:-build/orvane}
OPPONENT=${OPPONENT:-/usr/games/stockfish}
MATCH=${MATCH:-../shared/tools/match/match}
BOOK=${BOOK:-../shared/books/8moves_v3.pgn}
GAMES=${GAMES:-100}
TC=${TC:-10+0.1}
CONCURRENCY=${CONCURRENCY:-2}
BOOK_ORDER=${BOOK_ORDER:-2024}  # the match tool's order of the book openings
OUT=${OUT:-build/calibration}
[ $# -gt 0 ] || set -- 1500 2000 2200

[ -x "$ENGINE" ] || { echo "no engine at $ENGINE (build it first)" >&2; exit 2; }
[ -x "$OPPONENT" ] || { echo "no opponent at $OPPONENT (apt-get install stockfish)" >&2; exit 2; }
mkdir -p "$OUT"
status=0
for elo in "$@"; do
    log="$OUT/elo-$elo.log"
    "$MATCH" --engine1 "$ENGINE" --engine2 "$OPPONENT" \
        --option1 UCI_LimitStrength=true "UCI_Elo=$elo" \
        --option2 UCI_LimitStrength=true "UCI_Elo=$elo" \
        --games "$GAMES" --tc "$TC" --concurrency "$CONCURRENCY" --book "$BOOK" \
        --seed "$BOOK_ORDER" --quiet --pgn "$OUT/elo-$elo.pgn" > "$log" 2>&1 || status=1
    score=$(sed -n 's/^Score *: *//p' "$log")
    result=$(sed -n 's/^Result *: *//p' "$log")
    verdict=$(awk -v s="${score%\%}" 'BEGIN { if (s == "") print "no result";
        else if (s < 35) print "too weak"; else if (s > 65) print "too strong"; else print "ok" }')
    echo "UCI_Elo $elo: score ${score:-?} ($result) -> $verdict; $(sed -n 's/^Status *: *//p' "$log")"
done
exit $status

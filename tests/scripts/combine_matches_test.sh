#!/usr/bin/env bash
# scripts/combine-matches.sh on match summaries written here: the pairs of several blocks are
# summed (an interrupted block counts its complete pairs), the verdict follows the whole sample,
# and logs of different matches or without a result are refused.
source "$(dirname "$0")/harness.sh"
combine="$root/scripts/combine-matches.sh"

# summary FILE PAIRING W D L PENTA [interrupted]
summary() {
    {
        echo "Progress: 10/100 games"
        [ -z "${6:-}" ] || echo "INTERRUPTED by SIGTERM: games in progress were discarded"
        echo "===== Summary: $2 ====="
        echo "Games       : $(($3 + $4 + $5)) of 100, tc 10+0.1"
        echo "Result      : ${2%% vs *} W $3 / D $4 / L $5"
        echo "Pentanomial : [$6]  (pair scores 0, 0.5, 1, 1.5, 2 for ${2%% vs *})"
    } > "$1"
}
summary "$work/a.log" "new vs base" 10 53 11 "1, 8, 18, 9, 0"
summary "$work/b.log" "new vs base" 30 60 10 "0, 4, 20, 20, 6"
summary "$work/other.log" "new vs other" 1 1 0 "0, 0, 0, 1, 0"
echo "Progress: 10/100 games" > "$work/none.log"

out=$("$combine" --sprt 0,10 "$work/a.log" "$work/b.log")
grep -q "new vs base: 174 games (86 pairs), W 40 / D 113 / L 21, pentanomial \[1, 12, 38, 29, 6\]" \
    <<< "$out" || fail "sums: $out"
grep -q "^Elo +" <<< "$out" || fail "the combined sample is ahead: $out"
out=$("$combine" --sprt 0,10 "$work/a.log")
grep -q "no decision" <<< "$out" || fail "one small block decides nothing: $out"
out=$("$combine" --sprt 0,20 "$work/b.log" "$work/b.log" "$work/b.log" "$work/b.log")
grep -q "H1 accepted" <<< "$out" || fail "a clear lead is accepted: $out"

for bad in "$work/other.log" "$work/none.log"; do
    if "$combine" "$work/a.log" "$bad" > /dev/null 2> "$work/err"; then
        fail "$bad accepted"
    fi
    [ -s "$work/err" ] || fail "$bad refused without a reason"
done

[ "$failures" -eq 0 ] && echo "combine-matches: all checks passed"
exit "$failures"

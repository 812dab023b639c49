#!/usr/bin/env bash
# scripts/spsa.sh against stand-ins: an "engine" that prints three spsa lines and a "match"
# that logs its arguments and reports a fixed result. Checks the perturbation and the update
# against the SPSA schedule computed here, the clamping to each range, resuming, the stop
# after the planned iterations, and that a failed match leaves the state as it was.
source "$(dirname "$0")/harness.sh"
spsa="$root/scripts/spsa.sh"

cat > "$work/engine" <<'EOF'
#!/usr/bin/env bash
while read -r line; do
    case $line in
        spsa) printf '%s\n' 'WIDE_A, int, 100, 0, 200, 10, 0.002' \
                            'NEG_B, int, -50, -100, 0, 5, 0.004' 'TIGHT_C, int, 3, 1, 4, 1, 0.002' ;;
        quit) exit 0 ;;
    esac
done
EOF
# The match: its arguments one a line in match.args (appended), then the summary line of a
# result of +W =D -L for engine 1 (from RESULT), or exit code FAIL_CODE when that is set.
cat > "$work/match" <<'EOF'
#!/usr/bin/env bash
printf '%s\n' "$@" '--end' >> "$MATCH_ARGS"
[[ -n ${FAIL_CODE:-} ]] && { echo "the book is unreadable" >&2; exit "$FAIL_CODE"; }
read -r w d l <<< "$RESULT"
echo "Result      : plus W $w / D $d / L $l"
echo "Status      : OK, no engine faults"
EOF
printf '[Event "?"]\n\n1. e4 e5 *\n\n[Event "?"]\n\n1. d4 d5 *\n' > "$work/book.pgn"
chmod +x "$work/engine" "$work/match"
export MATCH="$work/match" MATCH_ARGS="$work/match.args"
state="$work/run.state"

"$spsa" init "$state" 10 --engine "$work/engine" --book "$work/book.pgn" --book-games 0 \
    --tc 1+0.01 --seed 7 > /dev/null
[[ $(grep -c '^param ' "$state") -eq 3 ]] || fail "init: three param lines expected"
grep -qx 'param NEG_B -50 -100 0 5 0.004 -50' "$state" || fail "init: NEG_B line"
grep -qx 'A 1' "$state" || fail "init: A is a tenth of the iterations"
if "$spsa" init "$state" 10 --engine "$work/engine" > /dev/null 2>&1; then
    fail "init over an existing state must refuse"
fi

# The values of the state's param lines, "NAME value" per line.
values() { awk '$1 == "param" { print $2, $3 }' "$state"; }

# Checks iteration K (from 0) of the last match call against the state before (BEFORE, as
# values prints it) and after, for a result of RESULT_DIFF (wins - losses).
check_iteration() {
    local k=$1 before=$2 result_diff=$3
    awk -v k="$k" -v r="$result_diff" -v before="$before" -v after="$(values)" '
        function round(x) { return x >= 0 ? int(x + 0.5) : -int(-x + 0.5) }
        function clamp(x, lo, hi) { return x < lo ? lo : x > hi ? hi : x }
        BEGIN { call = 1 }
        $0 == "--end" { count[call] = j; call++; j = 0; next }
        { args[call, ++j] = $0 }
        END {
            call--
            n = 10; A = 1; alpha = 0.602; gamma = 0.101
            split("WIDE_A NEG_B TIGHT_C", name, " ")
            lo["WIDE_A"] = 0; hi["WIDE_A"] = 200; ce["WIDE_A"] = 10; re["WIDE_A"] = 0.002
            lo["NEG_B"] = -100; hi["NEG_B"] = 0; ce["NEG_B"] = 5; re["NEG_B"] = 0.004
            lo["TIGHT_C"] = 1; hi["TIGHT_C"] = 4; ce["TIGHT_C"] = 1; re["TIGHT_C"] = 0.002
            split(before, b, "\n"); for (i in b) { split(b[i], f, " "); old[f[1]] = f[2] }
            split(after, a, "\n"); for (i in a) { split(a[i], f, " "); new[f[1]] = f[2] }
            # The last call: which options went to which engine, and the seed.
            for (j = 1; j <= count[call]; j++) {
                x = args[call, j]
                if (x == "--option1" || x == "--option2" || x ~ /^--/) side = x
                else if (x ~ /=/) { split(x, kv, "="); opt[side, kv[1]] = kv[2] }
                if (args[call, j - 1] == "--seed") seed = x
                if (args[call, j - 1] == "--games") games = x
            }
            bad = 0
            if (seed != 7 * 1000000 + k) { print "match seed " seed; bad = 1 }
            if (games != 2) { print "games " games; bad = 1 }
            for (i = 1; i <= 3; i++) {
                p = name[i]
                ck = ce[p] * n ^ gamma / (k + 1) ^ gamma
                ak = re[p] * ce[p] ^ 2 * (A + n) ^ alpha / (k + 1 + A) ^ alpha
                plus = opt["--option1", p]; minus = opt["--option2", p]
                # The sign is read from the perturbed values; the update must follow it.
                perturbed = 0; updated = 0
                for (s = -1; s <= 1; s += 2) {
                    if (plus != clamp(round(old[p] + s * ck), lo[p], hi[p]) ||
                        minus != clamp(round(old[p] - s * ck), lo[p], hi[p])) continue
                    perturbed = 1
                    want = clamp(old[p] + ak * r / ck * s, lo[p], hi[p])
                    if (new[p] - want < 0.001 && want - new[p] < 0.001) updated = 1
                }
                if (!perturbed) { print p ": perturbed to " plus " and " minus " from " old[p]; bad = 1 }
                else if (!updated) { print p ": " old[p] " became " new[p]; bad = 1 }
            }
            exit bad
        }' "$MATCH_ARGS" || fail "iteration $k"
}

: > "$MATCH_ARGS"
for k in 0 1; do
    before=$(values)
    RESULT="2 0 0" "$spsa" run "$state" 1 > /dev/null
    check_iteration "$k" "$before" 2
done
# A loss pushes the other way; a large one meets the ranges' ends.
before=$(values)
RESULT="0 0 2" "$spsa" run "$state" 1 > /dev/null
check_iteration 2 "$before" -2
grep -qx 'iteration 3' "$state" || fail "the state should be at iteration 3"
[[ $(grep -c '^history ' "$state") -eq 3 ]] || fail "three history lines expected"
grep -q '^history 3 0 0 2 ' "$state" || fail "history line of iteration 3"
[[ $(grep -c -- '--end' "$MATCH_ARGS") -eq 3 ]] || fail "one match per iteration"

# A failed match changes nothing.
cp "$state" "$work/saved"
if FAIL_CODE=2 RESULT="1 0 0" "$spsa" run "$state" 1 > /dev/null 2>&1; then
    fail "a failed match must fail the run"
fi
cmp -s "$state" "$work/saved" || fail "a failed match changed the state"

# The run ends at its planned iterations.
RESULT="1 1 0" "$spsa" run "$state" 20 > "$work/out"
grep -qx 'iteration 10' "$state" || fail "the run should stop at iteration 10"
grep -q 'has played its 10 iterations' "$work/out" || fail "no message at the end of the run"

# values: every parameter once, rounded; show: one row per parameter.
[[ $("$spsa" values "$state" | grep -cE '^(WIDE_A|NEG_B|TIGHT_C)=-?[0-9]+$') -eq 3 ]] \
    || fail "values: NAME=integer for each parameter"
[[ $("$spsa" show "$state" | grep -cE '^(WIDE_A|NEG_B|TIGHT_C) ') -eq 3 ]] || fail "show rows"

if [[ $failures -gt 0 ]]; then exit 1; fi
echo "spsa driver: all checks passed"

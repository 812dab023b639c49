#!/usr/bin/env bash
# A local SPSA run of the search's tune records, with the tuning build and the match runner.
#
#   scripts/spsa.sh init STATE [ITERATIONS] [--engine E] [--params REGEX] [--tc TC]
#                        [--pairs P] [--concurrency C] [--book B] [--book-games G]
#                        [--seed S] [--r-end R]
#   scripts/spsa.sh run STATE N [--tc TC] [--pairs P] [--concurrency C]   N more iterations
#   scripts/spsa.sh show STATE         where the run stands, parameter by parameter
#   scripts/spsa.sh values STATE       NAME=VALUE per parameter (for --option1 of a match)
#   scripts/spsa.sh plot STATE OUT.png the path of every parameter (installs gnuplot-nox)
#
# init asks the engine (default build-tuning/orvane, from `make tuning`) for its `spsa` lines,
# keeps the records whose names match REGEX (default: all) and writes the state: ITERATIONS
# (default 1000), A = ITERATIONS / 10, the usual alpha 0.602 and gamma 0.101, and per
# parameter its value, range, c_end (the record's step) and r_end (0.002). Defaults: 1 game
# pair per iteration at 2+0.02, openings from ../shared/books/8moves_v3.pgn: G of them (default
# 2000, 0 for all), every n-th game of the book, copied once to STATE.book.pgn, since the match
# runner takes half a minute to read the whole book at each start.
#
# Iteration k (from 0) perturbs every parameter by +-c_k, with c_k = c / (k+1)^gamma and a
# random sign per parameter (from the seed and k), rounds and clamps the two sides, plays
# P game pairs of theta+ (engine 1) against theta- (the match's seed is seed x 1000000 + k),
# and moves each value by a_k x (wins - losses of theta+) / c_k x its sign, clamped to its
# range, with a_k = a / (k+1+A)^alpha. As in OpenBench, c = c_end x N^gamma and
# a = r_end x c_end^2 x (A+N)^alpha, so that c_k and a_k / c_k^2 end at c_end and r_end.
#
# The state is one plain text file: header lines, a `param` line per parameter and a
# `history` line per finished iteration (its wins, draws and losses, then every value after
# it). It is rewritten as a whole (a new file renamed over the old one) after each iteration,
# so an interrupted run loses at most the iteration it was playing, and `run` continues where
# the file stands; it stops after the planned iterations. Paths in it are relative to the
# repository's root. MATCH names another match runner (the tests use a stand-in).
set -euo pipefail

usage() { sed -n '2,10p' "$0"; exit 2; }
[[ $# -ge 2 ]] || usage
command=$1
state=$(realpath -m -- "$2")
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
MATCH=${MATCH:-../shared/tools/match/match}

die() { echo "spsa: $*" >&2; exit 1; }

# The header value of KEY in the state.
get() { awk -v k="$1" '$1 == k { sub(/^[^ ]+ /, ""); print; exit }' "$state"; }

# Replaces (or adds) header lines of FILE: set_header FILE KEY VALUE [KEY VALUE ...].
set_header() {
    local file=$1
    shift
    local tmp="$file.tmp.$$"
    awk -v pairs="$*" '
        BEGIN { n = split(pairs, kv, " "); for (i = 1; i < n; i += 2) want[kv[i]] = kv[i + 1] }
        ($1 in want) { print $1, want[$1]; done[$1] = 1; next }
        { print }
        END { for (k in want) if (!(k in done)) print k, want[k] }' "$file" > "$tmp"
    mv -f "$tmp" "$file"
}

cmd_init() {
    local iterations=1000 engine=build-tuning/orvane params='.*' tc=2+0.02 pairs=1
    local concurrency=1 book=../shared/books/8moves_v3.pgn book_games=2000 seed=0 r_end=
    if [[ $# -gt 0 && $1 != --* ]]; then iterations=$1; shift; fi
    while [[ $# -gt 0 ]]; do
        case $1 in
            --engine) engine=$2 ;;
            --params) params=$2 ;;
            --tc) tc=$2 ;;
            --pairs) pairs=$2 ;;
            --concurrency) concurrency=$2 ;;
            --book) book=$2 ;;
            --book-games) book_games=$2 ;;
            --seed) seed=$2 ;;
            --r-end) r_end=$2 ;;
            *) usage ;;
        esac
        shift 2
    done
    [[ -e $state ]] && die "$state exists; a run continues with 'run'"
    [[ $iterations =~ ^[1-9][0-9]*$ ]] || die "ITERATIONS must be a positive integer"
    [[ -x $engine ]] || die "no engine at $engine (make tuning builds build-tuning/orvane)"
    local lines
    lines=$(printf 'spsa\nquit\n' | "$engine" | grep -E '^[A-Z0-9_]+, int, ' || true)
    [[ -n $lines ]] || die "$engine printed no spsa lines: not a tuning build (make tuning)"
    local tmp="$state.tmp.$$"
    {
        echo "# SPSA state of Orvane's search parameters (scripts/spsa.sh); rewritten after every iteration"
        echo "iteration 0"
        echo "iterations $iterations"
        echo "A $(( (iterations + 5) / 10 ))"
        echo "alpha 0.602"
        echo "gamma 0.101"
        echo "seed $seed"
        echo "engine $engine"
        echo "tc $tc"
        echo "pairs $pairs"
        echo "concurrency $concurrency"
        echo "book $book"
        echo "book_games $book_games"
        echo "# param NAME value min max c_end r_end start"
        echo "$lines" | awk -F', ' -v re="$params" -v r="$r_end" '
            $1 ~ "^(" re ")$" { print "param", $1, $3, $4, $5, $6, (r == "" ? $7 : r), $3 }'
        echo "# history ITERATION WINS DRAWS LOSSES then each value after the iteration"
    } > "$tmp"
    grep -q '^param ' "$tmp" || { rm -f "$tmp"; die "no record matches '$params'"; }
    mv -f "$tmp" "$state"
    echo "spsa: $state: $(grep -c '^param ' "$state") parameters, $iterations iterations"
}

# The openings of the run: the book itself, or every n-th of its games in STATE.book.pgn (made
# again whenever it is missing).
openings() {
    local book games
    book=$(get book); games=$(get book_games)
    if [[ -z $games || $games == 0 ]]; then echo "$book"; return; fi
    local sample="$state.book.pgn"
    if [[ ! -s $sample ]]; then
        local total
        total=$(grep -c '^\[Event ' "$book")
        awk -v step=$(( total > games ? total / games : 1 )) -v games="$games" '
            /^\[Event / { n++ }
            n > 0 && (n - 1) % step == 0 && (n - 1) / step < games { print }' "$book" > "$sample.tmp.$$"
        mv -f "$sample.tmp.$$" "$sample"
    fi
    echo "$sample"
}

# For iteration K: one line per parameter, "NAME sign plus minus c_k a_k". The signs are the
# bits of SHA-256 hashes of the seed and K (256 parameters a hash).
perturb() {
    local count bits= chunk
    count=$(grep -c '^param ' "$state")
    for ((chunk = 0; chunk * 256 < count; chunk++)); do
        bits+=$(printf 'spsa %s %s %s' "$(get seed)" "$1" "$chunk" | sha256sum | cut -c1-64)
    done
    awk -v k="$1" -v bits="$bits" '
        function round(x) { return x >= 0 ? int(x + 0.5) : -int(-x + 0.5) }
        function clamp(x, lo, hi) { return x < lo ? lo : x > hi ? hi : x }
        $1 == "iterations" { n = $2 } $1 == "A" { A = $2 } $1 == "alpha" { alpha = $2 }
        $1 == "gamma" { gamma = $2 }
        $1 == "param" { np++; name[np] = $2; v[np] = $3; lo[np] = $4; hi[np] = $5; ce[np] = $6; re[np] = $7 }
        END {
            for (i = 1; i <= np; i++) {
                c = ce[i] * n ^ gamma
                a = re[i] * ce[i] * ce[i] * (A + n) ^ alpha
                ck = c / (k + 1) ^ gamma
                ak = a / (k + 1 + A) ^ alpha
                digit = index("0123456789abcdef", substr(bits, int((i - 1) / 4) + 1, 1)) - 1
                s = int(digit / 2 ^ ((i - 1) % 4)) % 2 ? 1 : -1
                printf "%s %d %d %d %.6f %.6f\n", name[i], s,
                       clamp(round(v[i] + s * ck), lo[i], hi[i]),
                       clamp(round(v[i] - s * ck), lo[i], hi[i]), ck, ak
            }
        }' "$state"
}

cmd_run() {
    [[ -f $state ]] || die "no state $state (init first)"
    [[ $# -ge 1 && $1 =~ ^[0-9]+$ ]] || usage
    local more=$1
    shift
    while [[ $# -gt 0 ]]; do
        case $1 in
            --tc) set_header "$state" tc "$2" ;;
            --pairs) set_header "$state" pairs "$2" ;;
            --concurrency) set_header "$state" concurrency "$2" ;;
            *) usage ;;
        esac
        shift 2
    done
    local engine tc pairs concurrency book seed total
    engine=$(get engine); tc=$(get tc); pairs=$(get pairs); concurrency=$(get concurrency)
    book=$(openings); seed=$(get seed); total=$(get iterations)
    [[ -x $engine ]] || die "no engine at $engine (make tuning)"
    local log="$state.match.log"
    for ((i = 0; i < more; i++)); do
        local k
        k=$(get iteration)
        if (( k >= total )); then
            echo "spsa: the run has played its $total iterations (raise 'iterations' in the state to go on)"
            break
        fi
        local plan opt1=() opt2=()
        plan=$(perturb "$k")
        while read -r name sign plus minus ck ak; do
            opt1+=("$name=$plus")
            opt2+=("$name=$minus")
        done <<< "$plan"
        local match_seed=$(( seed * 1000000 + k ))
        local c=$concurrency
        (( c > pairs )) && c=$pairs
        local rc=0
        "$MATCH" --engine1 "$engine" --name1 plus --option1 "${opt1[@]}" \
            --engine2 "$engine" --name2 minus --option2 "${opt2[@]}" \
            --games $(( 2 * pairs )) --concurrency "$c" --tc "$tc" --book "$book" \
            --seed "$match_seed" --quiet > "$log" 2>&1 || rc=$?
        if [[ $rc -ne 0 && $rc -ne 3 ]]; then
            tail -n 20 "$log" >&2
            die "the match of iteration $k failed (exit code $rc); the state is unchanged"
        fi
        local result w d l
        result=$(sed -n 's/^Result *: plus W \([0-9]*\) \/ D \([0-9]*\) \/ L \([0-9]*\).*/\1 \2 \3/p' "$log")
        [[ -n $result ]] || { tail -n 20 "$log" >&2; die "no result line in $log"; }
        read -r w d l <<< "$result"
        if [[ $rc -eq 3 ]]; then
            echo "spsa: iteration $k had engine faults (counted as losses):" >&2
            grep -E 'FAULT' "$log" | head -n 5 >&2 || true
        fi
        local tmp="$state.tmp.$$"
        awk -v k="$k" -v w="$w" -v d="$d" -v l="$l" -v plan="$plan" '
            function clamp(x, lo, hi) { return x < lo ? lo : x > hi ? hi : x }
            BEGIN {
                n = split(plan, rows, "\n")
                for (i = 1; i <= n; i++) {
                    split(rows[i], f, " ")
                    sign[f[1]] = f[2]; ck[f[1]] = f[5]; ak[f[1]] = f[6]
                }
                result = w - l
            }
            $1 == "iteration" { print "iteration", k + 1; next }
            $1 == "param" {
                v = clamp($3 + ak[$2] * result / ck[$2] * sign[$2], $4, $5)
                values = values " " sprintf("%.4f", v)
                printf "param %s %.4f %s %s %s %s %s\n", $2, v, $4, $5, $6, $7, $8
                next
            }
            { print }
            END { print "history", k + 1, w, d, l values }' "$state" > "$tmp"
        mv -f "$tmp" "$state"
        printf 'iteration %d/%d: +%d =%d -%d (%d games so far)\n' $(( k + 1 )) "$total" \
            "$w" "$d" "$l" "$(awk '$1 == "history" { g += $3 + $4 + $5 } END { print g + 0 }' "$state")"
    done
}

cmd_show() {
    [[ -f $state ]] || die "no state $state"
    awk '
        function round(x) { return x >= 0 ? int(x + 0.5) : -int(-x + 0.5) }
        $1 == "iteration" { k = $2 } $1 == "iterations" { n = $2 } $1 == "A" { A = $2 }
        $1 == "alpha" { alpha = $2 } $1 == "gamma" { gamma = $2 }
        $1 ~ /^(engine|tc|pairs|concurrency|book|book_games|seed)$/ { setting = setting " " $1 " " $2 }
        $1 == "param" { np++; row[np] = $0 }
        $1 == "history" { w += $3; d += $4; l += $5 }
        END {
            g = w + d + l
            printf "iteration %d of %d (A %d, alpha %s, gamma %s);%s\n", k, n, A, alpha, gamma, setting
            printf "games %d: theta+ +%d =%d -%d\n", g, w, d, l
            printf "%-26s %8s %10s %6s %7s %7s %6s %8s %7s\n", "name", "start", "value", "now", \
                   "min", "max", "c_end", "c_k", "moved"
            for (i = 1; i <= np; i++) {
                split(row[i], f, " ")
                ck = f[6] * n ^ gamma / (k + 1) ^ gamma
                printf "%-26s %8s %10.3f %6d %7s %7s %6s %8.3f %+7.2f\n", f[2], f[8], f[3], \
                       round(f[3]), f[4], f[5], f[6], ck, (f[3] - f[8]) / f[6]
            }
            print "(moved: the change since the start, in steps of c_end)"
        }' "$state"
}

cmd_values() {
    [[ -f $state ]] || die "no state $state"
    awk 'function round(x) { return x >= 0 ? int(x + 0.5) : -int(-x + 0.5) }
         $1 == "param" { print $2 "=" round($3) }' "$state"
}

cmd_plot() {
    [[ -f $state ]] || die "no state $state"
    [[ $# -eq 1 ]] || usage
    local out
    out=$(realpath -m -- "$1")
    if ! command -v gnuplot > /dev/null; then
        echo "spsa: installing gnuplot-nox"
        local sudo=
        [[ $(id -u) -eq 0 ]] || sudo=sudo
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends gnuplot-nox
    fi
    local data
    data=$(mktemp)
    # Iteration 0 holds the start values; each history line the values after its iteration.
    awk '$1 == "param" { start = start " " $8 }
         $1 == "history" { row = $2; for (i = 6; i <= NF; i++) row = row " " $i; rows = rows row "\n" }
         END { print "0" start; printf "%s", rows }' "$state" > "$data"
    local names count cols=5
    names=$(awk '$1 == "param" { printf "%s ", $2 }' "$state")
    count=$(grep -c '^param ' "$state")
    local rows=$(( (count + cols - 1) / cols ))
    {
        echo "set terminal pngcairo size $(( cols * 320 )),$(( rows * 220 )) font ',8'"
        echo "set output '$out'"
        echo "set multiplot layout $rows,$cols title 'SPSA: $(basename "$state"), $(get iteration) iterations'"
        echo "set key off; set xlabel ''; set ylabel ''; set grid"
        local i=0
        for name in $names; do
            i=$(( i + 1 ))
            echo "set title '${name//_/\\_}'"
            echo "plot '$data' using 1:$(( i + 1 )) with lines lw 1.5 lc rgb '#1f5fa8'"
        done
        echo "unset multiplot"
    } | gnuplot
    rm -f "$data"
    echo "spsa: wrote $out"
}

case $command in
    init) cmd_init "$@" ;;
    run) cmd_run "$@" ;;
    show) cmd_show "$@" ;;
    values) cmd_values "$@" ;;
    plot) cmd_plot "$@" ;;
    *) usage ;;
esac

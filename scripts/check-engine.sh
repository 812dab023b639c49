#!/usr/bin/env bash
# Checks a built engine end to end, through the way it is run: the Windows and ARM64 builds
# under wine or qemu-aarch64 (their CTest runs this), or any build directly.
#
#   scripts/check-engine.sh [EMULATOR...] ENGINE
#
#   - `bench D` and `bench D hce` give the node counts the native tests pin
#     (tests/support/bench_signature.h), so the build searches exactly as the native one;
#   - a UCI session with CR LF line ends: uci, isready, a position, go depth, quit;
#   - Syzygy tables (../shared/syzygy, when present) are found and probed, also as the second
#     folder of a list (';' between folders on Windows, ':' elsewhere);
#   - command-line commands run in order, genfens gives the same positions for a seed and
#     others for another.
# Prints one line per check and exits with 1 when one fails.
set -uo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: check-engine.sh [EMULATOR...] ENGINE" >&2; exit 2; }
engine=("$@")
failures=0
pass() { echo "ok    $1"; }
fail() { echo "FAIL  $1"; failures=$((failures + 1)); }

pin() { sed -n "s/.*constexpr .* $1 = \([0-9']*\);.*/\1/p" tests/support/bench_signature.h | tr -d "'"; }
depth=$(pin DEPTH)
for kind in NNUE HCE; do
    expected=$(pin "$kind")
    extra=()
    label="bench $depth"
    [ "$kind" = HCE ] && extra=(hce) && label+=" hce"
    got=$("${engine[@]}" bench "$depth" "${extra[@]}" 2>/dev/null | tr -d '\r' | sed -n 's/^Bench: \([0-9]*\) nodes.*/\1/p')
    if [ -n "$expected" ] && [ "$got" = "$expected" ]; then
        pass "$label: $got nodes"
    else
        fail "$label: '$got' nodes, expected '$expected'"
    fi
done

# Sends the command lines (with CR LF), waits for a line matching WAIT_FOR (a regular
# expression), then sends quit; prints everything the engine wrote.
session() {
    local wait_for=$1
    shift
    coproc ENGINE_PROC { "${engine[@]}" 2>/dev/null; }
    local line out=""
    for command in "$@"; do printf '%s\r\n' "$command" >&"${ENGINE_PROC[1]}"; done
    while IFS= read -r -t 120 line <&"${ENGINE_PROC[0]}"; do
        line=${line%$'\r'}
        out+="$line"$'\n'
        [[ $line =~ $wait_for ]] && break
    done
    printf 'quit\r\n' >&"${ENGINE_PROC[1]}" 2>/dev/null
    exec {ENGINE_PROC[1]}>&-
    wait "$ENGINE_PROC_PID" 2>/dev/null
    printf '%s' "$out"
}

out=$(session '^bestmove ' uci isready "position startpos moves e2e4 e7e5" "go depth 6")
if grep -q '^id name Orvane' <<<"$out" && grep -q '^uciok$' <<<"$out" && grep -q '^readyok$' <<<"$out" \
    && grep -Eq '^bestmove [a-h][1-8][a-h][1-8][qrbn]?( ponder [a-h][1-8][a-h][1-8][qrbn]?)?$' <<<"$out"; then
    pass "UCI session: $(grep '^bestmove' <<<"$out")"
else
    fail "UCI session; the engine wrote:"$'\n'"$out"
fi

if [ -d ../shared/syzygy ]; then
    separator=':'
    [[ ${engine[-1]} == *.exe ]] && separator=';'
    for path in ../shared/syzygy "no-such-folder${separator}../shared/syzygy"; do
        # King and queen against king: in the tables, so the root is answered by them.
        out=$(session '^bestmove ' "setoption name SyzygyPath value $path" \
            "position fen 8/8/8/4k3/8/8/3QK3/8 w - - 0 1" "go depth 5")
        hits=$(grep '^info depth' <<<"$out" | tail -n 1 | sed -n 's/.* tbhits \([0-9]*\).*/\1/p')
        if [ -n "$hits" ] && [ "$hits" -gt 0 ] \
            && ! grep -Eqi '^info string .*(no syzygy|could not|cannot)' <<<"$out"; then
            pass "Syzygy tables from $path: tbhits $hits"
        else
            fail "Syzygy tables from $path; the engine wrote:"$'\n'"$out"
        fi
    done
else
    echo "skip  Syzygy: no ../shared/syzygy"
fi

genfens() { "${engine[@]}" "genfens 5 seed $1 book None" quit 2>/dev/null | tr -d '\r' | grep '^info string genfens '; }
first=$(genfens 77)
again=$(genfens 77)
other=$(genfens 78)
if [ "$(wc -l <<<"$first")" -eq 5 ] && [ "$first" = "$again" ] && [ "$first" != "$other" ]; then
    pass "command-line genfens: 5 positions, the same for a seed, others for another"
else
    fail "command-line genfens:"$'\n'"$first"$'\n'"--"$'\n'"$again"$'\n'"--"$'\n'"$other"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }

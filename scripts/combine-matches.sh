#!/usr/bin/env bash
# One verdict from several runs of the same match (blocks with different seeds, played across
# sessions): sums the game pairs' pentanomial counts from the match tool's summaries and gives
# the Elo with its 95% interval and, with --sprt, the log-likelihood ratio of the whole sample
# against the usual bounds, computed by the match tool's own statistics.
#
#   scripts/combine-matches.sh [--sprt ELO0,ELO1] RUN.log [RUN.log ...]
#
# Each log is the match tool's output (an interrupted run counts its complete pairs). The first
# engine of the summaries is the one measured; every log must name the same two engines.
set -euo pipefail

STATS="$(realpath -m "$(dirname "$0")/../../shared/tools/match/lib/stats.js")"
sprt=""
if [ "${1:-}" = "--sprt" ]; then
    sprt="$2"
    shift 2
fi
[ $# -gt 0 ] || { sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
[ -f "$STATS" ] || { echo "combine-matches: $STATS not found" >&2; exit 2; }

penta=(0 0 0 0 0)
wins=0 draws=0 losses=0 pairing=""
for log in "$@"; do
    summary=$(grep -m1 '^===== Summary: ' "$log" | sed 's/^===== Summary: \(.*\) =====$/\1/' || true)
    [ -n "$summary" ] || { echo "combine-matches: $log has no summary" >&2; exit 2; }
    [ -z "$pairing" ] || [ "$pairing" = "$summary" ] \
        || { echo "combine-matches: $log is $summary, not $pairing" >&2; exit 2; }
    pairing="$summary"
    w="" p=()
    read -r w d l < <(sed -n 's/^Result *: .* W \([0-9]*\) \/ D \([0-9]*\) \/ L \([0-9]*\)$/\1 \2 \3/p' "$log") || true
    read -r -a p < <(sed -n 's/^Pentanomial : \[\([0-9, ]*\)\].*/\1/p' "$log" | tr -d ',') || true
    [ -n "${w:-}" ] && [ "${#p[@]}" -eq 5 ] || { echo "combine-matches: $log: no result" >&2; exit 2; }
    wins=$((wins + w)); draws=$((draws + d)); losses=$((losses + l))
    for i in 0 1 2 3 4; do penta[i]=$((penta[i] + p[i])); done
    echo "$log: W $w / D $d / L $l, pentanomial [${p[*]}]"
done

node - "$STATS" "$pairing" "$wins" "$draws" "$losses" "${penta[*]}" "$sprt" <<'EOF'
const [stats, pairing, w, d, l, pentaText, sprt] = process.argv.slice(2);
const S = require(stats);
const penta = pentaText.split(' ').map(Number);
const iv = S.pentanomial(penta);
const games = Number(w) + Number(d) + Number(l);
console.log(`${pairing}: ${games} games (${penta.reduce((a, b) => a + b, 0)} pairs), ` +
            `W ${w} / D ${d} / L ${l}, pentanomial [${penta.join(', ')}]`);
console.log(`Elo ${S.fmtElo(iv.elo)} ${S.fmtMargin(iv)} (95%, pentanomial), ` +
            `interval [${S.fmtElo(iv.lower)}, ${S.fmtElo(iv.upper)}]`);
if (sprt) {
  const [elo0, elo1] = sprt.split(',').map(Number);
  const llr = S.sprtLlr(penta, S.PENTA_X, elo0, elo1);
  const b = S.sprtBounds();
  const verdict = llr >= b.upper ? 'H1 accepted' : llr <= b.lower ? 'H0 accepted' : 'no decision';
  console.log(`SPRT [${elo0}, ${elo1}]: LLR ${llr.toFixed(2)} (${b.lower.toFixed(2)}, ` +
              `${b.upper.toFixed(2)}) -> ${verdict}`);
}
EOF

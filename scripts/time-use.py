#!/usr/bin/env python3
"""How each engine of a match spent its clock, from the match tool's PGN.

    scripts/time-use.py games.pgn [more.pgn ...]

The PGN must come from ../shared/tools/match (every searched move carries its time as
"{score/depth 0.123s}", book moves "{book}") with a TimeControl tag "BASE+INC". For each engine:
the mean time per move by move number, the mean clock left when it played its 40th and 60th
moves (games that got there), and the share of its moves that took more than a tenth of the
clock it had before the move. Needs Debian's python3 only.
"""
import re
import sys
from collections import defaultdict

TAG = re.compile(r'^\[(\w+) "(.*)"\]')
MOVE_TIME = re.compile(r'(\d+)\.(\.\.)?\s*\S+\s*\{([^}]*)\}')
SECONDS = re.compile(r'([0-9.]+)s$')
BUCKETS = [(1, 10), (11, 20), (21, 30), (31, 40), (41, 60), (61, 999)]


def games(paths):
    for path in paths:
        tags, text = {}, []
        for line in open(path, encoding="utf-8"):
            m = TAG.match(line)
            if m:
                if text:
                    yield tags, " ".join(text)
                    tags, text = {}, []
                tags[m.group(1)] = m.group(2)
            elif line.strip():
                text.append(line.strip())
        if text:
            yield tags, " ".join(text)


def main(paths):
    per_bucket = defaultdict(lambda: defaultdict(list))  # engine -> bucket -> times
    left_at = defaultdict(lambda: defaultdict(list))     # engine -> move number -> clock
    big = defaultdict(lambda: [0, 0])                    # engine -> [moves over a tenth, moves]
    for tags, text in games(paths):
        base, inc = (float(x) for x in tags.get("TimeControl", "10+0.1").split("+"))
        clock = {"w": base, "b": base}
        names = {"w": tags.get("White", "white"), "b": tags.get("Black", "black")}
        for m in MOVE_TIME.finditer(text):
            number, side = int(m.group(1)), "b" if m.group(2) else "w"
            comment = m.group(3).strip()
            if comment == "book":
                continue
            t = SECONDS.search(comment)
            if not t:
                continue
            spent, name = float(t.group(1)), names[side]
            if number in (40, 60):
                left_at[name][number].append(clock[side])
            big[name][0] += spent > clock[side] / 10
            big[name][1] += 1
            for lo, hi in BUCKETS:
                if lo <= number <= hi:
                    per_bucket[name][(lo, hi)].append(spent)
            clock[side] = max(clock[side] - spent, 0.0) + inc

    def mean(xs):
        return f"{sum(xs) / len(xs):.3f}" if xs else "-"

    header = ["engine"] + [f"moves {lo}-{hi if hi < 999 else ''}" for lo, hi in BUCKETS]
    header += ["left at 40 (s)", "left at 60 (s)", "moves > 1/10 of clock"]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for name in sorted(per_bucket):
        row = [name] + [mean(per_bucket[name][b]) for b in BUCKETS]
        row += [mean(left_at[name][40]), mean(left_at[name][60])]
        over, moves = big[name]
        row.append(f"{100 * over / moves:.1f}% of {moves}" if moves else "-")
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])

"""How many edits max_dist="auto" should allow a text of each length: on codespell's misspellings
of wordfreq's words (as bench_quality.py makes them, another sample), how often suggest() with
0, 1 or 2 edits puts the intended word first; and on words typed right (drawn by how often they
are searched), how often a bound of 1 or 2 lets a more frequent neighbour push the word itself
off the top. Prints a Markdown table by length."""

import collections
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import bench_quality  # noqa: E402
import torrelm  # noqa: E402

SEED = 1  # not bench_quality's sample, on which the other figures are reported


def main() -> None:
    words, counts = bench_quality.vocabulary(bench_quality.TERMS)
    index = torrelm.build([(w, 0, c) for w, c in zip(words, counts)])
    pairs, _ = bench_quality.misspellings(set(words), bench_quality.PAIRS, SEED)
    typed_right = random.Random(SEED).choices(words[:50_000], weights=counts[:50_000], k=3000)
    tally: dict[int, collections.Counter[str]] = collections.defaultdict(collections.Counter)
    for texts, kind in ((pairs, "typo"), ([(w, w) for w in typed_right], "right")):
        for typed, meant in texts:
            row = tally[min(len(typed), 9)]
            row[kind] += 1
            for k in (0, 1, 2):
                found = index.suggest(typed, max_dist=k, limit=1)
                row[f"{kind} {k}"] += bool(found) and found[0].term == meant
    print("| length | misspellings | first with 0 / 1 / 2 edits | typed right | "
          "first with 0 / 1 / 2 edits |")
    print("|---|---|---|---|---|")
    for length, row in sorted(tally.items()):
        shares = {kind: " / ".join(f"{100 * row[f'{kind} {k}'] / row[kind]:.1f} %"
                                   if row[kind] else "n/a" for k in (0, 1, 2))
                  for kind in ("typo", "right")}
        print(f"| {length}{'+' if length == 9 else ''} | {row['typo']:,} | {shares['typo']} | "
              f"{row['right']:,} | {shares['right']} |")


if __name__ == "__main__":
    main()

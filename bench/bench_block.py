"""What a block list costs the search box: typeahead() as it is typed, keystroke by keystroke, on
an index of some 100,000 terms, without a block list and with one of 1,000 terms and 50 words
(Index.blocked()).

The terms are queries of one to three words drawn with Zipf popularity from a seeded sample of
wamerican-insane (or made-up words where it is missing), each counted int(paretovariate(1.1))
times, with word starts as the service builds them. The blocked terms are drawn by count (--draw
count: a term is pulled as often as it is seen in the box), or half among the 2,000 most searched
and half from all (top: the walks meet them first, and must go past them to fill the box), or
all alike (uniform: mostly terms searched once, which few answers reach); the words among those
the terms use most, past the 20 that nearly all use. The prefixes are every prefix of 150 queries drawn by count.

Each prefix is asked of both in turn, and of the index built without the blocked terms (the same
answers with no list), the order turned from one prefix to the next, over several rounds; the
figure is the median call of each, and their ratios. Also prints how long
blocked() takes, and how many terms the list leaves out. Not a test: figures vary with the
machine.
"""

from __future__ import annotations

import argparse
import random
import statistics
import time
from pathlib import Path

import torrelm

DICTIONARY = Path("/usr/share/dict/american-english-insane")


def words(rng: random.Random, count: int) -> list[str]:
    if DICTIONARY.exists():
        pool = sorted({w.lower() for w in DICTIONARY.read_text(errors="replace").split()
                       if w.isascii() and w.isalpha() and 3 <= len(w) <= 10})
        return rng.sample(pool, count)
    syllables = [a + b for a in "bcdfghklmnprstvz" for b in "aeiou"]
    return sorted({"".join(rng.choices(syllables, k=rng.randint(2, 4))) for _ in range(count)})


def vocabulary(seed: int, terms: int) -> dict[str, int]:
    rng = random.Random(seed)
    pool = words(rng, 20_000)
    weights = [1 / (rank + 1) for rank in range(len(pool))]
    counts: dict[str, int] = {}
    while len(counts) < terms:
        size = rng.choice([1, 2, 2, 3])
        term = " ".join(rng.choices(pool, weights=weights, k=size))
        counts[term] = int(rng.paretovariate(1.1))
    return counts


def block_list(counts: dict[str, int], seed: int, terms: int, blocked_words: int,
               draw: str) -> tuple[list[str], list[str]]:
    rng = random.Random(seed + 1)
    ranked = sorted(counts, key=lambda t: (-counts[t], t))
    chosen: set[str] = set()
    if draw == "top":
        chosen.update(rng.sample(ranked[:2000], terms // 2))
    weights = [counts[t] for t in ranked] if draw == "count" else None
    while len(chosen) < terms:
        chosen.add(rng.choices(ranked, weights=weights)[0])
    used: dict[str, int] = {}
    for term in ranked:
        for word in term.split(" "):
            used[word] = used.get(word, 0) + 1
    # Words a site would pull: seen in many terms, but not the handful in nearly all.
    common = sorted(used, key=lambda w: -used[w])[20:2000]
    return sorted(chosen), rng.sample(common, blocked_words)


def prefixes(counts: dict[str, int], seed: int, queries: int) -> list[str]:
    rng = random.Random(seed + 2)
    terms = list(counts)
    typed = rng.choices(terms, weights=[counts[t] for t in terms], k=queries)
    return [query[:end] for query in typed for end in range(1, len(query) + 1)]


def timed(indexes: list[torrelm.Index], texts: list[str], rounds: int,
          report) -> list[list[float]]:
    """µs a typeahead() call of each index on each text, rounds times: each text asked of every
    index in turn, the order turned each time, so that whatever else the machine does falls on
    all alike."""
    clock = time.perf_counter_ns
    times: list[list[float]] = [[] for _ in indexes]
    order = list(range(len(indexes)))
    for round_ in range(rounds):
        for text in texts:
            order.append(order.pop(0))
            for i in order:
                start = clock()
                indexes[i].typeahead(text)
                times[i].append((clock() - start) / 1000)
        report(round_, times)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--terms", type=int, default=100_000)
    parser.add_argument("--blocked-terms", type=int, default=1000)
    parser.add_argument("--blocked-words", type=int, default=50)
    parser.add_argument("--queries", type=int, default=150, help="queries typed, every prefix")
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--draw", choices=["count", "top", "uniform"], default="count",
                        help="how the blocked terms are drawn (see above)")
    args = parser.parse_args()

    counts = vocabulary(args.seed, args.terms)
    rows = {"term": list(counts), "video": [i % 5000 for i in range(len(counts))],
            "count": list(counts.values())}
    index = torrelm.build(rows, word_starts=True)
    terms, blocked_words = block_list(counts, args.seed, args.blocked_terms, args.blocked_words,
                                      args.draw)
    texts = prefixes(counts, args.seed, args.queries)
    index.typeahead("a")  # what the queries derive on first use, made before blocked() times
    made = []
    for _ in range(3):
        start = time.perf_counter()
        blocked = index.blocked(terms=terms, words=blocked_words)
        made.append(time.perf_counter() - start)
    term_set, word_set = set(terms), set(blocked_words)

    def is_blocked(term: str) -> bool:
        return term in term_set or any(w in word_set for w in term.split(" "))

    left_out = sum(1 for t in counts if is_blocked(t))
    print(f"index: {len(index):,} terms, {len(texts):,} prefixes; block list: {len(terms)} terms "
          f"and {len(blocked_words)} words, {left_out:,} terms left out")
    print(f"blocked(): {statistics.median(made) * 1000:.1f} ms (median of 3)")

    # The same answers from an index that never had those terms: what the list costs beside
    # the different answers it makes the walks look for.
    kept = [i for i, t in enumerate(rows["term"]) if not is_blocked(t)]
    rebuilt = torrelm.build({k: [v[i] for i in kept] for k, v in rows.items()}, word_starts=True)
    indexes = [index, blocked, rebuilt]
    timed(indexes, texts[:300], 1, lambda *_: None)  # warm-up

    def report(round_: int, times: list[list[float]]) -> None:
        plain, with_list, without = (statistics.median(t) for t in times)
        print(f"round {round_ + 1}: medians so far: no list {plain:.2f} µs, with the list "
              f"{with_list:.2f} µs, built without the terms {without:.2f} µs")

    times = timed(indexes, texts, args.rounds, report)
    plain, with_list, without = (statistics.median(t) for t in times)
    print(f"typeahead median: no list {plain:.2f} µs, with list {with_list:.2f} µs: ratio "
          f"{with_list / plain:.3f} (target at most 1.05); index built without the blocked "
          f"terms {without:.2f} µs: with list / built without {with_list / without:.3f}")

if __name__ == "__main__":
    main()

"""Fuzzy term search benchmark: PrefixSearch.fuzzy_match against what a Python user could pick.

For each vocabulary it runs seeded queries (dictionary words with 0, 1 or 2 random edits) at every
max_dist and prints the median and p99 latency of fuzzy_match, the trie nodes it visits per query
and the cost per visited node; then the same queries through the peers: a rapidfuzz linear scan
(process.extract with the Levenshtein distance and score_cutoff), symspellpy (Levenshtein, all
matches) and a plain Python trie walk, with the ratio to each and a check that every one returns
the same set of terms. Slow peers run on a subset of the queries (the ratio compares the same
subset). Not a test: figures vary with the machine.
"""

import argparse
import gc
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parents[1] / "demo"))

from _torrelm import PrefixSearch  # noqa: E402

from layout import lay_out, read_words  # noqa: E402

VOCABULARIES = {
    "wamerican-insane": Path("/usr/share/dict/american-english-insane"),
    "wbulgarian": Path("/usr/share/dict/bulgarian"),
}


def rss_bytes():
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def make_queries(words, count, seed):
    rng = random.Random(seed)
    letters = sorted({ch for w in rng.sample(words, min(len(words), 5000)) for ch in w})
    queries = []
    for i in range(count):
        word = list(rng.choice(words))
        for _ in range(i % 3):  # 0, 1 or 2 edits
            kind = rng.randrange(3)
            at = rng.randrange(len(word) + (kind == 0))
            if kind == 0:
                word.insert(at, rng.choice(letters))
            elif kind == 1 and len(word) > 1:
                del word[at]
            else:
                word[min(at, len(word) - 1)] = rng.choice(letters)
        queries.append("".join(word))
    return queries


def timed(fn, queries):
    """Per-query latencies in seconds and the result sets."""
    latencies, results = [], []
    for q in queries:
        start = time.perf_counter()
        found = fn(q)
        latencies.append(time.perf_counter() - start)
        results.append(found)
    return latencies, results


def p99(values):
    return sorted(values)[min(len(values) - 1, int(len(values) * 0.99))]


class PythonTrie:
    """The trie walk a Python user would write: nested dicts, one list row per depth."""

    END = ""

    def __init__(self, words):
        self.root = {}
        for w in words:
            node = self.root
            for ch in w:
                node = node.setdefault(ch, {})
            node[self.END] = True
        self.visited = 0

    def search(self, query, max_dist):
        results = {}
        first = list(range(len(query) + 1))

        def walk(node, prefix, prev):
            for ch, child in node.items():
                if ch == self.END:
                    continue
                self.visited += 1
                row = [prev[0] + 1]
                for j in range(1, len(query) + 1):
                    row.append(min(row[j - 1] + 1, prev[j] + 1, prev[j - 1] + (query[j - 1] != ch)))
                if min(row) > max_dist:
                    continue
                if row[-1] <= max_dist and self.END in child:
                    results[prefix + ch] = row[-1]
                walk(child, prefix + ch, row)

        walk(self.root, "", first)
        return results


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--vocabulary", choices=sorted(VOCABULARIES), action="append")
    parser.add_argument("--queries", type=int, default=3000)
    parser.add_argument("--peer-queries", type=int, default=100, help="queries for the slow peers")
    parser.add_argument("--max-dist", type=int, nargs="+", default=[0, 1, 2, 3])
    parser.add_argument("--no-peers", action="store_true")
    options = parser.parse_args()

    for name in options.vocabulary or list(VOCABULARIES):
        words = read_words(VOCABULARIES[name])
        queries = make_queries(words, options.queries, seed=2026)
        subset = queries[: options.peer_queries]
        print(f"\n## {name}: {len(words):,} terms, {len(queries):,} queries "
              f"({len(subset)} for the slow peers)")

        before, start = rss_bytes(), time.perf_counter()
        arrays = lay_out({w: (1, [], []) for w in words}, [])
        index = PrefixSearch.from_internal_data_v2(*arrays.arguments(10))
        del arrays
        print(f"torrelm: layout and build {time.perf_counter() - start:.1f} s, "
              f"{(rss_bytes() - before) / 2**20:.0f} MiB")

        peers = {}
        if not options.no_peers:
            from rapidfuzz import process
            from rapidfuzz.distance import Levenshtein
            from symspellpy import SymSpell, Verbosity
            from symspellpy.editdistance import DistanceAlgorithm, EditDistance

            before, start = rss_bytes(), time.perf_counter()
            symspell = SymSpell(max_dictionary_edit_distance=max(2, min(3, max(options.max_dist))),
                                distance_comparer=EditDistance(DistanceAlgorithm.LEVENSHTEIN))
            for w in words:
                symspell.create_dictionary_entry(w, 1)
            print(f"symspellpy (max edit distance {symspell._max_dictionary_edit_distance}): "
                  f"build {time.perf_counter() - start:.1f} s, {(rss_bytes() - before) / 2**20:.0f} MiB")
            before, start = rss_bytes(), time.perf_counter()
            python_trie = PythonTrie(words)
            print(f"Python trie: build {time.perf_counter() - start:.1f} s, "
                  f"{(rss_bytes() - before) / 2**20:.0f} MiB")

            def rapidfuzz_scan(k):
                return lambda q: {c: int(s) for c, s, _ in process.extract(
                    q, words, scorer=Levenshtein.distance, score_cutoff=k, limit=None)}

            def symspell_lookup(k):
                return lambda q: {s.term: s.distance for s in symspell.lookup(q, Verbosity.ALL, k)}

            peers = {
                "rapidfuzz scan": (rapidfuzz_scan, subset),
                "symspellpy": (symspell_lookup, queries),
                "Python trie": (lambda k: lambda q: python_trie.search(q, k), subset),
            }

        print()
        print("| max_dist | median µs | p99 µs | nodes/query | ns/node | peer | peer median µs | "
              "ratio | same terms |")
        print("|---|---|---|---|---|---|---|---|---|")
        for k in options.max_dist:
            ours, ours_results = timed(lambda q: index.fuzzy_match(q, k), queries)
            ours_sets = [{t: d for t, _, d in r} for r in ours_results]
            line = (f"| {k} | {statistics.median(ours) * 1e6:.1f} | {p99(ours) * 1e6:.1f} |")
            if not peers:
                print(line + " | | | | | |")
                continue
            python_trie.visited = 0
            walked = [python_trie.search(q, k) for q in subset]
            visited = python_trie.visited / len(subset)
            mean_subset = statistics.mean(ours[: len(subset)])
            line += f" {visited:,.0f} | {mean_subset * 1e9 / max(visited, 1):.1f} |"
            assert walked == ours_sets[: len(subset)]
            first = True
            for peer, (make, peer_queries) in peers.items():
                if peer == "symspellpy" and k > symspell._max_dictionary_edit_distance:
                    continue
                latencies, results = timed(make(k), peer_queries)
                same = results == ours_sets[: len(peer_queries)]
                ratio = statistics.median(latencies) / statistics.median(ours[: len(peer_queries)])
                prefix = line if first else "| | | | | |"
                print(f"{prefix} {peer} | {statistics.median(latencies) * 1e6:,.1f} | "
                      f"{ratio:,.{2 if ratio < 10 else 0}f}x | {'yes' if same else 'NO'} |")
                first = False


if __name__ == "__main__":
    main()

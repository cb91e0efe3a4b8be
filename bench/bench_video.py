"""Search-as-you-type benchmark for PrefixSearch.fuzzy_match_video.

Types every prefix of 1,000 seeded words (half of them with one typo) against an index of a real
vocabulary with 1 to 5 Zipf-drawn videos per term, at max_dist 1 and 2, include_prefix_nodes
absent and true, video_top_n 10 and 50, limit 10. Prints the median and p99 latency and the cost
per summed payload entry (measured by the native tool torrelm_bench_ranking, which times the
ranking apart from the walk; `make bench` builds it), and, in the same run, the same ranking written in plain Python over the
same arrays (propagation, trie walk and scoring: what a user would write without this library),
with the ratio and a check that both return the same videos. The Python ranking runs on the
prefixes of the first few words only (the ratio compares the same queries). Not a test.
"""

import argparse
import random
import subprocess
import tempfile
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parents[1] / "demo"))

from _torrelm import PrefixSearch  # noqa: E402

from layout import read_words, with_videos  # noqa: E402


def typed_prefixes(words, count, seed):
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    out = []
    for i, word in enumerate(rng.sample(words, count)):
        if i % 2 and len(word) > 2:  # one typo: a substituted letter after the first
            at = rng.randrange(1, len(word))
            word = word[:at] + rng.choice(letters) + word[at + 1:]
        out.append([word[:end] for end in range(1, len(word) + 1)])
    return out


class PythonRanking:
    """The ranking in plain Python over the six arrays."""

    def __init__(self, arrays, top_n):
        shifts, transitions, n = arrays.node_shifts, arrays.child_transitions, arrays.nodes
        self.labels = arrays.child_labels
        self.children = [transitions[shifts[i]:(shifts[i + 1] if i + 1 < n else len(transitions))]
                         for i in range(n)]
        self.terminal = [p is not None for p in arrays.payloads]
        self.ids = [int.from_bytes(v, "little") for v in arrays.video_index]
        final = [None] * n
        for c in range(n - 1, -1, -1):
            total, ids, counts = arrays.payloads[c] or (0, [], [])
            kids = [d for d in self.children[c] if d != c]
            if not kids:
                final[c] = (total, ids[:top_n], counts[:top_n])
                continue
            summed = {}
            for v, k in zip(ids, counts):
                summed[v] = summed.get(v, 0) + k
            for d in kids:
                t, kid_ids, kid_counts = final[d]
                total += t
                for v, k in zip(kid_ids, kid_counts):
                    summed[v] = summed.get(v, 0) + k
            best = sorted(summed.items(), key=lambda item: (-item[1], item[0]))[:top_n]
            final[c] = (min(total, 2**32 - 1), [v for v, _ in best], [k for _, k in best])
        self.payloads = final
        self.summed = 0

    def nodes(self, query, max_dist, terminal_only):
        found = []

        def walk(node, prev):
            for child in self.children[node]:
                ch = self.labels[child][:1]
                if not ch:
                    continue
                row = [prev[0] + 1]
                for j in range(1, len(query) + 1):
                    row.append(min(row[j - 1] + 1, prev[j] + 1, prev[j - 1] + (query[j - 1] != ch)))
                if min(row) > max_dist:
                    continue
                if row[-1] <= max_dist and (not terminal_only or self.terminal[child]):
                    found.append((child, row[-1]))
                walk(child, row)

        walk(0, list(range(len(query) + 1)))
        return found

    def rank(self, query, max_dist, limit, include_prefix_nodes):
        matched = self.nodes(query, max_dist, include_prefix_nodes is not True)
        if not matched and include_prefix_nodes is None:
            matched = self.nodes(query, max_dist, False)
        n, total, scores = len(query), 0.0, {}
        for node, d in matched:
            w = 1.0 if d == 0 else (0.0 if n == 0 else (1.0 - d / n) * 0.05)
            if d != 0 and w <= 0:
                continue
            if not self.terminal[node]:
                w *= 0.85
            count, ids, counts = self.payloads[node]
            total += w * count
            self.summed += len(ids)
            for v, k in zip(ids, counts):
                scores[v] = scores.get(v, 0.0) + w * k
        if total <= 0:
            return []
        ranked = sorted(((v, s / total) for v, s in scores.items() if s / total >= 0.01),
                        key=lambda item: (-item[1], item[0]))[:limit]
        return [(str(self.ids[v]), s) for v, s in ranked if v < len(self.ids)]


TOOL = Path(__file__).parents[1] / "build" / "bench" / "torrelm_bench_ranking"


def native_cost(index_path, queries_path, max_dist, flag):
    """(entries per query, ranking ns per entry) from the native tool, or None without it."""
    if not TOOL.exists():
        return None
    mode = "absent" if flag is None else "include"
    out = subprocess.run([str(TOOL), str(index_path), str(queries_path), str(max_dist), mode],
                         check=True, capture_output=True, text=True).stdout.split()
    fields = dict(zip(out[::2], out[1::2]))
    return float(fields["entries"]), float(fields["ns_per_entry"])


def same(ours, theirs):
    """Same videos in the same order, scores equal up to rounding (sums may differ in order)."""
    return len(ours) == len(theirs) and all(
        a[0] == b[0] and abs(a[1] - b[1]) <= 1e-9 for a, b in zip(ours, theirs))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--words", type=Path, default=None, help="word list (default: wamerican-insane)")
    parser.add_argument("--typed", type=int, default=1000, help="words typed letter by letter")
    parser.add_argument("--peer-words", type=int, default=30, help="of those, words for the Python ranking")
    parser.add_argument("--top-n", type=int, nargs="+", default=[10, 50])
    parser.add_argument("--max-dist", type=int, nargs="+", default=[1, 2])
    options = parser.parse_args()

    words = read_words(options.words)
    arrays = with_videos(words)
    typed = typed_prefixes(words, options.typed, seed=2026)
    queries = [q for word in typed for q in word]
    peer_queries = [q for word in typed[: options.peer_words] for q in word]
    print(f"{len(words):,} terms, {arrays.nodes:,} nodes, {len(arrays.video_index):,} videos; "
          f"{len(queries):,} keystrokes ({len(peer_queries)} for the Python ranking), limit 10")
    print()
    print("| video_top_n | max_dist | include_prefix_nodes | median µs | p99 µs | entries/query | "
          "ranking ns/entry | Python median µs | ratio | same videos |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    scratch = Path(tempfile.mkdtemp())
    queries_path = scratch / "queries.txt"
    queries_path.write_text("\n".join(queries) + "\n", encoding="utf-8")
    for top_n in options.top_n:
        index = PrefixSearch.from_internal_data_v2(*arrays.arguments(top_n))
        index_path = scratch / f"index-{top_n}.bin"
        index_path.write_bytes(index.to_bytes())
        python = PythonRanking(arrays, top_n)
        for max_dist in options.max_dist:
            for flag in (None, True):
                latencies, ours = [], []
                for q in queries:
                    start = time.perf_counter()
                    ours.append(index.fuzzy_match_video(q, max_dist, 10, flag))
                    latencies.append(time.perf_counter() - start)
                python.summed = 0
                peer_latencies, agree = [], True
                for q, mine in zip(peer_queries, ours):
                    start = time.perf_counter()
                    theirs = python.rank(q, max_dist, 10, flag)
                    peer_latencies.append(time.perf_counter() - start)
                    agree &= same(mine, theirs)
                native = native_cost(index_path, queries_path, max_dist, flag)
                entries, per_entry = native if native else (python.summed / len(peer_queries), None)
                median = statistics.median(latencies)
                p99 = sorted(latencies)[int(len(latencies) * 0.99)]
                peer_median = statistics.median(peer_latencies)
                ratio = peer_median / statistics.median(latencies[: len(peer_queries)])
                print(f"| {top_n} | {max_dist} | {'absent' if flag is None else 'true'} | "
                      f"{median * 1e6:.1f} | {p99 * 1e6:.1f} | {entries:,.0f} | "
                      f"{'n/a' if per_entry is None else f'{per_entry:.1f}'} | {peer_median * 1e6:,.0f} | "
                      f"{ratio:,.0f}x | {'yes' if agree else 'NO'} |", flush=True)


if __name__ == "__main__":
    main()

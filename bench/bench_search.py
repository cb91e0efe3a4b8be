"""Search-box benchmark: Index.complete and Index.suggest as a search box calls them, their
batches, and the peers a Python user could pick instead.

Each vocabulary (wamerican-insane and wbulgarian, side by side) is built into an index with one
random video a word and a term count drawn from a seeded Pareto distribution
(int(paretovariate(1.2)): most words searched once, a few very often, many ties, as in real
search logs).

Sections (--only picks some; all by default):
  complete  complete(prefix, limit=10) on every prefix of 1,000 random words: median and p90 µs
            a call, also by prefix length
  suggest   suggest(text, max_dist=1 and 2, limit=10) on 1,000 words with 0 to 2 random edits
            (seeded): median and p90 µs a call, also by the number of edits made
  batch     suggest_many, complete_many and videos_many over 10,000 texts against the same
            calls in a Python loop: the speed-up on every core, beside a control of how much of a
            second core the machine leaves free
  peers     the same queries through marisa-trie (keys(prefix) sorted by count), symspellpy
            (lookup, CLOSEST and TOP, and ALL re-sorted), rapidfuzz (process.extract, edit
            distance and normalized similarity) and fast-autocomplete (search), where they
            install: µs a query, build time, and how often each one's top 10 equals torrelm's,
            with the kind of difference where it does not
  exact     200 queries of complete and suggest against a brute-force sort of every term: the
            number of mismatches (expected 0)

--quick runs everything on every tenth word and small samples, in under a minute. Prints one line
per measurement and a summary of figures against their targets; --json keeps the figures and
--markdown prints the report section of a --json file. Not a test: figures vary with the machine.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import heapq
import json
import os
import random
import statistics
import sys
import threading
import time
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "demo"))

import torrelm  # noqa: E402

from layout import read_words  # noqa: E402
from figures import (add_report_options, chosen_sections, measured_build,  # noqa: E402
                     print_figure_rows)

VOCABULARIES = {
    "wamerican-insane": Path("/usr/share/dict/american-english-insane"),
    "wbulgarian": Path("/usr/share/dict/bulgarian"),
}
SECTIONS = ("complete", "suggest", "batch", "peers", "exact")
TARGETS = {"complete": 5.0, "suggest 1": 25.0, "suggest 2": 200.0, "batch": 1.7}
LIMIT = 10


def log(text: str) -> None:
    print(text, flush=True)


# -- data ----------------------------------------------------------------------------------------

class Vocabulary:
    """A word list, its seeded counts and videos, and the index built from them."""

    def __init__(self, name: str, path: Path, quick: bool, seed: int = 2026):
        self.name = name
        words = read_words(path)
        self.words = words[::10] if quick else words
        rng = random.Random(seed)
        self.counts = [int(rng.paretovariate(1.2)) for _ in self.words]
        self.videos = [rng.randrange(100_000) for _ in self.words]
        self.count_of = dict(zip(self.words, self.counts))
        gc.collect()
        start = time.perf_counter()
        self.index = torrelm.build({"term": self.words, "video": self.videos, "count": self.counts})
        self.build_seconds = time.perf_counter() - start
        # The letters edits draw from: those of the vocabulary itself.
        self.letters = sorted({ch for w in random.Random(seed).sample(self.words, min(len(self.words), 5000))
                               for ch in w})

    def best_first(self, terms):
        """Terms in the order of complete(): higher count first, ties in code point order."""
        return sorted(terms, key=lambda w: (-self.count_of[w], w))


def sample(words: list[str], n: int, seed: int) -> list[str]:
    return random.Random(seed).sample(words, min(n, len(words)))


def all_prefixes(words: list[str]) -> list[str]:
    return [w[:i] for w in words for i in range(1, len(w) + 1)]


def random_prefixes(words: list[str], n: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        w = rng.choice(words)
        out.append(w[:rng.randint(1, len(w))])
    return out


def edited(vocabulary: Vocabulary, n: int, seed: int) -> list[tuple[str, int]]:
    """(text, edits made) for n random words, a third each with 0, 1 and 2 random edits
    (insertions, deletions and substitutions of the vocabulary's letters). An edit can undo
    another or land on another word, so the edits made bound the distance to the nearest term
    from above only."""
    rng = random.Random(seed)
    out = []
    for i in range(n):
        word = list(rng.choice(vocabulary.words))
        edits = i % 3
        for _ in range(edits):
            kind = rng.randrange(3)
            if kind == 0:
                word.insert(rng.randrange(len(word) + 1), rng.choice(vocabulary.letters))
            elif kind == 1 and len(word) > 1:
                del word[rng.randrange(len(word))]
            else:
                word[rng.randrange(len(word))] = rng.choice(vocabulary.letters)
        out.append(("".join(word), edits))
    return out


# -- timing --------------------------------------------------------------------------------------

def per_call(fn, queries, warm: int = 200) -> list[float]:
    """Seconds of each call, from Python as a caller sees it (argument conversion and result
    tuples included), after `warm` calls of the first queries; the collector is off so that its
    passes land on no call."""
    for q in queries[:warm]:
        fn(q)
    clock = time.perf_counter
    out = []
    gc.disable()
    try:
        for q in queries:
            start = clock()
            fn(q)
            out.append(clock() - start)
    finally:
        gc.enable()
    return out


def quantile(values, q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * q))]


def stats(seconds) -> dict:
    us = [s * 1e6 for s in seconds]
    return {"n": len(us), "median_us": statistics.median(us), "p90_us": quantile(us, 0.9),
            "p99_us": quantile(us, 0.99), "mean_us": statistics.fmean(us)}


def best_of(fn, rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best




# -- complete and suggest ------------------------------------------------------------------------

LENGTH_GROUPS = (("1", 1, 1), ("2", 2, 2), ("3", 3, 3), ("4-5", 4, 5), ("6-9", 6, 9), ("10+", 10, 10**9))


def complete_section(v: Vocabulary, options, out: dict) -> None:
    prefixes = all_prefixes(sample(v.words, options.words, seed=1))
    lat = per_call(lambda p: v.index.complete(p, limit=LIMIT), prefixes)
    f = stats(lat) | {"words": min(options.words, len(v.words)), "by_length": {}}
    for label, low, high in LENGTH_GROUPS:
        group = [t for p, t in zip(prefixes, lat) if low <= len(p) <= high]
        if group:
            f["by_length"][label] = stats(group)
    out["complete"] = f
    log(f"  complete(prefix, limit=10): {len(prefixes):,} prefixes of {f['words']:,} words: median "
        f"{f['median_us']:.2f} µs, p90 {f['p90_us']:.2f} µs, p99 {f['p99_us']:.1f} µs   "
        f"[target median <= {TARGETS['complete']:g} µs]")
    log("    by prefix length: " + ", ".join(
        f"{k} ({g['n']:,}) {g['median_us']:.2f}/{g['p90_us']:.2f}" for k, g in f["by_length"].items())
        + "  (median/p90 µs)")


def suggest_section(v: Vocabulary, options, out: dict) -> None:
    queries = edited(v, options.words, seed=2)
    texts = [t for t, _ in queries]
    out["suggest"] = {}
    for k in (1, 2):
        lat = per_call(lambda t: v.index.suggest(t, max_dist=k, limit=LIMIT), texts)
        f = stats(lat) | {"by_edits": {}}
        for edits in (0, 1, 2):
            f["by_edits"][str(edits)] = stats([s for (_, e), s in zip(queries, lat) if e == edits])
        out["suggest"][str(k)] = f
        log(f"  suggest(text, max_dist={k}): {len(texts):,} texts: median {f['median_us']:.1f} µs, "
            f"p90 {f['p90_us']:.1f} µs, p99 {f['p99_us']:.1f} µs   "
            f"[target median <= {TARGETS[f'suggest {k}']:g} µs]")
        log("    by edits made: " + ", ".join(
            f"{e}: {g['median_us']:.1f}/{g['p90_us']:.1f}" for e, g in f["by_edits"].items())
            + "  (median/p90 µs)")


# -- batches -------------------------------------------------------------------------------------

def core_control(rounds: int) -> float:
    """Two threads hashing against one: how much of a second core the machine leaves free now
    (hashlib lets go of the interpreter lock for large inputs, as the batches do)."""
    block = os.urandom(1 << 20)
    jobs = 150

    def hash_all():
        for _ in range(jobs):
            hashlib.sha256(block).digest()

    def two():
        threads = [threading.Thread(target=hash_all) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    one_s = best_of(hash_all, rounds)
    two_s = best_of(two, rounds)
    return 2 * one_s / two_s


def batch_section(v: Vocabulary, options, out: dict) -> None:
    n = options.batch
    texts = [t for t, _ in edited(v, n, seed=3)]
    prefixes = random_prefixes(v.words, n, seed=4)
    ix = v.index
    kinds = {
        "suggest max_dist=1": (lambda t: ix.suggest(t, max_dist=1), lambda ts: ix.suggest_many(ts, max_dist=1), texts),
        "suggest max_dist=2": (lambda t: ix.suggest(t, max_dist=2), lambda ts: ix.suggest_many(ts, max_dist=2), texts),
        "complete": (lambda p: ix.complete(p), lambda ps: ix.complete_many(ps), prefixes),
        "videos max_dist=1": (lambda t: ix.videos(t, max_dist=1), lambda ts: ix.videos_many(ts, max_dist=1), texts),
    }
    rounds = 2 if options.quick else 3
    out["batch"] = {"texts": n, "load_average": os.getloadavg(), "control": core_control(rounds)}
    log(f"  batches of {n:,} texts, best of {rounds}; control: two hashing threads do "
        f"{out['batch']['control']:.2f}x the work of one")
    for name, (single, many, queries) in kinds.items():
        same = many(queries) == [single(q) for q in queries]
        loop = best_of(lambda: [single(q) for q in queries], rounds)
        batch = best_of(lambda: many(queries), rounds)
        out["batch"][name] = {"loop_us": loop / n * 1e6, "batch_us": batch / n * 1e6,
                              "speedup": loop / batch, "same": same}
        log(f"    {name:<20} loop {loop / n * 1e6:7.2f} µs a text, batch "
            f"{batch / n * 1e6:7.2f} µs a text: {loop / batch:.2f}x  same answers: "
            f"{'yes' if same else 'NO'}   [target >= {TARGETS['batch']:g}x]")


# -- peers ---------------------------------------------------------------------------------------

def classify(ours: list, theirs: list, key: dict, closest: list | None = None,
             closest_label: str = "") -> str:
    """How a peer's top-10 terms relate to torrelm's; `key` gives each of our terms its rank key
    (distance, -count), so that a different order among equals shows as ties."""
    if theirs == ours:
        return "same"
    if closest is not None and theirs == closest:
        return closest_label
    if theirs and all(t in key for t in theirs) and len(theirs) <= len(ours) and \
            [key[t] for t in theirs] == [key[t] for t in ours[:len(theirs)]]:
        if len(theirs) == len(ours):
            return "same terms, ties in another order"
        if closest is not None and len(theirs) == len(closest):
            return closest_label + ", another of the ties"
        return "fewer terms, ties in another order"
    if set(theirs) == set(ours):
        return "same terms, another order"
    if set(theirs) < set(ours):
        return "fewer terms, all in ours"
    if set(theirs) & set(ours):
        return "some other terms"
    return "no term in common"


def peer_builds(v: Vocabulary, options) -> tuple[dict, dict]:
    """The peers that install, built from the vocabulary with its counts: ({name: object},
    {name: (seconds, bytes)})."""
    peers, builds = {}, {}
    builds["torrelm"] = (v.build_seconds, v.index.memory_bytes())
    try:
        import marisa_trie
        peers["marisa-trie"], s, m = measured_build(lambda: marisa_trie.Trie(v.words))
        builds["marisa-trie"] = (s, m)
    except ImportError:
        log("  marisa-trie is not installed: skipped")
    try:
        from symspellpy import SymSpell
        from symspellpy.editdistance import DistanceAlgorithm, EditDistance

        def symspell():
            # Plain Levenshtein distance, as torrelm counts edits (symspellpy's default counts a
            # transposition as one edit).
            s = SymSpell(max_dictionary_edit_distance=2,
                         distance_comparer=EditDistance(DistanceAlgorithm.LEVENSHTEIN))
            for w, c in zip(v.words, v.counts):
                s.create_dictionary_entry(w, c)
            return s
        peers["symspellpy"], s, m = measured_build(symspell)
        builds["symspellpy"] = (s, m)
    except ImportError:
        log("  symspellpy is not installed: skipped")
    try:
        import rapidfuzz  # noqa: F401
        # rapidfuzz scans a list and knows no counts: given the words most searched first, its
        # ties among equal scores come out in that order.
        peers["rapidfuzz"], s, m = measured_build(lambda: v.best_first(v.words))
        builds["rapidfuzz (its list sorted by count)"] = (s, m)
    except ImportError:
        log("  rapidfuzz is not installed: skipped")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # its import of pkg_resources warns
            from fast_autocomplete import AutoComplete
        # It keeps only the characters it is told of, lowercased.
        chars = "".join(sorted({ch.lower() for w in v.words for ch in w}))
        peers["fast-autocomplete"], s, m = measured_build(lambda: AutoComplete(
            words={w: {"count": c} for w, c in zip(v.words, v.counts)},
            valid_chars_for_string=chars, valid_chars_for_node_name=chars))
        builds["fast-autocomplete"] = (s, m)
    except Exception as problem:  # not installed, or its imports fail
        log(f"  fast-autocomplete is not usable ({type(problem).__name__}: {problem}): skipped")
    for name, (s, m) in builds.items():
        log(f"  build {name:<18} {s:7.2f} s, {m / 2**20:7.0f} MiB")
    return peers, builds


def fa_terms(results) -> list[str]:
    return [" ".join(r) for r in results]


def peers_section(v: Vocabulary, options, out: dict) -> None:
    peers, builds = peer_builds(v, options)
    ix, count_of = v.index, v.count_of
    prefixes = all_prefixes(sample(v.words, options.peer_words, seed=1))
    queries = edited(v, options.words, seed=2)
    texts = [t for t, _ in queries][: options.peer_texts]
    slow_texts = texts[: options.scan_texts]
    rows: dict[str, dict] = {}

    def measure(label, kind, fn, ours_fn, qs, closest_of=None, note=""):
        # Each query once and no warm-up: fast-autocomplete keeps answers in a cache of its own,
        # and a query it has seen is answered from there.
        qs = list(dict.fromkeys(qs))
        lat = per_call(fn, qs, warm=0)
        ours_lat = per_call(ours_fn, qs)
        tally: dict[str, int] = {}
        examples = []
        for q in qs[: options.agreement]:
            mine = ours_fn(q)
            ours_terms = [r.term for r in mine]
            key = {r.term: (getattr(r, "distance", 0), -r.count) for r in mine}
            closest, closest_label = None, ""
            if closest_of == "closest" and mine:
                closest = [r.term for r in mine if r.distance == mine[0].distance]
                closest_label = "ours cut to the smallest distance"
            elif closest_of == "top":
                closest, closest_label = ours_terms[:1], "our first"
            theirs = fn(q)
            label_ = classify(ours_terms, theirs, key, closest, closest_label)
            tally[label_] = tally.get(label_, 0) + 1
            if label_ != "same" and len(examples) < 2:
                examples.append((q, ours_terms[:4], theirs[:4]))
        compared = min(len(qs), options.agreement)
        f = stats(lat) | {"kind": kind, "ours_median_us": statistics.median(ours_lat) * 1e6,
                          "agreement": tally, "compared": compared, "note": note}
        rows[label] = f
        same = tally.get("same", 0)
        log(f"  {label:<40} {len(qs):5,} queries: median {f['median_us']:10,.1f} µs "
            f"(torrelm {f['ours_median_us']:.1f}, {f['median_us'] / f['ours_median_us']:,.1f}x); "
            f"top 10 same as torrelm's {same}/{compared}")
        for name, n in sorted(tally.items(), key=lambda kv: -kv[1]):
            if name != "same":
                log(f"      {n:4} {name}")
        for q, mine, theirs in examples:
            log(f"      e.g. {q!r}: torrelm {mine}, {label.split(',')[0]} {theirs}")

    def ours_complete(p):
        return ix.complete(p, limit=LIMIT)

    if "marisa-trie" in peers:
        trie = peers["marisa-trie"]
        measure("marisa-trie keys(prefix), sorted", "complete",
                lambda p: sorted(trie.keys(p), key=lambda w: (-count_of[w], w))[:LIMIT],
                ours_complete, prefixes, note="every key below the prefix, then sorted by count")
    if "fast-autocomplete" in peers:
        fa = peers["fast-autocomplete"]
        measure("fast-autocomplete search(max_cost=0)", "complete",
                lambda p: fa_terms(fa.search(p, max_cost=0, size=LIMIT)), ours_complete, prefixes)
    if "rapidfuzz" in peers:
        choices = peers["rapidfuzz"]
        measure("sorted list, startswith scan", "complete",
                lambda p: [w for w in choices if w.startswith(p)][:LIMIT], ours_complete,
                prefixes[: options.scan_texts * 3], note="a scan of every word, most searched first")

    for k in (1, 2):
        def ours_suggest(t, k=k):
            return ix.suggest(t, max_dist=k, limit=LIMIT)

        if "symspellpy" in peers:
            from symspellpy import Verbosity

            ss = peers["symspellpy"]
            measure(f"symspellpy CLOSEST, max_dist {k}", f"suggest {k}",
                    lambda t: [s.term for s in ss.lookup(t, Verbosity.CLOSEST, k)][:LIMIT],
                    ours_suggest, texts, closest_of="closest")
            measure(f"symspellpy TOP, max_dist {k}", f"suggest {k}",
                    lambda t: [s.term for s in ss.lookup(t, Verbosity.TOP, k)],
                    ours_suggest, texts, closest_of="top")
            measure(f"symspellpy ALL re-sorted, max_dist {k}", f"suggest {k}",
                    lambda t: [s.term for s in heapq.nsmallest(
                        LIMIT, ss.lookup(t, Verbosity.ALL, k),
                        key=lambda s: (s.distance, -s.count, s.term))],
                    ours_suggest, texts, note="every match, sorted as torrelm sorts")
        if "rapidfuzz" in peers:
            from rapidfuzz import process
            from rapidfuzz.distance import Levenshtein

            choices = peers["rapidfuzz"]
            measure(f"rapidfuzz Levenshtein.distance, max_dist {k}", f"suggest {k}",
                    lambda t: [c for c, _, _ in process.extract(
                        t, choices, scorer=Levenshtein.distance, score_cutoff=k, limit=LIMIT)],
                    ours_suggest, slow_texts, note="a scan of every word")
            measure(f"rapidfuzz normalized_similarity, max_dist {k}", f"suggest {k}",
                    lambda t: [c for c, _, _ in process.extract(
                        t, choices, scorer=Levenshtein.normalized_similarity,
                        score_cutoff=1 - k / max(len(t), 1), limit=LIMIT)],
                    ours_suggest, slow_texts,
                    note="a scan of every word; cutoff 1 - max_dist / len(text)")
        if "fast-autocomplete" in peers:
            fa = peers["fast-autocomplete"]
            measure(f"fast-autocomplete search(max_cost={k})", f"suggest {k}",
                    lambda t: fa_terms(fa.search(t, max_cost=k, size=LIMIT)), ours_suggest,
                    texts[: options.scan_texts * 2])
    out["peers"] = {"builds": builds, "rows": rows}
    del peers
    gc.collect()


# -- exactness -----------------------------------------------------------------------------------

def exact_section(v: Vocabulary, options, out: dict) -> None:
    try:
        from rapidfuzz import process
        from rapidfuzz.distance import Levenshtein
    except ImportError:
        log("  exactness: rapidfuzz is not installed (it computes the brute-force distances): skipped")
        return
    n = options.exact // 2
    prefixes = random_prefixes(v.words, n, seed=5)
    texts = edited(v, n, seed=6)
    mismatches, examples = 0, []
    for p in prefixes:
        brute = v.best_first([w for w in v.words if w.startswith(p)])[:LIMIT]
        mine = v.index.complete(p, limit=LIMIT)
        if [(r.term, r.count) for r in mine] != [(w, v.count_of[w]) for w in brute]:
            mismatches += 1
            examples.append(("complete", p))
    for i, (t, _) in enumerate(texts):
        k = 1 + i % 2
        matches = process.extract(t, v.words, scorer=Levenshtein.distance, score_cutoff=k, limit=None)
        brute = sorted(((int(d), -v.count_of[w], w) for w, d, _ in matches))[:LIMIT]
        mine = v.index.suggest(t, max_dist=k, limit=LIMIT)
        if [(r.term, r.distance, r.count) for r in mine] != [(w, d, -c) for d, c, w in brute]:
            mismatches += 1
            examples.append((f"suggest max_dist={k}", t))
    out["exact"] = {"queries": len(prefixes) + len(texts), "mismatches": mismatches,
                    "examples": examples[:5]}
    log(f"  exactness: {len(prefixes)} complete and {len(texts)} suggest queries against a brute-force "
        f"sort of all {len(v.words):,} terms: {mismatches} mismatches   [expected 0]")
    for kind, q in examples[:5]:
        log(f"    mismatch: {kind} {q!r}")


# -- summary and report --------------------------------------------------------------------------

def summary_rows(figures: dict) -> list[tuple[str, str, str, bool | None]]:
    rows = []
    for name, f in figures["vocabularies"].items():
        if "complete" in f:
            c = f["complete"]
            rows.append((f"{name}: complete median (p90)", f"{c['median_us']:.2f} ({c['p90_us']:.2f}) µs",
                         f"<= {TARGETS['complete']:g} µs", c["median_us"] <= TARGETS["complete"]))
        for k, s in f.get("suggest", {}).items():
            target = TARGETS[f"suggest {k}"]
            rows.append((f"{name}: suggest max_dist={k} median (p90)",
                         f"{s['median_us']:.1f} ({s['p90_us']:.1f}) µs", f"<= {target:g} µs",
                         s["median_us"] <= target))
        if "batch" in f:
            b = f["batch"]
            rows.append((f"{name}: control, 2 hashing threads / 1", f"{b['control']:.2f}x",
                         "(the machine)", None))
            for kind, g in b.items():
                if isinstance(g, dict):
                    is_target = kind.startswith("suggest")
                    rows.append((f"{name}: {kind} batch / loop", f"{g['speedup']:.2f}x",
                                 f">= {TARGETS['batch']:g}x" if is_target else "(same aim)",
                                 (g["speedup"] >= TARGETS["batch"]) if is_target else None))
        if "exact" in f:
            e = f["exact"]
            rows.append((f"{name}: exactness mismatches", f"{e['mismatches']} of {e['queries']}", "0",
                         e["mismatches"] == 0))
    return rows


def print_summary(figures: dict) -> None:
    print_figure_rows(summary_rows(figures), log, value_width=20, target_width=14)


def report_lines(figures: dict) -> list[str]:
    """The figures as a section of docs/performance.md."""
    vocabularies = figures["vocabularies"]
    names = list(vocabularies)
    header = "| figure | target | " + " | ".join(names) + " |"
    rule = "|---|---|" + "---|" * len(names)
    lines = ["## Search box: completions and suggestions", "",
             "`bench/bench_search.py`" + (" --quick" if figures.get("quick") else "") +
             ": each vocabulary built with one random video a word and a term count drawn from "
             "`int(random.paretovariate(1.2))` (seeded; most words searched once, a few very often, "
             "many ties). Latencies are per call from Python, medians (p90) in µs.", "",
             header, rule]

    def row(label, target, cell):
        cells = []
        for n in names:
            try:
                cells.append(cell(vocabularies[n]))
            except KeyError:
                cells.append("")
        lines.append(f"| {label} | {target} | " + " | ".join(cells) + " |")

    first = vocabularies[names[0]]
    row("terms", "", lambda f: f"{f['terms']:,}")
    if "complete" in first:
        row("`complete(prefix, limit=10)`, every prefix of 1,000 words", f"≤ {TARGETS['complete']:g}",
            lambda f: f"{f['complete']['median_us']:.2f} ({f['complete']['p90_us']:.2f})")
        for label, _, _ in LENGTH_GROUPS:
            row(f"&nbsp;&nbsp;prefixes of {label} characters", "",
                lambda f, label=label: f"{f['complete']['by_length'][label]['median_us']:.2f} "
                                       f"({f['complete']['by_length'][label]['p90_us']:.2f})")
    if "suggest" in first:
        for k in ("1", "2"):
            row(f"`suggest(text, max_dist={k})`, 1,000 words with 0 to 2 edits",
                f"≤ {TARGETS[f'suggest {k}']:g}",
                lambda f, k=k: f"{f['suggest'][k]['median_us']:.1f} ({f['suggest'][k]['p90_us']:.1f})")
            for e in ("0", "1", "2"):
                row(f"&nbsp;&nbsp;texts with {e} edit{'s' if e != '1' else ''}", "",
                    lambda f, k=k, e=e: f"{f['suggest'][k]['by_edits'][e]['median_us']:.1f} "
                                        f"({f['suggest'][k]['by_edits'][e]['p90_us']:.1f})")
    if "batch" in first:
        row("control: two hashing threads against one", "(the machine)",
            lambda f: f"{f['batch']['control']:.2f}x")
        for kind in ("suggest max_dist=1", "suggest max_dist=2", "complete", "videos max_dist=1"):
            method = kind.split()[0] + "_many" + (" " + kind.split()[1] if " " in kind else "")
            row(f"`{method}` against a loop, {first['batch']['texts']:,} texts",
                f"≥ {TARGETS['batch']:g}x" if kind.startswith("suggest") else "",
                lambda f, kind=kind: f"{f['batch'][kind]['speedup']:.2f}x "
                                     f"({f['batch'][kind]['batch_us']:.1f} µs a text)")
    if "exact" in first:
        row("mismatches against a brute-force sort", "0",
            lambda f: f"{f['exact']['mismatches']} of {f['exact']['queries']}")
    lines.append("")
    if "peers" in first:
        lines += ["### Peers on the same queries", "",
                  "µs a query (median) and how many of the compared queries gave the same top 10 "
                  "as torrelm, term for term and in order; the kinds of difference follow.", "",
                  "| query | peer | " + " | ".join(f"{n} µs | {n} same" for n in names) + " |",
                  "|---|---|" + "---|---|" * len(names)]
        labels = list(first["peers"]["rows"])
        for label in labels:
            cells = []
            for n in names:
                r = vocabularies[n].get("peers", {}).get("rows", {}).get(label)
                if r is None:
                    cells += ["", ""]
                    continue
                cells += [f"{r['median_us']:,.1f} (torrelm {r['ours_median_us']:.1f})",
                          f"{r['agreement'].get('same', 0)}/{r['compared']}"]
            lines.append(f"| {first['peers']['rows'][label]['kind']} | {label} | " + " | ".join(cells) + " |")
        lines += ["", "| build | " + " | ".join(f"{n} s | {n} MiB" for n in names) + " |",
                  "|---|" + "---|---|" * len(names)]
        for peer in first["peers"]["builds"]:
            cells = []
            for n in names:
                b = vocabularies[n].get("peers", {}).get("builds", {}).get(peer)
                cells += ["", ""] if b is None else [f"{b[0]:.2f}", f"{b[1] / 2**20:,.0f}"]
            lines.append(f"| {peer} | " + " | ".join(cells) + " |")
        lines.append("")
        lines.append("Kinds of difference from torrelm's top 10, over both vocabularies:")
        lines.append("")
        for label in labels:
            tally: dict[str, int] = {}
            for n in names:
                r = vocabularies[n].get("peers", {}).get("rows", {}).get(label)
                for kind, count in (r or {}).get("agreement", {}).items():
                    if kind != "same":
                        tally[kind] = tally.get(kind, 0) + count
            if tally:
                lines.append(f"- {label}: " + "; ".join(
                    f"{kind} {count}" for kind, count in sorted(tally.items(), key=lambda kv: -kv[1])) + ".")
        lines.append("")
    return lines


# -- main ----------------------------------------------------------------------------------------

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="every tenth word, small samples (< 1 minute)")
    parser.add_argument("--vocabulary", action="append", choices=sorted(VOCABULARIES),
                        help="one vocabulary only (repeatable); both by default")
    add_report_options(parser, SECTIONS)
    options = parser.parse_args()
    chosen = chosen_sections(parser, options, SECTIONS, report_lines)
    if chosen is None:
        return
    quick = options.quick
    options.words = 100 if quick else 1000
    options.batch = 2000 if quick else 10_000
    options.peer_words = 20 if quick else 150
    options.peer_texts = 60 if quick else 600
    options.scan_texts = 10 if quick else 100
    options.agreement = 60 if quick else 200
    options.exact = 40 if quick else 200
    figures: dict = {"machine": f"{os.cpu_count()} cores", "quick": quick, "vocabularies": {}}
    started = time.perf_counter()
    for name in options.vocabulary or list(VOCABULARIES):
        path = VOCABULARIES[name]
        if not path.exists():
            log(f"{name}: {path} is missing (apt-get install {name}): skipped")
            continue
        v = Vocabulary(name, path, quick)
        out: dict = {"terms": len(v.words), "build_s": v.build_seconds}
        figures["vocabularies"][name] = out
        log(f"{name}: {len(v.words):,} terms, built in {v.build_seconds:.2f} s")
        for section, run in (("complete", complete_section), ("suggest", suggest_section),
                             ("batch", batch_section), ("exact", exact_section),
                             ("peers", peers_section)):
            if section in chosen:
                run(v, options, out)
        del v
        gc.collect()
    print_summary(figures)
    log(f"({time.perf_counter() - started:.0f} s in all)")
    if options.json:
        options.json.write_text(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()

"""From a raw click log to a clean search box: what the drop-down shows, how often a slip still
offers what was meant, what typeahead costs, and what cleaning costs the build.

The log is generated (seeded) by demo/clicklog.py, as a video site's would look: QUERIES distinct
queries of one to four words (wordfreq's English words, a few fixed ones such as "funny cat
videos" and "minecraft" among the most popular) with Zipf popularity, ROWS click rows, 5 % of the
clicks on a misspelt query and some on case, accent and whitespace variants.

Measured, each build through the command line (python -m torrelm build):
  build     seconds (best of 3) and file size: the plain build (--normalize casefold) against the same with
            --merge-variants --word-starts; how many terms the cleaning merged, and what share of
            the injected slips of the 1,000 most clicked queries it merged
  noise     on every prefix of the 1,000 most clicked queries, typeahead's completions: how many
            prefixes show a completion of 8 characters or more within one edit of another shown
            completion searched at least 50 times as often (target 0), and how many show two that
            differ only in accents or whitespace (target 0), plain and cleaned
  slips     1,000 popular queries with one typing error in their first 8 characters: how often the
            query meant is among typeahead's first 3 completions (target 95 %)
  words slipped
            the 500 most clicked queries of one, two and three words or more, typed whole with a
            slip in one, two or three different words (a letter swapped, dropped, doubled or
            replaced): how often typeahead's first answer (completion, else correction) is the
            query meant, how often it is among the first 3, and how often the answer is empty
            (targets: one slip 96 % first and 98 % in 3; two slips 90 % first, 97 % in 3, at most
            1 % empty; three slips 85 % first); typeahead's median and p99 µs over them
            (targets 50 and 500 µs); with symspellpy installed, its lookup_compound on the same
            texts over the words of the queries, for comparison
  speed     typeahead median and p99 µs over those prefixes (target median 50 µs)
  words     wordfreq's 50,000 most frequent English words as queries with their frequencies (one
            video each): how many merge_variants=True folds into another (target 0)

Prints one line per figure; --json keeps them. Not a test: times vary with the machine.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parents[1] / "demo"))

import torrelm  # noqa: E402
from torrelm._normalize import casefold, fold_accents  # noqa: E402

from clicklog import generate, slip  # noqa: E402

QUERIES = 300_000
ROWS = 3_000_000
SEED = 7


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def osa(a: str, b: str) -> int:
    rows = [list(range(len(b) + 1))]
    for i in range(1, len(a) + 1):
        row = [i] + [0] * len(b)
        for j in range(1, len(b) + 1):
            row[j] = min(rows[-1][j] + 1, row[j - 1] + 1,
                         rows[-1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                row[j] = min(row[j], rows[-2][j - 2] + 1)
        rows.append(row)
    return rows[-1][-1]


def build(log_path: Path, out: Path, *extra: str, runs: int = 3) -> float:
    """The best of `runs` builds through the command line, in seconds."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "torrelm", "build", str(log_path), "-o", str(out),
                        "-q", *extra], check=True)
        best = min(best, time.perf_counter() - start)
    return best


def twins(text: str) -> str:
    """What two spellings that differ only in accents or whitespace have alike."""
    return " ".join(fold_accents(text).split())


def slipped_words(query: str, rng: random.Random, slips: int) -> str | None:
    """`query` with one typing error in each of `slips` different words of two letters or more,
    or None when it has too few such words."""
    words = query.split(" ")
    chosen = [i for i, w in enumerate(words) if len(w) >= 2]
    if len(chosen) < slips:
        return None
    for i in rng.sample(chosen, slips):
        word = words[i]
        for _ in range(20):
            j = rng.randrange(len(word))
            kind = rng.choice(["swap", "drop", "double", "replace"])
            if kind == "swap" and j + 1 < len(word) and word[j] != word[j + 1]:
                typo = word[:j] + word[j + 1] + word[j] + word[j + 2:]
            elif kind == "drop" and len(word) > 2:
                typo = word[:j] + word[j + 1:]
            elif kind == "double":
                typo = word[:j] + word[j] + word[j:]
            elif kind == "replace" and word[j].isalpha():
                typo = word[:j] + rng.choice("abcdefghijklmnopqrstuvwxyz") + word[j + 1:]
            else:
                continue
            if typo != word:
                words[i] = typo
                break
    return " ".join(words)


def answered(index: torrelm.Index, text: str) -> list[str]:
    """What the drop-down offers for `text`: the completions, else the corrections."""
    found = index.typeahead(text, videos=0)
    return [c.term for c in found.completions or found.corrections]


def words_slipped(index: torrelm.Index, truth: dict, seed: int) -> dict[str, object]:
    """The figures of 'words slipped' (see the module's help)."""
    ranked = sorted(truth["counts"], key=lambda q: -truth["counts"][q])
    figures: dict[str, object] = {}
    times: list[int] = []
    try:
        from symspellpy import SymSpell
    except ImportError:
        SymSpell = None
    speller = None
    if SymSpell is not None:
        speller = SymSpell(max_dictionary_edit_distance=2)
        words: dict[str, int] = {}
        for query, count in truth["counts"].items():
            for word in casefold(query).split():
                words[word] = words.get(word, 0) + count
        for word, count in words.items():
            speller.create_dictionary_entry(word, count)
    for slips in (1, 2, 3):
        rng = random.Random(seed + slips)
        tests = []
        for query in ranked:
            text = slipped_words(query, rng, slips)
            if text is not None and text != query:
                tests.append((text, casefold(query)))
            if len(tests) == 500:
                break
        first = top3 = empty = compound = 0
        for text, meant in tests:
            start = time.perf_counter_ns()
            shown = answered(index, text)
            times.append(time.perf_counter_ns() - start)
            first += bool(shown) and shown[0] == meant
            top3 += meant in shown[:3]
            empty += not shown
            if speller is not None:
                best = speller.lookup_compound(text, max_edit_distance=2)
                compound += bool(best) and best[0].term == meant
        figures[f"{slips} slips"] = {
            "of": len(tests), "first": round(100 * first / len(tests), 1),
            "top3": round(100 * top3 / len(tests), 1),
            "empty": round(100 * empty / len(tests), 1),
            "symspellpy lookup_compound first":
                round(100 * compound / len(tests), 1) if speller is not None else "n/a"}
    times.sort()
    figures["typeahead_us"] = {"median": times[len(times) // 2] / 1000,
                               "p99": times[len(times) * 99 // 100] / 1000}
    return figures


def noisy_prefixes(index: torrelm.Index, popular: list[str]) -> tuple[int, int, list[str]]:
    """(prefixes looked at, prefixes showing noise, a few examples)."""
    looked = noisy = 0
    examples: list[str] = []
    for query in popular:
        for end in range(1, len(query) + 1):
            shown = index.typeahead(query[:end], videos=0).completions
            looked += 1
            bad = [(a.term, b.term) for a in shown if len(a.term) >= 8 for b in shown
                   if b.count >= 50 * a.count and osa(a.term, b.term) == 1]
            bad += [(a.term, b.term) for i, a in enumerate(shown) for b in shown[i + 1:]
                    if twins(a.term) == twins(b.term)]
            if bad:
                noisy += 1
                if len(examples) < 5:
                    examples.append(f"{query[:end]!r}: {bad[0][0]!r} beside {bad[0][1]!r}")
    return looked, noisy, examples


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--queries", type=int, default=QUERIES)
    parser.add_argument("--rows", type=int, default=ROWS)
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument("--json", type=Path, help="write the figures here")
    options = parser.parse_args()
    figures: dict[str, object] = {}
    with tempfile.TemporaryDirectory(prefix="torrelm-typeahead-") as folder:
        work = Path(folder)
        log(f"generating {options.rows:,} click rows over {options.queries:,} queries")
        truth = generate(work / "clicks.parquet", options.queries, options.rows, options.seed)
        plain_s = build(work / "clicks.parquet", work / "plain.idx")
        clean_s = build(work / "clicks.parquet", work / "clean.idx", "--min-count", "3",
                        "--merge-variants", "--word-starts", "--merged-pairs",
                        str(work / "merged.csv"))
        plain, clean = torrelm.open(work / "plain.idx"), torrelm.open(work / "clean.idx")
        with open(work / "merged.csv", newline="", encoding="utf-8") as pairs:
            merged = {row["variant"]: row["term"] for row in csv.DictReader(pairs)}
        injected = [(s, q) for q, slips in truth["slips"].items() for s in slips
                    if s.lower() != q.lower() and len(s) >= 5]
        caught = sum(merged.get(casefold(s)) == q for s, q in injected)
        figures["build"] = {
            "plain_s": round(plain_s, 2), "cleaned_s": round(clean_s, 2),
            "ratio": round(clean_s / plain_s, 2),
            "plain_mib": round((work / "plain.idx").stat().st_size / 2**20, 1),
            "cleaned_mib": round((work / "clean.idx").stat().st_size / 2**20, 1),
            "terms": [len(plain), len(clean)], "merged": len(merged),
            "slips_of_popular_merged": [caught, len(injected)]}
        log(f"build: {figures['build']}")
        for name, index in (("plain", plain), ("cleaned", clean)):
            looked, noisy, examples = noisy_prefixes(index, truth["popular"])
            figures[f"noise {name}"] = {"prefixes": looked, "noisy": noisy, "examples": examples}
            log(f"noise {name}: {noisy:,} of {looked:,} prefixes; {examples[:3]}")
        figures["words slipped"] = words_slipped(clean, truth, options.seed)
        log(f"words slipped: {figures['words slipped']}")
        rng = random.Random(options.seed)
        tests = [(slip(q, rng, within=8), q) for q in truth["popular"]]
        for name, index in (("plain", plain), ("cleaned", clean)):
            hits = sum(q in [c.term for c in index.typeahead(t, videos=0).completions[:3]]
                       for t, q in tests)
            figures[f"slips {name}"] = {"top3": hits, "of": len(tests)}
            log(f"slips {name}: {hits / len(tests):.1%} in the first 3")
        texts = [q[:end] for q in truth["popular"] for end in range(1, len(q) + 1)]
        for name, index in (("plain", plain), ("cleaned", clean)):
            times = []
            for text in texts:
                start = time.perf_counter_ns()
                index.typeahead(text)
                times.append(time.perf_counter_ns() - start)
            times.sort()
            figures[f"speed {name}"] = {"median_us": times[len(times) // 2] / 1000,
                                        "p99_us": times[len(times) * 99 // 100] / 1000}
            log(f"typeahead {name}: {figures[f'speed {name}']}")
    import wordfreq

    words = wordfreq.top_n_list("en", 50_000)
    rows = [(w, i, max(1, round(wordfreq.word_frequency(w, "en") * 1e9)))
            for i, w in enumerate(words)]
    pairs_path = Path(tempfile.mkstemp(suffix=".csv")[1])
    try:
        torrelm.build(rows, merge_variants=True, merged_pairs=pairs_path)
        with open(pairs_path, newline="", encoding="utf-8") as pairs:
            folded = list(csv.DictReader(pairs))
    finally:
        os.unlink(pairs_path)
    figures["words"] = {"words": len(words), "merged": len(folded),
                        "examples": [(r["variant"], r["term"]) for r in folded[:5]]}
    log(f"wordfreq 50k: {len(folded)} merged")
    print(json.dumps(figures, indent=1, ensure_ascii=False))
    if options.json:
        options.json.write_text(json.dumps(figures, indent=1, ensure_ascii=False))


if __name__ == "__main__":
    main()

"""Spelling-correction quality: how often Index.suggest puts the intended word first, beside
symspellpy and hunspell, on misspellings people really make.

The corpus is what a new user would reach for first:
  terms        wordfreq's 300,000 most frequent English words (top_n_list("en", 300000)), each
               with the count max(1, round(word_frequency(w, "en") * 1e9)), one video a term
  misspellings the pairs of codespell's dictionary (codespell_lib/data/dictionary.txt) that have
               exactly one correction, the correction in the terms and the misspelling not; a
               seeded random sample of 3,000 of them

Systems (--only picks some; all by default), each on every pair:
  torrelm      suggest(m, max_dist=2) as it has always ranked: Levenshtein distance, then count
               (order="distance" and distance="levenshtein" passed where the build takes them);
               and the likelier-first order (order="likely", distance="osa") where the
               installed build has it, n/a where not
  symspellpy   SymSpell(max_dictionary_edit_distance=2) on the same terms and counts:
               lookup(m, CLOSEST, 2), and lookup(m, ALL, 2) sorted by (distance, -count)
  hunspell     hunspell -a -d en_US through a pipe, its own dictionary (Debian's hunspell-en-us),
               where it is installed

Typed right: 20,000 of the terms drawn by their counts (seeded), each typed as it is: how often
torrelm's suggest (its defaults) and symspellpy's lookup(CLOSEST, 2) put another word first
(target for torrelm: at most 0.1 %), and what the call costs.

Figures: top-1 and top-3 correct over all pairs, top-1 by the kind of error (one adjacent
transposition, deletion, insertion or substitution, or two edits and more), and the median and
p99 µs per query. Prints the table as Markdown on standard output and progress on standard error;
--json keeps the figures, --markdown prints the report section of a --json file, and --into
writes that section into a Markdown file too (replacing the one there), measured or from
--markdown's file. About a minute and a half on two cores, most of it hunspell's. Not a test:
latencies vary with the machine, the quality figures with the versions of wordfreq, codespell and
hunspell.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.metadata
import importlib.resources
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

import torrelm  # noqa: E402

from figures import add_report_options, chosen_sections  # noqa: E402

SECTIONS = ("torrelm", "symspellpy", "hunspell")
CLASSES = ("transposition", "deletion", "insertion", "substitution", "two or more")
HEADING = "## Spelling correction quality"
TERMS = 300_000
PAIRS = 3_000
SEED = 2026
MAX_DIST = 2


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


# -- corpus --------------------------------------------------------------------------------------

def vocabulary(n: int) -> tuple[list[str], list[int]]:
    """wordfreq's n most frequent English words and counts proportional to their frequency."""
    import wordfreq

    words = wordfreq.top_n_list("en", n)
    # At least 1: the rarest words round to a few units, and a count of 0 would drop a term.
    counts = [max(1, round(wordfreq.word_frequency(w, "en") * 1e9)) for w in words]
    return words, counts


def codespell_dictionary() -> Path:
    files = importlib.resources.files("codespell_lib") / "data" / "dictionary.txt"
    return Path(str(files))


def misspellings(known: set[str], n: int, seed: int) -> tuple[list[tuple[str, str]], int]:
    """A seeded sample of n (misspelling, correction) pairs, and how many were eligible."""
    pairs = []
    for line in codespell_dictionary().read_text(encoding="utf-8").splitlines():
        wrong, arrow, right = line.partition("->")
        if not arrow:
            continue
        # "a->b" has one correction; "a->b, c," lists several, which have no single right answer.
        corrections = [c.strip() for c in right.split(",") if c.strip()]
        if len(corrections) != 1:
            continue
        wrong = wrong.strip()
        if corrections[0] in known and wrong not in known:
            pairs.append((wrong, corrections[0]))
    pairs.sort()  # the sample depends on the seed alone, not on the file's order
    return random.Random(seed).sample(pairs, min(n, len(pairs))), len(pairs)


def levenshtein(a: str, b: str) -> int:
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        row = [i]
        for j, cb in enumerate(b, 1):
            row.append(min(row[j - 1] + 1, previous[j] + 1, previous[j - 1] + (ca != cb)))
        previous = row
    return previous[-1]


def osa(a: str, b: str) -> int:
    """Levenshtein distance with a swap of adjacent letters counted as one edit."""
    rows = [list(range(len(b) + 1))]
    for i, ca in enumerate(a, 1):
        row = [i]
        for j, cb in enumerate(b, 1):
            best = min(row[j - 1] + 1, rows[-1][j] + 1, rows[-1][j - 1] + (ca != cb))
            if i > 1 and j > 1 and ca == b[j - 2] and a[i - 2] == cb:
                best = min(best, rows[-2][j - 2] + 1)
            row.append(best)
        rows.append(row)
    return rows[-1][-1]


def error_class(wrong: str, right: str) -> str:
    """The kind of error that turns right into wrong, as one edit of the misspelling sees it."""
    if len(wrong) == len(right):
        differ = [i for i, (a, b) in enumerate(zip(wrong, right)) if a != b]
        if (len(differ) == 2 and differ[1] == differ[0] + 1
                and wrong[differ[0]] == right[differ[1]] and wrong[differ[1]] == right[differ[0]]):
            return "transposition"
    if levenshtein(wrong, right) == 1:
        if len(wrong) < len(right):
            return "deletion"  # a letter of the word is missing from the misspelling
        if len(wrong) > len(right):
            return "insertion"
        return "substitution"
    return "two or more"


# -- systems -------------------------------------------------------------------------------------

def timed(fn: Callable[[str], list[str]],
          texts: Sequence[str]) -> tuple[list[list[str]], list[int]]:
    """Each text's answer and its latency in ns."""
    answers, latencies = [], []
    for text in texts:
        start = time.perf_counter_ns()
        answer = fn(text)
        latencies.append(time.perf_counter_ns() - start)
        answers.append(answer)
    return answers, latencies


def torrelm_rows(words: list[str], counts: list[int], texts: list[str]) -> dict[str, dict]:
    log(f"torrelm: building {len(words):,} terms")
    start = time.perf_counter()
    index = torrelm.build([(w, i, c) for i, (w, c) in enumerate(zip(words, counts))])
    log(f"  built in {time.perf_counter() - start:.2f} s")
    # Typed loosely: which keywords it takes depends on the installed build, not on its stubs.
    suggest: Any = index.suggest
    suggest(texts[0], max_dist=MAX_DIST)  # the first query makes the walk table the index keeps

    def accepts(**keywords: str) -> bool:
        try:
            suggest(texts[0], max_dist=MAX_DIST, **keywords)
            return True
        except (TypeError, ValueError):
            return False

    # Builds that take these keywords get today's order and distance spelled out, so that this row
    # keeps meaning "Levenshtein distance first, then count" whatever their defaults become.
    today = {k: v for k, v in (("order", "distance"), ("distance", "levenshtein"))
             if accepts(**{k: v})}
    likely: dict[str, str] | None = {"order": "likely", "distance": "osa"}
    if not accepts(order="likely", distance="osa"):
        log("  this build has no likelier-first order (order=\"likely\", distance=\"osa\"): n/a")
        likely = None

    def label(keywords: dict[str, str]) -> str:
        return (f"torrelm `suggest(m, max_dist={MAX_DIST}"
                + "".join(f', {k}="{v}"' for k, v in keywords.items()) + ")`")

    rows: dict[str, dict] = {}
    for keywords in (today, likely):
        if keywords is None:
            rows[label({"order": "likely", "distance": "osa"})] = {
                "answers": None, "note": "not in the installed build"}
            continue
        log(f"  {label(keywords)}: {len(texts):,} queries")

        def ask(text: str, k: dict[str, str] = keywords) -> list[str]:
            return [s.term for s in suggest(text, max_dist=MAX_DIST, **k)]

        answers, latencies = timed(ask, texts)
        rows[label(keywords)] = {"answers": answers, "latencies_ns": latencies}
    return rows


def symspell_rows(words: list[str], counts: list[int], texts: list[str]) -> dict[str, dict]:
    try:
        from symspellpy import SymSpell, Verbosity
    except ImportError:
        log("symspellpy is not installed: skipped")
        return {}
    log(f"symspellpy: building {len(words):,} terms at max edit distance {MAX_DIST}")
    start = time.perf_counter()
    # Its defaults, as a new user would take them: prefix length 7 and the OSA distance, which
    # counts an adjacent transposition as one edit.
    speller = SymSpell(max_dictionary_edit_distance=MAX_DIST)
    for w, c in zip(words, counts):
        speller.create_dictionary_entry(w, c)
    log(f"  built in {time.perf_counter() - start:.2f} s")

    def closest(text: str) -> list[str]:
        return [s.term for s in speller.lookup(text, Verbosity.CLOSEST, max_edit_distance=MAX_DIST)]

    def every(text: str) -> list[str]:
        found = speller.lookup(text, Verbosity.ALL, max_edit_distance=MAX_DIST)
        found.sort(key=lambda s: (s.distance, -s.count, s.term))
        return [s.term for s in found]

    rows = {}
    for label, fn in ((f"symspellpy `lookup(m, CLOSEST, {MAX_DIST})`", closest),
                      (f"symspellpy `lookup(m, ALL, {MAX_DIST})`, by (distance, -count)", every)):
        log(f"  {label}: {len(texts):,} queries")
        answers, latencies = timed(fn, texts)
        rows[label] = {"answers": answers, "latencies_ns": latencies}
    return rows


class Hunspell:
    """hunspell -a as a pipe: one line in, its result lines and a blank line out."""

    def __init__(self, dictionary: str = "en_US"):
        self.process = subprocess.Popen(
            ["hunspell", "-a", "-i", "UTF-8", "-d", dictionary], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, encoding="utf-8", bufsize=1)
        assert self.process.stdin is not None and self.process.stdout is not None
        self.stdin, self.stdout = self.process.stdin, self.process.stdout
        self.banner = self.stdout.readline().strip()
        if not self.banner:
            problem = self.process.stderr.read().strip() if self.process.stderr else ""
            raise OSError(problem or "hunspell -a printed nothing")
        self.accepted = 0

    def suggest(self, text: str) -> list[str]:
        # "^" makes the rest of the line text to check, whatever character it starts with.
        self.stdin.write("^" + text + "\n")
        self.stdin.flush()
        results = []
        while (line := self.stdout.readline()) not in ("\n", ""):
            results.append(line.rstrip("\n"))
        if not results:
            return []
        first = results[0]  # a misspelling hunspell splits into words is judged by its first
        if first.startswith("&"):
            return [s.strip() for s in first.split(":", 1)[1].split(",")]
        if first[:1] in ("*", "+", "-"):
            self.accepted += 1
        return []

    def close(self) -> None:
        self.stdin.close()
        self.process.wait(timeout=10)


def hunspell_rows(texts: list[str]) -> tuple[dict[str, dict], dict]:
    label = "hunspell `-a -d en_US` (its own dictionary)"
    if shutil.which("hunspell") is None:
        log("hunspell is not installed (apt-get install hunspell hunspell-en-us): n/a")
        return {label: {"answers": None, "note": "not installed"}}, {}
    try:
        speller = Hunspell()
    except OSError as problem:
        log(f"hunspell did not start ({problem}): n/a")
        return {label: {"answers": None, "note": f"did not start: {problem}"}}, {}
    speller.suggest("teh")  # loads what the first suggestion needs before the clock runs
    speller.accepted = 0
    log(f"hunspell ({speller.banner}): {len(texts):,} queries, each a round trip through the pipe")
    start = time.perf_counter_ns()
    answers, latencies = timed(speller.suggest, texts)
    elapsed = time.perf_counter_ns() - start
    speller.close()
    extra = {"banner": speller.banner, "accepted": speller.accepted,
             "mean_us": elapsed / len(texts) / 1e3}
    return {label: {"answers": answers, "latencies_ns": latencies}}, extra


# -- figures -------------------------------------------------------------------------------------

def typed_right(words: list[str], counts: list[int], seed: int, n: int = 20_000) -> dict:
    """How often a word typed as it is gets another first, and the µs a call costs."""
    sample = random.Random(seed).choices(words, weights=counts, k=n)
    index = torrelm.build([(w, i, c) for i, (w, c) in enumerate(zip(words, counts))])
    figures: dict = {"words": n}
    systems: dict[str, Callable[[str], list[str]]] = {
        "torrelm suggest": lambda w: [s.term for s in index.suggest(w, limit=10)]}
    try:
        from symspellpy import SymSpell, Verbosity
        speller = SymSpell(max_dictionary_edit_distance=MAX_DIST)
        for word, count in zip(words, counts):
            speller.create_dictionary_entry(word, count)
        systems["symspellpy CLOSEST"] = lambda w: [
            s.term for s in speller.lookup(w, Verbosity.CLOSEST, MAX_DIST)]
    except ImportError:
        pass
    for name, answer in systems.items():
        replaced = 0
        times = []
        for word in sample:
            start = time.perf_counter_ns()
            found = answer(word)
            times.append(time.perf_counter_ns() - start)
            replaced += bool(found) and found[0] != word
        times.sort()
        figures[name] = {"replaced": replaced, "median_us": times[len(times) // 2] / 1000,
                         "p99_us": p99(times) / 1000}
    return figures


def p99(values: Sequence[int]) -> int:
    return sorted(values)[min(len(values) - 1, int(len(values) * 0.99))]


def scored(row: dict, pairs: list[tuple[str, str]], classes: list[str]) -> dict:
    if row["answers"] is None:
        return {"available": False, "note": row["note"]}
    top1 = top3 = 0
    by_class = dict.fromkeys(CLASSES, 0)
    for (_, right), kind, answer in zip(pairs, classes, row["answers"]):
        # Case aside: hunspell capitalises some words that the corpus holds in lower case.
        answer = [a.casefold() for a in answer[:3]]
        if answer and answer[0] == right.casefold():
            top1 += 1
            by_class[kind] += 1
        if right.casefold() in answer:
            top3 += 1
    latencies = row["latencies_ns"]
    return {"available": True, "top1": top1, "top3": top3, "top1_by_class": by_class,
            "median_us": statistics.median(latencies) / 1e3, "p99_us": p99(latencies) / 1e3}


def versions() -> dict[str, str]:
    found = {}
    for package in ("torrelm", "wordfreq", "codespell", "symspellpy"):
        try:
            found[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            pass
    try:
        found["hunspell-en-us"] = subprocess.run(
            ["dpkg-query", "-W", "-f=${Version}", "hunspell-en-us"], capture_output=True,
            text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return found


def percent(n: int, of: int) -> str:
    return f"{100 * n / of:.1f}%" if of else "–"


def report_lines(figures: dict) -> list[str]:
    """The figures as a section of docs/performance.md."""
    v = figures["versions"]
    classes = figures["classes"]
    total = figures["pairs"]
    lines = [
        HEADING, "",
        "`bench/bench_quality.py`: how often each system's first (or first three) suggestions "
        "hold the intended word. The terms are wordfreq's "
        f"{figures['terms']:,} most frequent English words (`wordfreq.top_n_list(\"en\", "
        f"{figures['terms']})`, wordfreq {v.get('wordfreq', '?')}), each with the count "
        "`max(1, round(word_frequency(w, \"en\") * 1e9))` and one video. The misspellings are "
        f"codespell's dictionary (codespell {v.get('codespell', '?')}, "
        "`codespell_lib/data/dictionary.txt`): of its lines `misspelling->correction` with exactly "
        "one correction, the "
        f"{figures['eligible']:,} whose correction is a term and whose misspelling is not, sorted, "
        f"then `random.Random({figures['seed']}).sample(pairs, {total})`. torrelm and symspellpy "
        f"(symspellpy {v.get('symspellpy', '?')}, `SymSpell(max_dictionary_edit_distance=2)` with "
        "its default prefix length 7 and OSA distance) hold the same terms and counts; hunspell "
        f"uses its own dictionary (Debian's hunspell-en-us {v.get('hunspell-en-us', '?')}). "
        "Answers are compared ignoring case. The kind of error is read from the pair: one swap "
        "of adjacent letters is a transposition; otherwise at Levenshtein distance 1 a letter "
        "missing from the misspelling is a deletion, an extra one an insertion, a changed one a "
        "substitution; the rest are two or more edits "
        f"({figures['beyond']} of them more than {MAX_DIST} Levenshtein edits apart, out of reach "
        f"of a search within {MAX_DIST} edits that counts a transposition as two; "
        f"{figures['beyond_osa']} more than {MAX_DIST} even counting it as one). "
        "Latencies are per call from Python, `time.perf_counter_ns` around it.", "",
        "| system | top-1 | top-3 | " + " | ".join(f"top-1 {c}" for c in CLASSES)
        + " | median µs | p99 µs |",
        "|---|---|---|" + "---|" * len(CLASSES) + "---|---|",
        f"| pairs | {total:,} | {total:,} | " + " | ".join(f"{classes[c]:,}" for c in CLASSES)
        + " | | |",
    ]
    for label, row in figures["rows"].items():
        if not row["available"]:
            lines.append(f"| {label} | " + " | ".join(["n/a"] * (4 + len(CLASSES))) + " |")
            continue
        lines.append(
            f"| {label} | {percent(row['top1'], total)} | {percent(row['top3'], total)} | "
            + " | ".join(percent(row["top1_by_class"][c], classes[c]) for c in CLASSES)
            + f" | {row['median_us']:,.1f} | {row['p99_us']:,.1f} |")
    lines.append("")
    notes = [f"{label}: {row['note']}." for label, row in figures["rows"].items()
             if not row["available"]]
    h = figures.get("hunspell")
    if h:
        notes.append(f"hunspell's times are round trips through its pipe, one word at a time "
                     f"(mean {h['mean_us']:,.0f} µs a word); it took {h['accepted']} of the "
                     f"{total:,} misspellings for correct words and suggested nothing for them.")
    if notes:
        lines += [f"- {n}" for n in notes] + [""]
    right = figures.get("typed_right")
    if right:
        lines += [f"Words typed right: {right['words']:,} of the terms drawn by their counts, "
                  "each typed as it is; how often another word comes first, and the call's cost.",
                  "", "| system | another first | median µs | p99 µs |", "|---|---|---|---|"]
        for name, row in right.items():
            if isinstance(row, dict):
                share = 100 * row['replaced'] / right['words']
                lines.append(f"| {name} | {row['replaced']:,} ({share:.3f} %) | "
                             f"{row['median_us']:,.1f} | {row['p99_us']:,.1f} |")
        lines.append("")
    lines += [f"Measured on {figures['date']}, {figures['machine']}"
              + (f", torrelm {v['torrelm']}" if "torrelm" in v else "") + ".", ""]
    return lines


def write_into(path: Path, section: list[str]) -> None:
    """Replaces the section in the Markdown file at path, or appends it."""
    lines = path.read_text(encoding="utf-8").splitlines() if path.exists() else []
    if HEADING in lines:
        start = lines.index(HEADING)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")),
                   len(lines))
        lines[start:end] = section
    else:
        if lines and lines[-1]:
            lines.append("")
        lines += section
    while lines and not lines[-1]:
        lines.pop()
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--terms", type=int, default=TERMS, help="most frequent words to index")
    parser.add_argument("--pairs", type=int, default=PAIRS, help="misspellings to correct")
    parser.add_argument("--seed", type=int, default=SEED, help="of the sample of misspellings")
    parser.add_argument("--into", type=Path,
                        help="also write the report section into this Markdown file")
    add_report_options(parser, SECTIONS)
    options = parser.parse_args()
    if options.markdown and options.into:
        write_into(options.into, report_lines(json.loads(options.markdown.read_text())))
    chosen = chosen_sections(parser, options, SECTIONS, report_lines)
    if chosen is None:
        return
    started = time.perf_counter()

    log(f"corpus: wordfreq's {options.terms:,} most frequent English words")
    words, counts = vocabulary(options.terms)
    pairs, eligible = misspellings(set(words), options.pairs, options.seed)
    if not pairs:
        parser.error("no codespell pair has its correction among the terms")
    texts = [wrong for wrong, _ in pairs]
    classes = [error_class(wrong, right) for wrong, right in pairs]
    per_class = {c: classes.count(c) for c in CLASSES}
    beyond = sum(levenshtein(w, r) > MAX_DIST for w, r in pairs)
    beyond_osa = sum(osa(w, r) > MAX_DIST for w, r in pairs)
    log(f"  {len(pairs):,} of {eligible:,} eligible codespell pairs: "
        + ", ".join(f"{c} {n}" for c, n in per_class.items()))

    right = typed_right(words, counts, options.seed)
    log(f"  typed right: {right}")
    rows: dict[str, dict] = {}
    hunspell: dict = {}
    if "torrelm" in chosen:
        rows.update(torrelm_rows(words, counts, texts))
    if "symspellpy" in chosen:
        rows.update(symspell_rows(words, counts, texts))
    if "hunspell" in chosen:
        found, hunspell = hunspell_rows(texts)
        rows.update(found)

    figures = {
        "date": datetime.date.today().isoformat(),
        "machine": f"{os.cpu_count()} cores, CPython {sys.version.split()[0]}",
        "versions": versions(), "terms": len(words), "seed": options.seed, "eligible": eligible,
        "pairs": len(pairs), "classes": per_class, "beyond": beyond, "beyond_osa": beyond_osa,
        "hunspell": hunspell, "typed_right": right,
        "rows": {label: scored(row, pairs, classes) for label, row in rows.items()},
    }
    section = report_lines(figures)
    print("\n".join(section))
    sys.stdout.flush()
    log(f"({time.perf_counter() - started:.0f} s in all)")
    if options.json:
        options.json.write_text(json.dumps(figures, indent=1))
    if options.into:
        write_into(options.into, section)
        log(f"wrote the section into {options.into}")


if __name__ == "__main__":
    main()

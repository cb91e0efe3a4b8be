"""Ingest benchmark: torrelm.build from click-count columns, side by side with what a Python user
could do instead.

Cases (each in a fresh child process, so that peak memory is its own):
  clicks-1m     a 1,000,000-row pyarrow table of (term, video, count) click counts over 300,000
                Zipf-distributed terms, video_top_n 10: time, peak memory growth during the build
                against the built index's size; the same rows through IndexBuilder as it was
                (Python layout, then PrefixSearch.from_internal_data_v2)
  words         the words of wamerican-insane with one to five videos each
  clicks-20m    20,000,000 rows over 6,000,000 terms (--large; minutes and several GiB)
  long-term     one term of 250,000 and one of 1,000,000 characters: time per character
  ticker        a thread ticking every millisecond during the 1M-row build: its longest wait
  peers         the same keys through marisa-trie's build, symspellpy's dictionary build and a
                Python dict trie (peers that do not install are skipped)

Prints one line per measurement. Not a test: figures vary with the machine.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORDS = Path("/usr/share/dict/american-english-insane")

CHILD_PRELUDE = r"""
import gc, json, os, sys, threading, time
import numpy as np
sys.path.insert(0, %(demo)r)

def peak_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

def reset_peak():
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")

def clicks(rows, terms, seed=7):
    # Zipf-distributed terms (every term at least once), Zipf videos, Zipf counts.
    rng = np.random.default_rng(seed)
    words = open(%(words)r, encoding="utf-8", errors="replace").read().split()
    words = sorted(set(w for w in words if w))
    vocabulary = np.array(words, dtype=object)
    first = vocabulary[rng.integers(0, len(words), terms)]
    second = vocabulary[rng.integers(0, len(words), terms)]
    names = np.unique(np.char.add(np.char.add(first.astype(str), " "), second.astype(str)))
    names = names[rng.permutation(len(names))][:terms]
    ranks = np.minimum(rng.zipf(1.3, rows - len(names)) - 1, len(names) - 1)
    term_index = np.concatenate([np.arange(len(names)), ranks])
    videos = np.mod(np.minimum(rng.zipf(1.2, rows), 2_000_000) * 7919, 4_000_000).astype(np.uint32)
    counts = np.minimum(rng.zipf(1.5, rows), 1_000_000).astype(np.int64)
    return names, term_index, videos, counts

def report(**figures):
    print(json.dumps(figures))
"""

CASES = {
    "clicks-1m": r"""
import pyarrow as pa
import torrelm
names, term_index, videos, counts = clicks(1_000_000, 300_000)
table = pa.table({"term": pa.array(names[term_index].astype(object), pa.string()),
                  "video": videos, "count": counts})
gc.collect(); reset_peak(); before = peak_bytes()
start = time.perf_counter()
index = torrelm.build(table, video_top_n=10)
seconds = time.perf_counter() - start
peak = peak_bytes() - before
report(case="clicks-1m", rows=len(table), terms=len(names), seconds=seconds,
       peak_growth_mib=peak / 2**20, index_mib=index.memory_bytes() / 2**20,
       stored_mib=len(index.to_bytes()) / 2**20)
""",
    "clicks-1m-old": r"""
from layout import lay_out
from _torrelm import PrefixSearch
names, term_index, videos, counts = clicks(1_000_000, 300_000)
terms = names[term_index].tolist(); videos = videos.tolist(); counts = counts.tolist()
gc.collect(); reset_peak(); before = peak_bytes()
start = time.perf_counter()
# IndexBuilder as it was: dicts per term in Python, a Python layout, then the array builder.
positions, per_term = {}, {}
for term, video, count in zip(terms, videos, counts):
    position = positions.setdefault(video, len(positions))
    slot = per_term.setdefault(term, {})
    slot[position] = min(slot.get(position, 0) + count, 2**32 - 1)
payloads = {}
for term, slot in per_term.items():
    ordered = sorted(slot.items(), key=lambda item: (-item[1], item[0]))
    payloads[term] = (min(sum(slot.values()), 2**32 - 1), [p for p, _ in ordered],
                      [c for _, c in ordered])
video_index = [v.to_bytes(4, "little") for v in positions]
arrays = lay_out(payloads, video_index)
index = PrefixSearch.from_internal_data_v2(*arrays.arguments(10))
seconds = time.perf_counter() - start
report(case="clicks-1m-old", rows=len(terms), seconds=seconds,
       peak_growth_mib=(peak_bytes() - before) / 2**20)
""",
    "words": r"""
import torrelm
words = sorted(set(w for w in open(%(words)r, encoding="utf-8", errors="replace").read().split()))
rng = np.random.default_rng(3)
per_word = rng.integers(1, 6, len(words))
terms = np.repeat(np.array(words, dtype=object), per_word)
videos = rng.integers(0, 100_000, len(terms)).astype(np.uint32)
counts = rng.integers(1, 1000, len(terms)).astype(np.int64)
import pyarrow as pa
table = pa.table({"term": pa.array(terms, pa.string()), "video": videos, "count": counts})
gc.collect(); reset_peak(); before = peak_bytes()
start = time.perf_counter()
index = torrelm.build(table)
report(case="words", rows=len(terms), terms=len(words), seconds=time.perf_counter() - start,
       peak_growth_mib=(peak_bytes() - before) / 2**20, index_mib=index.memory_bytes() / 2**20)
""",
    "clicks-20m": r"""
import pyarrow as pa
import torrelm
names, term_index, videos, counts = clicks(20_000_000, 6_000_000)
table = pa.table({"term": pa.array(names[term_index].astype(object), pa.string()),
                  "video": videos, "count": counts})
del term_index
gc.collect(); reset_peak(); before = peak_bytes()
start = time.perf_counter()
index = torrelm.build(table)
report(case="clicks-20m", rows=len(table), terms=len(names), seconds=time.perf_counter() - start,
       peak_mib=peak_bytes() / 2**20, peak_growth_mib=(peak_bytes() - before) / 2**20,
       index_mib=index.memory_bytes() / 2**20)
""",
    "long-term": r"""
import torrelm
for length in (250_000, 1_000_000):
    term = "ab" * (length // 2)
    start = time.perf_counter()
    index = torrelm.build({"term": [term], "video": [1], "count": [1]})
    seconds = time.perf_counter() - start
    report(case="long-term", characters=length, seconds=seconds,
           ns_per_character=seconds / length * 1e9)
""",
    "ticker": r"""
import pyarrow as pa
import torrelm
names, term_index, videos, counts = clicks(1_000_000, 300_000)
table = pa.table({"term": pa.array(names[term_index].astype(object), pa.string()),
                  "video": videos, "count": counts})
longest = 0.0
stop = False
def tick():
    global longest
    last = time.perf_counter()
    while not stop:
        time.sleep(0.001)
        now = time.perf_counter()
        longest = max(longest, now - last)
        last = now
# The input's million str objects would make any collection of the interpreter's cycle collector
# a pause of its own: freeze them, so that what is measured is the build's hold on the lock.
gc.collect(); gc.freeze()
thread = threading.Thread(target=tick); thread.start()
time.sleep(0.05)
start = time.perf_counter()
torrelm.build(table)
seconds = time.perf_counter() - start
stop = True; thread.join()
report(case="ticker", build_seconds=seconds, longest_tick_ms=longest * 1000)
""",
    "peers": r"""
names, term_index, videos, counts = clicks(1_000_000, 300_000)
keys = names.tolist()
def timed(name, fn):
    start = time.perf_counter()
    try:
        fn()
    except ImportError as missing:
        report(case="peers", peer=name, skipped=str(missing)); return
    report(case="peers", peer=name, keys=len(keys), seconds=time.perf_counter() - start)
def marisa():
    import marisa_trie
    marisa_trie.Trie(keys)
def symspell():
    from symspellpy import SymSpell
    speller = SymSpell(max_dictionary_edit_distance=2)
    for key in keys:
        speller.create_dictionary_entry(key, 1)
def dict_trie():
    root = {}
    for key in keys:
        node = root
        for ch in key:
            node = node.setdefault(ch, {})
        node[""] = True
timed("marisa-trie", marisa)
timed("symspellpy", symspell)
timed("python dict trie", dict_trie)
""",
}

TARGETS = {
    "clicks-1m": "build at most 1.0 s; peak growth at most 2x the index",
    "words": "build at most 0.6 s",
    "clicks-20m": "at most 60 s and 8 GiB peak",
    "long-term": "time linear in the length",
    "ticker": "longest tick at most 10 ms",
}


def run_case(name: str) -> list[dict[str, object]]:
    code = CHILD_PRELUDE % {"demo": str(ROOT / "demo"), "words": str(WORDS)}
    code += CASES[name] % {"words": str(WORDS)} if "%(words)" in CASES[name] else CASES[name]
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if done.returncode != 0:
        return [{"case": name, "error": done.stderr.strip().splitlines()[-1:]}]
    return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--large", action="store_true", help="also the 20,000,000-row build")
    parser.add_argument("--cases", nargs="*", default=None, help="only these cases")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    options = parser.parse_args()
    names = options.cases or [n for n in CASES if n != "clicks-20m" or options.large]
    figures = []
    for name in names:
        for result in run_case(name):
            figures.append(result)
            shown = ", ".join(f"{k} {v:.3g}" if isinstance(v, float) else f"{k} {v}"
                              for k, v in result.items() if k != "case")
            target = TARGETS.get(name, "")
            print(f"{result['case']:<14} {shown}" + (f"   [target: {target}]" if target else ""),
                  flush=True)
    if options.json:
        options.json.write_text(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()

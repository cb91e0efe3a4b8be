"""Titles benchmark: the videos' titles the service joins into its answers, converted once into a
file every worker maps (torrelm._serve.titles), against the dict of them each worker held before
(read here as the service read it then: DuckDB's rows into a dict).

For a synthetic videos file of 497,489 rows (Parquet; ids as ints, then as 11-character
strings; titles of 40 to 80 characters, thumbnails and urls), prints:
  convert    in a fresh process, as the service's first conversion is: seconds to import
             what convert() uses and to convert the Parquet file into the lookup file, the
             process's peak memory, and the file's size; then the best of 3 more in this one
  open       seconds for Titles.open, median of many
  lookup     latency of one lookup of 10 ids (8 known, 2 unknown), median and p99 over 20,000
  worker     in a fresh interpreter, as a worker is: memory added by importing the reader, by
             opening the file, and after 100,000 lookups of 10 ids: RssAnon and Anonymous
             (memory of its own), Private_Dirty and RssFile (pages of mapped files, which
             every worker shares; the page cache's copy of a file just written is dirty, and
             counted as private dirty memory of the one process that maps it, until written
             back: the file is flushed first, as it is seconds later); then the time from
             starting the process to its first answer, and from starting the conversion's
  dict       the same worker reading the file into a dict, as the service did before: seconds
             and memory added
             (--no-dict leaves it out)

Not a test: figures vary with the machine. The files are made in --workdir (a temporary folder by
default) and removed with it.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROWS = 497_489
WORDS = ("music live official video remix cover lyrics acoustic session tour highlights "
         "trailer review unboxing tutorial guide best worst funny moments episode season "
         "interview behind scenes making full album concert festival dance challenge reaction "
         "café über naïve 東京 ночь").split()

# What a worker runs, as a fresh interpreter: the figures of its memory as it goes, as JSON.
WORKER = r"""
import json, os, random, sys, time
started = float(sys.argv[3])

def status():
    found = {}
    with open("/proc/self/status") as lines:
        for line in lines:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "RssAnon", "RssFile"):
                found[name] = int(value.split()[0])
    with open("/proc/self/smaps_rollup") as lines:
        for line in lines:
            name, _, value = line.partition(":")
            if name in ("Private_Dirty", "Pss", "Anonymous"):
                found[name] = int(value.split()[0])
    return found

import torrelm._serve  # what a worker has imported before it reads any titles
import torrelm._serve.titles
steps = {"serve imported": status()}
kind, path = sys.argv[1], sys.argv[2]
ids = json.loads(sys.argv[4])
if kind == "mapped":
    steps["reader imported"] = status()
    from torrelm._serve.titles import Titles
    titles = Titles.open(path)
    first = titles.lookup(ids[:10])
    steps["first answer s"] = time.time() - started
    steps["opened"] = status()
    rng = random.Random(1)
    for _ in range(100_000):
        titles.lookup(rng.sample(ids, 10))
    steps["after 100k lookups"] = status()
else:
    import duckdb
    start = time.perf_counter()
    rows = duckdb.connect().execute(
        "select cast(id as varchar), title, thumbnail, url from read_parquet(?) "
        "where id is not null", [path]).fetchall()
    table = {video: (title or None, thumbnail or None, url or None)
             for video, title, thumbnail, url in rows}
    del rows
    steps["read s"] = time.perf_counter() - start
    steps["opened"] = status()
print(json.dumps(steps))
"""


# The service's first conversion, in a process of its own: seconds and peak memory, as JSON.
CONVERTER = r"""
import json, sys, time
start = time.perf_counter()
from torrelm._serve.titles import convert
import duckdb, numpy, pyarrow
imported = time.perf_counter()
rows = convert(sys.argv[1], sys.argv[2])
done = time.perf_counter()
with open("/proc/self/status") as lines:
    peak = next(int(line.split()[1]) for line in lines if line.startswith("VmHWM:"))
print(json.dumps({"imports s": imported - start, "convert s": done - imported, "rows": rows,
                  "peak kB": peak}))
"""


def make_parquet(path: Path, string_ids: bool, seed: int) -> list[int | str]:
    """The synthetic videos file; returns a sample of its ids."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_"
    if string_ids:
        ids: list[int | str] = ["".join(rng.choices(alphabet, k=11)) for _ in range(ROWS)]
    else:
        ids = np.random.default_rng(seed).choice(10**10, ROWS, replace=False).tolist()
    titles = []
    for _ in range(ROWS):
        title = " ".join(rng.choices(WORDS, k=12))
        titles.append(title[:rng.randrange(40, 81)].strip().title())
    pq.write_table(pa.table({
        "id": pa.array(ids),
        "title": pa.array(titles),
        "thumbnail": pa.array([f"https://i.example.com/vi/{video}/hqdefault.jpg"
                               if i % 10 else None for i, video in enumerate(ids)]),
        "url": pa.array([f"https://videos.example.com/watch?v={video}" for video in ids]),
    }), path)
    return rng.sample(ids, 2000)


def run_worker(kind: str, path: Path, ids: list[int | str]) -> dict[str, object]:
    started = time.time()
    out = subprocess.run([sys.executable, "-c", WORKER, kind, str(path), repr(started),
                          json.dumps(ids)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)  # type: ignore[no-any-return]


def growth(steps: dict[str, dict[str, int]], before: str, after: str) -> str:
    return ", ".join(f"{name} {(steps[after][name] - steps[before][name]) / 1024:+.1f} MB"
                     for name in ("RssAnon", "Anonymous", "Private_Dirty", "RssFile"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workdir", type=Path)
    parser.add_argument("--no-dict", action="store_true", help="leave the dict out")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.workdir) as folder:
        for string_ids in (False, True):
            bench(Path(folder), string_ids, args.no_dict)


def bench(folder: Path, string_ids: bool, no_dict: bool) -> None:
    from torrelm._serve.titles import Titles, convert

    kind = "string ids" if string_ids else "int ids"
    source = folder / f"videos-{'str' if string_ids else 'int'}.parquet"
    target = folder / f"{source.stem}.titles"
    sample = make_parquet(source, string_ids, seed=7 + string_ids)
    print(f"== {ROWS:,} videos, {kind}: {source.stat().st_size / 1e6:.1f} MB of Parquet")

    started = time.time()
    out = subprocess.run([sys.executable, "-c", CONVERTER, str(source), str(target)], check=True,
                         capture_output=True, text=True)
    converted = time.time() - started
    fresh = json.loads(out.stdout)
    print(f"convert   fresh process: {fresh['imports s']:.2f} s of imports, "
          f"{fresh['convert s']:.2f} s converting {fresh['rows']:,} rows, peak RSS "
          f"{fresh['peak kB'] / 1024:.0f} MB; {target.stat().st_size / 1e6:.1f} MB file")
    with open(target, "rb") as written:
        os.fsync(written.fileno())
    steps = run_worker("mapped", target, sample)
    print(f"worker    process start to first answer: {steps['first answer s']:.2f} s; "
          f"from the conversion's: {converted + steps['first answer s']:.2f} s")
    print(f"worker    import of the reader: {growth(steps, 'serve imported', 'reader imported')}")
    print(f"worker    open + first answer: {growth(steps, 'reader imported', 'opened')}")
    print(f"worker    after 100k lookups: {growth(steps, 'reader imported', 'after 100k lookups')}"
          f" (Pss {steps['after 100k lookups']['Pss'] / 1024:.1f} MB in all)")

    times = []
    for _ in range(3):
        start = time.perf_counter()
        rows = convert(str(source), str(target))
        times.append(time.perf_counter() - start)
    print(f"convert   in this process: {min(times):.2f} s (best of 3; "
          f"{', '.join(f'{t:.2f}' for t in times)}), {rows:,} rows")

    opens = []
    for _ in range(200):
        start = time.perf_counter()
        titles = Titles.open(str(target))
        opens.append(time.perf_counter() - start)
    print(f"open      {statistics.median(opens) * 1e6:.0f} µs median")

    rng = random.Random(3)
    missing: list[int | str] = ["nope", 10**11 + 1]
    latencies = []
    for _ in range(20_000):
        asked = rng.sample(sample, 8) + missing
        start = time.perf_counter_ns()
        found = titles.lookup(asked)
        latencies.append(time.perf_counter_ns() - start)
        assert found[-1] is None and found[0] is not None
    latencies.sort()
    print(f"lookup    10 ids: {statistics.median(latencies) / 1000:.1f} µs median, "
          f"{latencies[len(latencies) * 99 // 100] / 1000:.1f} µs p99")

    if not no_dict:
        steps = run_worker("dict", source, sample)
        print(f"dict      dict {steps['read s']:.1f} s: "
              f"{growth(steps, 'serve imported', 'opened')}")


if __name__ == "__main__":
    main()

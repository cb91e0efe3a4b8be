"""Index file benchmark: opening a saved index, sharing it between processes, querying it from
threads and in place, and refusing damaged files.

Sections (--only picks some; all by default):
  open      a saved index of about 1 GB (click counts over Zipf-distributed two-word terms):
            torrelm.open with verify=False (median of many runs), with verify=True as GB/s of
            file, and torrelm.load for comparison; the page cache is warm throughout
  workers   eight processes started with the spawn context open one index of about 650 MB,
            touch it (every term, then a sample of fuzzy and video queries) and report RSS, PSS
            and private memory from /proc/self/smaps_rollup, less a worker that only imported
            torrelm; the same with torrelm.load, where each worker holds its own copy
  serving   two spawned processes open an index of the words of wamerican-insane (one to four
            videos each, about 100 MB) as a service's workers do, then run 1,000 queries of
            complete, suggest and videos: time from open to the first answer, and private memory
            added over a worker that only imported torrelm
  threads   one Index queried by one thread, then by two threads with a query list each:
            queries per second and their ratio, for fuzzy_match and fuzzy_match_video, on the
            words of wamerican-insane with one to five synthetic videos each
  mapped    the same query lists on torrelm.open and on torrelm.load of that index
  corrupt   single-byte corruptions of a saved index of a few MB at random offsets (seeded), and
            of every byte of its header and section table:
            how many raise ValueError, load silently or raise anything else; then a zero-filled
            file of the same size and a few ELF binaries

The built indexes are kept in --workdir and reused by later runs. --quick runs everything small,
in under a minute. Prints one line per measurement and a summary of figures against their
targets. Not a test: figures vary with the machine.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import multiprocessing
import os
import random
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

import torrelm
from figures import add_report_options, cached_index, chosen_sections

ROOT = Path(__file__).resolve().parents[1]
WORDS = Path("/usr/share/dict/american-english-insane")
SECTIONS = ("open", "workers", "serving", "threads", "mapped", "corrupt")
ELF_FILES = ("/usr/bin/ls", "/usr/bin/cat", "/usr/bin/env", "/usr/bin/bash", "/usr/bin/git")
# (rows, distinct terms) of the click logs behind the large indexes: about 340 bytes of file a
# term at video_top_n 10 (more for fewer terms), so these give files of about 1 GB and 650 MB
# (70 and 50 MB quick).
SIZES = {
    "open": {"full": (10_000_000, 3_000_000), "quick": (500_000, 150_000)},
    "share": {"full": (6_300_000, 1_900_000), "quick": (330_000, 100_000)},
}


def log(text: str) -> None:
    print(text, flush=True)


def read_words() -> list[str]:
    words = WORDS.read_text(encoding="utf-8", errors="replace").split()
    return sorted(set(w for w in words if w))


# -- indexes -------------------------------------------------------------------------------------

def click_index(rows: int, terms: int, seed: int = 7) -> torrelm.Index:
    """Click counts as bench_ingest.py makes them: Zipf-distributed two-word terms (each at least
    once), Zipf videos, Zipf counts."""
    import numpy as np
    import pyarrow as pa

    rng = np.random.default_rng(seed)
    vocabulary = np.array(read_words(), dtype=object)
    first = vocabulary[rng.integers(0, len(vocabulary), terms)]
    second = vocabulary[rng.integers(0, len(vocabulary), terms)]
    names = np.unique(np.char.add(np.char.add(first.astype(str), " "), second.astype(str)))
    names = names[rng.permutation(len(names))][:terms]
    del first, second
    ranks = np.minimum(rng.zipf(1.3, rows - len(names)) - 1, len(names) - 1)
    term_index = np.concatenate([np.arange(len(names)), ranks])
    videos = np.mod(np.minimum(rng.zipf(1.2, rows), 2_000_000) * 7919, 4_000_000).astype(np.uint32)
    counts = np.minimum(rng.zipf(1.5, rows), 1_000_000).astype(np.int64)
    table = pa.table({"term": pa.array(names[term_index].astype(object), pa.string()),
                      "video": videos, "count": counts})
    del names, term_index
    return torrelm.build(table, video_top_n=10)


def words_index(words: list[str], seed: int = 3) -> torrelm.Index:
    """The words with one to five videos each out of 100,000, random counts (bench_ingest.py's
    'words' case)."""
    import numpy as np

    rng = np.random.default_rng(seed)
    per_word = rng.integers(1, 6, len(words))
    terms = np.repeat(np.array(words, dtype=object), per_word)
    videos = rng.integers(0, 100_000, len(terms)).astype(np.uint32)
    counts = rng.integers(1, 1000, len(terms)).astype(np.int64)
    return torrelm.build({"term": terms.tolist(), "video": videos, "count": counts},
                         video_top_n=10)


def cached(path: Path, make) -> Path:
    """`path`, built by make() and saved unless a previous run left a sound one there."""
    return cached_index(path, make, log)


def warm(path: Path) -> None:
    """Reads the whole file, so that its pages are in the page cache."""
    with open(path, "rb", buffering=0) as file:
        while file.read(64 << 20):
            pass


def fuzzy_queries(words: list[str], count: int, seed: int) -> list[str]:
    sys.path.insert(0, str(ROOT / "bench"))
    from bench_fuzzy import make_queries

    return make_queries(words, count, seed)


def typed_queries(words: list[str], count: int, seed: int) -> list[str]:
    sys.path.insert(0, str(ROOT / "bench"))
    from bench_video import typed_prefixes

    return [prefix for word in typed_prefixes(words, count, seed) for prefix in word]


# -- open ----------------------------------------------------------------------------------------

def timings(fn, runs: int) -> list[float]:
    out = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        index = fn()
        out.append(time.perf_counter() - start)
        del index
    return out


def open_section(options, figures):
    rows, terms = SIZES["open"][options.size]
    path = cached(options.workdir / f"clicks-{rows}-{terms}.trl", lambda: click_index(rows, terms))
    size = path.stat().st_size
    warm(path)
    torrelm.open(path, verify=True)  # the first open pays for nothing the others do not
    fast = timings(lambda: torrelm.open(path, verify=False), 31)
    checked = timings(lambda: torrelm.open(path, verify=True), 5)
    loaded = timings(lambda: torrelm.load(path), 3)
    loaded_trusted = timings(lambda: torrelm.load(path, verify=False), 3)
    index = torrelm.open(path, verify=False)
    start = time.perf_counter()
    index.fuzzy_match_video("zebra", 1, 10)
    first_query = time.perf_counter() - start
    del index
    gb = size / 1e9
    figures["open"] = {
        "file_bytes": size, "terms": terms,
        "open_trusted_median_ms": statistics.median(fast) * 1e3, "open_trusted_min_ms": min(fast) * 1e3,
        "open_checked_median_s": statistics.median(checked),
        "open_checked_gb_s": gb / statistics.median(checked),
        "load_checked_median_s": statistics.median(loaded),
        "load_checked_gb_s": gb / statistics.median(loaded),
        "load_trusted_median_s": statistics.median(loaded_trusted),
        "load_trusted_gb_s": gb / statistics.median(loaded_trusted),
        "first_video_query_ms": first_query * 1e3,
    }
    f = figures["open"]
    log(f"open: {path.name}, {size / 1e9:.2f} GB, page cache warm")
    log(f"  open(verify=False)   median {f['open_trusted_median_ms']:.3f} ms, min "
        f"{f['open_trusted_min_ms']:.3f} ms over {len(fast)} runs   [target <= 5 ms]")
    log(f"  open(verify=True)    median {f['open_checked_median_s'] * 1e3:.0f} ms, "
        f"{f['open_checked_gb_s']:.2f} GB/s   [target >= 1 GB/s]")
    log(f"  load(verify=True)    median {f['load_checked_median_s'] * 1e3:.0f} ms, "
        f"{f['load_checked_gb_s']:.2f} GB/s   (comparison)")
    log(f"  load(verify=False)   median {f['load_trusted_median_s'] * 1e3:.0f} ms, "
        f"{f['load_trusted_gb_s']:.2f} GB/s   (comparison)")
    log(f"  first video query after open(verify=False): {f['first_video_query_ms']:.2f} ms")


# -- workers -------------------------------------------------------------------------------------

def smaps_rollup() -> dict[str, int]:
    """The process's memory totals in bytes."""
    out = {}
    with open("/proc/self/smaps_rollup") as rollup:
        for line in rollup:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                out[parts[0].rstrip(":")] = int(parts[1]) * 1024
    return out


def mapped_resident(path: str) -> int:
    """Bytes of `path` resident in this process's mappings of it."""
    total, inside = 0, False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            first = line.split(None, 1)[0]
            if "-" in first and not first.endswith(":"):  # a mapping's header line
                inside = line.rstrip("\n").endswith(path)
            elif inside and first == "Rss:":
                total += int(line.split()[1]) * 1024
    return total


def share_worker(mode, path, fuzzy, typed, barrier, results):
    index = None
    if mode != "baseline":
        index = torrelm.open(path) if mode == "mapped" else torrelm.load(path)
        for _ in index:  # every term: the whole trie
            pass
        for q in fuzzy:
            index.fuzzy_match(q, 1)
        for q in typed:
            index.fuzzy_match_video(q, 1, 10)
    gc.collect()
    barrier.wait(timeout=1200)  # every worker has touched the index before any measures
    figures = smaps_rollup()
    figures["file_resident"] = mapped_resident(os.path.abspath(path)) if index is not None else 0
    barrier.wait(timeout=1200)  # none unmaps its pages before all have measured
    results.put((mode, os.getpid(), figures))


def run_workers(mode, count, path, fuzzy, typed):
    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(count)
    results = context.Queue()
    workers = [context.Process(target=share_worker, args=(mode, str(path), fuzzy, typed, barrier,
                                                          results)) for _ in range(count)]
    for worker in workers:
        worker.start()
    out = [results.get(timeout=1800)[2] for _ in workers]
    for worker in workers:
        worker.join()
        if worker.exitcode != 0:
            raise RuntimeError(f"a {mode} worker exited with {worker.exitcode}")
    return out


def workers_section(options, figures):
    rows, terms = SIZES["share"][options.size]
    path = cached(options.workdir / f"clicks-{rows}-{terms}.trl", lambda: click_index(rows, terms))
    size = path.stat().st_size
    warm(path)
    words = read_words()
    fuzzy = fuzzy_queries(words, 300 if options.quick else 2000, seed=11)
    typed = typed_queries(words, 50 if options.quick else 300, seed=12)
    log(f"workers: 8 spawned processes on {path.name}, {size / 1e6:,.0f} MB; each iterates every "
        f"term and runs {len(fuzzy)} fuzzy and {len(typed)} video queries")
    base = run_workers("baseline", 1, path, fuzzy, typed)[0]
    fields = ("Rss", "Pss", "Private_Clean", "Private_Dirty", "Anonymous")
    log("  baseline (imported torrelm only): " + ", ".join(f"{k} {base[k] / 1e6:.1f} MB" for k in fields))
    figures["workers"] = {"file_bytes": size, "baseline": base}
    for mode in ("mapped", "owned"):
        start = time.perf_counter()
        measured = run_workers(mode, 8, path, fuzzy, typed)
        seconds = time.perf_counter() - start
        added = [{k: m[k] - base[k] for k in fields} | {"file_resident": m["file_resident"]}
                 for m in measured]
        private = [a["Private_Clean"] + a["Private_Dirty"] for a in added]
        figures["workers"][mode] = {"added": added, "private_max": max(private),
                                    "private_median": statistics.median(private),
                                    "seconds": seconds}
        call = "torrelm.open" if mode == "mapped" else "torrelm.load"
        log(f"  {call}: added per worker (median of 8; all done in {seconds:.1f} s)")
        for k in fields:
            values = [a[k] for a in added]
            log(f"    {k:<14} {statistics.median(values) / 1e6:9.1f} MB  (max {max(values) / 1e6:.1f})")
        if mode == "mapped":
            resident = statistics.median(a["file_resident"] for a in added)
            log(f"    file resident in each worker's mapping: {resident / 1e6:.0f} MB "
                f"({resident / size:.0%} of the file)")
        target = "   [target <= 10 MB each]" if mode == "mapped" else "   (contrast)"
        log(f"    private (clean + dirty) added: max {max(private) / 1e6:.1f} MB, median "
            f"{statistics.median(private) / 1e6:.1f} MB{target}")


# -- serving -------------------------------------------------------------------------------------

def serving_index(words: list[str], seed: int = 5) -> torrelm.Index:
    """The words with one to four videos each out of 200,000 and heavy-tailed counts, as the
    service's load test builds them."""
    import numpy as np

    rng = np.random.default_rng(seed)
    per_word = rng.integers(1, 5, len(words))
    terms = np.repeat(np.array(words, dtype=object), per_word)
    videos = rng.integers(0, 200_000, len(terms)).astype(np.uint32)
    counts = np.minimum(rng.pareto(1.2, len(terms)) + 1, 1e6).astype(np.int64)
    return torrelm.build({"term": terms.tolist(), "video": videos, "count": counts},
                         video_top_n=10)


def serving_worker(path, verify, queries, barrier, results):
    start = time.perf_counter()
    index = torrelm.open(path, verify=verify)
    opened = time.perf_counter()
    index.complete(queries[0][1])
    first = time.perf_counter()
    for kind, q in queries:
        if kind == "complete":
            index.complete(q, max_dist="auto")
        elif kind == "suggest":
            index.suggest(q, max_dist="auto")
        else:
            index.videos(q)
    gc.collect()
    barrier.wait(timeout=1200)  # both have mapped the file before either measures
    figures = smaps_rollup()
    barrier.wait(timeout=1200)
    results.put({"open_ms": (opened - start) * 1e3, "first_answer_ms": (first - opened) * 1e3,
                 "memory": figures})


def serving_section(options, figures):
    words = read_words()
    if options.quick:
        words = words[::10]
    # The version in the name: a file saved by an older torrelm lacks what the workers share.
    path = cached(options.workdir / f"serving-{len(words)}-1.3.trl", lambda: serving_index(words))
    warm(path)
    size = path.stat().st_size
    rng = random.Random(13)
    typed = typed_queries(words, 200, seed=14)
    fuzzy = fuzzy_queries(words, 300, seed=15)
    queries = ([("complete", q) for q in rng.sample(typed, min(400, len(typed)))]
               + [("suggest", q) for q in fuzzy]
               + [("videos", q) for q in rng.sample(typed, min(300, len(typed)))])
    rng.shuffle(queries)
    log(f"serving: 2 spawned workers on {path.name}, {size / 1e6:,.0f} MB; each opens it and runs "
        f"{len(queries)} queries of complete, suggest and videos")
    base = run_workers("baseline", 1, path, [], [])[0]
    context = multiprocessing.get_context("spawn")
    out = {"file_bytes": size, "queries": len(queries)}
    for verify in (True, False):
        barrier = context.Barrier(2)
        results = context.Queue()
        workers = [context.Process(target=serving_worker,
                                   args=(str(path), verify, queries, barrier, results))
                   for _ in range(2)]
        for worker in workers:
            worker.start()
        measured = [results.get(timeout=1800) for _ in workers]
        for worker in workers:
            worker.join()
        private = [m["memory"]["Private_Clean"] + m["memory"]["Private_Dirty"]
                   - base["Private_Clean"] - base["Private_Dirty"] for m in measured]
        name = "checked" if verify else "trusted"
        out[name] = {"open_ms": max(m["open_ms"] for m in measured),
                     "first_answer_ms": max(m["first_answer_ms"] for m in measured),
                     "private_max": max(private)}
        f = out[name]
        log(f"  open(verify={verify}): open {f['open_ms']:.1f} ms, then the first answer "
            f"{f['first_answer_ms']:.2f} ms [target <= 5 ms]; private memory added after the "
            f"queries {private_added(f['private_max'])} at most [target <= 10 MB]")
    figures["serving"] = out


# -- threads and mapped --------------------------------------------------------------------------

def queries_per_second(fn, lists, rounds):
    """The best rate over `rounds` of running each list in a thread of its own, all at once."""
    best = 0.0
    total = sum(len(queries) for queries in lists)
    for _ in range(rounds):
        start_line = threading.Barrier(len(lists) + 1)

        def run(queries):
            start_line.wait()
            for q in queries:
                fn(q)

        threads = [threading.Thread(target=run, args=(queries,)) for queries in lists]
        for thread in threads:
            thread.start()
        start_line.wait()
        start = time.perf_counter()
        for thread in threads:
            thread.join()
        best = max(best, total / (time.perf_counter() - start))
    return best


def realistic(options):
    words = read_words()
    path = cached(options.workdir / "words.trl", lambda: words_index(words))
    warm(path)
    fuzzy = fuzzy_queries(words, 1000 if options.quick else 6000, seed=2026)
    typed = typed_queries(words, 150 if options.quick else 900, seed=2026)
    return path, fuzzy, typed


def threads_section(options, figures, data):
    path, fuzzy, typed = data
    index = torrelm.load(path)
    rounds = 3 if options.quick else 5
    log(f"threads: {path.name} ({len(index):,} terms), {len(fuzzy)} fuzzy queries (max_dist 1), "
        f"{len(typed)} video keystrokes (max_dist 1, limit 10); best of {rounds} rounds")
    figures["threads"] = {"load_average": os.getloadavg()}
    # The machine's own headroom for a second thread at this moment (other processes take cores
    # too): hashing a MiB, which runs without the interpreter lock, in one thread and in two.
    block = os.urandom(1 << 20)
    control = (lambda _: hashlib.sha256(block).digest(), list(range(200 if options.quick else 600)))
    kinds = {"control: sha256 of 1 MiB": control,"fuzzy_match": (lambda q: index.fuzzy_match(q, 1), fuzzy),
             "fuzzy_match_video": (lambda q: index.fuzzy_match_video(q, 1, 10), typed)}
    for name, (fn, queries) in kinds.items():
        shuffled = list(queries)
        random.Random(5).shuffle(shuffled)
        for q in queries[:200]:
            fn(q)
        one = queries_per_second(fn, [queries], rounds)
        two = queries_per_second(fn, [queries, shuffled], rounds)
        figures["threads"][name] = {"one": one, "two": two, "ratio": two / one}
        target = "(the machine)" if name.startswith("control") else "[target >= 1.7x]"
        log(f"  {name:<24} 1 thread {one:8,.0f} q/s, 2 threads {two:8,.0f} q/s, "
            f"ratio {two / one:.2f}x   {target}")
    log("  load average before: " + ", ".join(f"{x:.2f}" for x in figures["threads"]["load_average"]))


def mapped_section(options, figures, data):
    path, fuzzy, typed = data
    mapped, owned = torrelm.open(path), torrelm.load(path)
    rounds = 5 if options.quick else 9
    log(f"mapped: the same queries on torrelm.open and torrelm.load of {path.name} "
        f"({path.stat().st_size / 1e6:.0f} MB); median of {rounds} interleaved rounds")
    figures["mapped"] = {}
    for name, method, queries, args in (("fuzzy_match", "fuzzy_match", fuzzy, (1,)),
                                         ("fuzzy_match_video", "fuzzy_match_video", typed, (1, 10))):
        per = {"mapped": [], "owned": []}
        first = None
        for round_ in range(rounds + 1):
            for storage, index in (("mapped", mapped), ("owned", owned)):
                fn = getattr(index, method)
                start = time.perf_counter()
                for q in queries:
                    fn(q, *args)
                took = (time.perf_counter() - start) / len(queries)
                if round_ == 0:  # the first pass faults the mapping's pages in
                    if storage == "mapped":
                        first = took
                    continue
                per[storage].append(took)
        m, o = statistics.median(per["mapped"]), statistics.median(per["owned"])
        figures["mapped"][name] = {"mapped_us": m * 1e6, "owned_us": o * 1e6, "ratio": m / o,
                                   "first_pass_mapped_us": first * 1e6}
        log(f"  {name:<18} mapped {m * 1e6:7.2f} µs, owned {o * 1e6:7.2f} µs, mapped/owned "
            f"{m / o:.3f}   [target within 10 %]  (first pass on a new mapping {first * 1e6:.2f} µs)")


# -- corrupt -------------------------------------------------------------------------------------

def outcome(attempt) -> str:
    try:
        attempt()
    except ValueError:
        return "ValueError"
    except KeyboardInterrupt:
        raise
    except BaseException as other:  # PanicException too, which is a BaseException
        return f"{type(other).__name__}: {str(other)[:120]}"
    return "loaded"


def corrupt_child(path, count, every_file, seed, scratch, progress, results):
    """Tries `count` single-byte corruptions of `path`; each with Index.from_bytes, every
    `every_file`-th also written to a file and given to torrelm.load and torrelm.open. Writes
    the attempt it is on to `progress` first, so that a crash can be traced to it."""
    data = bytearray(Path(path).read_bytes())
    rng = random.Random(seed)
    tallies: dict[str, dict[str, int]] = {"from_bytes": {}, "load": {}, "open": {}}
    assert data[:8] == b"TORRELM\x1a", "a container file"
    silent = []
    for attempt in range(count):
        offset = rng.randrange(len(data))
        old = data[offset]
        new = rng.randrange(255)
        new += new >= old
        with open(progress, "w") as note:
            note.write(f"attempt {attempt}: byte {offset} from {old} to {new}\n")
        data[offset] = new
        kinds = {"from_bytes": lambda: torrelm.Index.from_bytes(data)}
        if attempt % every_file == 0:
            Path(scratch).write_bytes(data)
            kinds["load"] = lambda: torrelm.load(scratch)
            kinds["open"] = lambda: torrelm.open(scratch)
        for kind, attempt_fn in kinds.items():
            result = outcome(attempt_fn)
            tallies[kind][result] = tallies[kind].get(result, 0) + 1
            if result == "loaded":
                silent.append((kind, offset, old, new))
        data[offset] = old
    # Random offsets seldom land in the header and section table, where a reader decides how to
    # read everything else: every byte of them, changed to two other values.
    table_end = 40 + 40 * int.from_bytes(data[20:24], sys.byteorder)
    header: dict[str, int] = {}
    for offset in range(min(table_end, len(data))):
        old = data[offset]
        for new in ((old + 1) % 256, old ^ 0x80):
            with open(progress, "w") as note:
                note.write(f"header byte {offset} from {old} to {new}\n")
            data[offset] = new
            result = outcome(lambda: torrelm.Index.from_bytes(data))
            header[result] = header.get(result, 0) + 1
            if result == "loaded":
                silent.append(("header", offset, old, new))
        data[offset] = old
    tallies["header sweep"] = header
    zero = bytes(len(data))
    Path(scratch).write_bytes(zero)
    others = {"zero-filled": {"from_bytes": outcome(lambda: torrelm.Index.from_bytes(zero)),
                              "load": outcome(lambda: torrelm.load(scratch)),
                              "open": outcome(lambda: torrelm.open(scratch))}}
    for elf in ELF_FILES:
        if os.path.exists(elf):
            others[elf] = {"load": outcome(lambda: torrelm.load(elf)),
                           "open": outcome(lambda: torrelm.open(elf))}
    os.unlink(scratch)
    results.put({"tallies": tallies, "silent": silent, "others": others})


def corrupt_section(options, figures):
    words = read_words()
    path = cached(options.workdir / "words-every-60th.trl", lambda: words_index(words[::60]))
    count = 300 if options.quick else 3000
    every_file = 10
    log(f"corrupt: {count:,} single-byte corruptions of {path.name} "
        f"({path.stat().st_size / 1e6:.2f} MB), seed 2026; Index.from_bytes each, torrelm.load and "
        f"torrelm.open on every {every_file}th written to a file; then every byte of the header and "
        f"section table changed twice")
    context = multiprocessing.get_context("spawn")
    results = context.Queue()
    progress = options.workdir / "corrupt-progress.txt"
    scratch = options.workdir / "corrupt-scratch.trl"
    child = context.Process(target=corrupt_child, args=(str(path), count, every_file, 2026,
                                                        str(scratch), str(progress), results))
    start = time.perf_counter()
    child.start()
    try:
        found = results.get(timeout=3600)
    except Exception:
        found = None
    child.join()
    if found is None or child.exitcode != 0:
        where = progress.read_text().strip() if progress.exists() else "before the first attempt"
        log(f"  the process died (exit code {child.exitcode}) at {where}")
        figures["corrupt"] = {"crashed": where, "exitcode": child.exitcode}
        return
    seconds = time.perf_counter() - start
    figures["corrupt"] = found | {"count": count, "file_bytes": path.stat().st_size}
    for kind, tally in found["tallies"].items():
        tried = sum(tally.values())
        raised = tally.get("ValueError", 0)
        loaded = tally.get("loaded", 0)
        log(f"  {kind:<12} {tried:5,} tried: ValueError {raised:,}, loaded silently {loaded}"
            "   [target 0 silent]")
        for result, times in sorted(tally.items()):
            if result not in ("ValueError", "loaded"):
                log(f"    other: {times} x {result}")
    for kind, offset, old, new in found["silent"][:20]:
        log(f"    silent ({kind}): byte {offset} from {old} to {new}")
    for name, outcomes in found["others"].items():
        log(f"  {name:<14} " + ", ".join(f"{kind} {result}" for kind, result in outcomes.items()))
    log(f"  ({seconds:.1f} s)")


# -- summary -------------------------------------------------------------------------------------

def summary(figures):
    rows = []
    if "open" in figures:
        f = figures["open"]
        rows += [(f"open(verify=False), {f['file_bytes'] / 1e9:.2f} GB file",
                  f"{f['open_trusted_median_ms']:.3f} ms", "<= 5 ms", f["open_trusted_median_ms"] <= 5),
                 ("open(verify=True)", f"{f['open_checked_gb_s']:.2f} GB/s", ">= 1 GB/s",
                  f["open_checked_gb_s"] >= 1),
                 ("load(verify=True)", f"{f['load_checked_gb_s']:.2f} GB/s", "(comparison)", None)]
    if "workers" in figures:
        w = figures["workers"]
        if "mapped" in w:
            rows.append((f"private added per worker, open, {w['file_bytes'] / 1e6:.0f} MB file",
                         f"{w['mapped']['private_max'] / 1e6:.1f} MB max", "<= 10 MB",
                         w["mapped"]["private_max"] <= 10e6))
        if "owned" in w:
            rows.append(("private added per worker, load", f"{w['owned']['private_max'] / 1e6:.0f} MB max",
                         "(contrast)", None))
    if "serving" in figures:
        for name, f in figures["serving"].items():
            if not isinstance(f, dict):
                continue
            rows += [(f"serving worker, open({name}) to first answer", f"{f['first_answer_ms']:.2f} ms",
                      "<= 5 ms", f["first_answer_ms"] <= 5),
                     (f"serving worker, open({name}), private after queries",
                      f"{f['private_max'] / 1e6:.1f} MB", "<= 10 MB", f["private_max"] <= 10e6)]
    for name, f in figures.get("threads", {}).items():
        if name == "load_average":
            continue
        if name.startswith("control"):
            rows.append((f"2 threads / 1 thread, {name}", f"{f['ratio']:.2f}x", "(the machine)", None))
            continue
        rows.append((f"2 threads / 1 thread, {name}", f"{f['ratio']:.2f}x", ">= 1.7x", f["ratio"] >= 1.7))
    for name, f in figures.get("mapped", {}).items():
        rows.append((f"mapped / owned, {name}", f"{f['ratio']:.3f}", "0.9 to 1.1",
                     0.9 <= f["ratio"] <= 1.1))
    if "corrupt" in figures:
        c = figures["corrupt"]
        if "crashed" in c:
            rows.append(("corruptions", f"process died at {c['crashed']}", "ValueError", False))
        else:
            for kind, tally in c["tallies"].items():
                silent = tally.get("loaded", 0)
                other = sum(n for r, n in tally.items() if r not in ("ValueError", "loaded"))
                rows.append((f"corruptions loaded silently, {kind}", f"{silent} of {sum(tally.values())}",
                             "0", silent == 0))
                rows.append((f"corruptions raising other than ValueError, {kind}", str(other), "0",
                             other == 0))
            loaded = sum(r == "loaded" for o in c["others"].values() for r in o.values())
            tried = sum(len(o) for o in c["others"].values())
            rows.append(("zero-filled and ELF files loaded silently", f"{loaded} of {tried}", "0",
                         loaded == 0))
    if not rows:
        return
    width = max(len(r[0]) for r in rows)
    log("")
    log(f"{'figure':<{width}}  {'measured':>16}  {'target':<12}  met")
    for label, value, target, met in rows:
        log(f"{label:<{width}}  {value:>16}  {target:<12}  {'' if met is None else 'yes' if met else 'NO'}")


def private_added(amount: float) -> str:
    # A worker can end with a little less private memory than the baseline's (allocator noise).
    return f"{amount / 1e6:.1f} MB" if amount >= 0 else f"0 MB ({amount / 1e6:.1f} MB against it)"


def report_lines(figures) -> list[str]:
    """The figures as a section of docs/performance.md."""
    lines = ["## Index files: open, share, query", "",
             "`bench/bench_storage.py`: indexes saved with `torrelm.save`, then mapped by `torrelm.open` "
             "or read into memory by `torrelm.load`; the page cache is warm throughout.", ""]
    if "open" in figures:
        f = figures["open"]
        lines += [f"- Opening a {f['file_bytes'] / 1e9:.2f} GB index ({f['terms']:,} click-log terms, "
                  f"video_top_n 10): `open(verify=False)` {f['open_trusted_median_ms']:.2f} ms (median), "
                  f"`open(verify=True)` {f['open_checked_median_s'] * 1e3:,.0f} ms "
                  f"({f['open_checked_gb_s']:.2f} GB/s), `load` {f['load_checked_median_s'] * 1e3:,.0f} ms "
                  f"({f['load_checked_gb_s']:.2f} GB/s; {f['load_trusted_gb_s']:.2f} GB/s with verify=False). "
                  f"The first video query after opening: {f['first_video_query_ms']:.2f} ms."]
    if "workers" in figures and "mapped" in figures["workers"]:
        w = figures["workers"]
        mapped, owned = w["mapped"], w.get("owned")
        resident = statistics.median(a["file_resident"] for a in mapped["added"])
        rss = statistics.median(a["Rss"] for a in mapped["added"])
        pss = statistics.median(a["Pss"] for a in mapped["added"])
        line = (f"- Eight processes (spawned) each opening the same {w['file_bytes'] / 1e6:,.0f} MB index and "
                f"touching it (every term, then fuzzy and video queries): private memory added per "
                f"process over one that only imported torrelm, at most "
                f"{private_added(mapped['private_max'])}; {rss / 1e6:,.0f} MB more resident "
                f"({resident / w['file_bytes']:.0%} of the file) and {pss / 1e6:,.0f} MB more "
                f"proportional (PSS).")
        if owned:
            line += (f" With `torrelm.load` each holds its own copy: "
                     f"{owned['private_median'] / 1e6:,.0f} MB private each.")
        lines.append(line)
    if "serving" in figures:
        f = figures["serving"]
        checked, trusted = f["checked"], f["trusted"]
        lines.append(f"- Two processes (spawned) each opening a {f['file_bytes'] / 1e6:,.0f} MB index "
                     f"(wamerican-insane, one to four videos a word) as a service's workers do, then "
                     f"running {f['queries']:,} queries of complete, suggest and videos: the first "
                     f"answer {checked['first_answer_ms']:.2f} ms after `open` returned "
                     f"({trusted['first_answer_ms']:.2f} ms after `open(verify=False)`, which took "
                     f"{trusted['open_ms']:.1f} ms), and private memory added "
                     f"{private_added(max(checked['private_max'], trusted['private_max']))} at most. "
                     f"The walk table and completion records lie in the file, shared by every "
                     f"process that maps it.")
    threads = {k: v for k, v in figures.get("threads", {}).items() if k != "load_average"}
    if threads:
        lines += ["", "| queries on one Index | 1 thread q/s | 2 threads q/s | ratio |", "|---|---|---|---|"]
        for name, f in threads.items():
            lines.append(f"| {name} | {f['one']:,.0f} | {f['two']:,.0f} | {f['ratio']:.2f}x |")
        lines += ["", "Two threads each run their own list of queries (wamerican-insane, one to five "
                  "videos a word, max_dist 1); the sha256 control, which runs without the "
                  "interpreter lock, shows how much of the second core the machine left free.", ""]
    if "mapped" in figures:
        lines += ["| the same queries | mapped µs | owned µs | mapped / owned |", "|---|---|---|---|"]
        for name, f in figures["mapped"].items():
            lines.append(f"| {name} | {f['mapped_us']:.1f} | {f['owned_us']:.1f} | {f['ratio']:.3f} |")
        lines.append("")
    if "corrupt" in figures:
        c = figures["corrupt"]
        if "crashed" in c:
            lines.append(f"- Corruptions: the process died at {c['crashed']}.")
        else:
            parts = []
            for kind, tally in c["tallies"].items():
                other = {r: n for r, n in tally.items() if r not in ("ValueError", "loaded")}
                parts.append(f"{kind} {tally.get('ValueError', 0):,} ValueError, "
                             f"{tally.get('loaded', 0)} loaded" + (f", {other}" if other else ""))
            lines.append(f"- {c['count']:,} single-byte corruptions at random offsets of a "
                         f"{c['file_bytes'] / 1e6:.1f} MB index, and every byte of its header and "
                         f"section table changed twice: " + "; ".join(parts) + ".")
            silent = [n for n, o in c["others"].items() if "loaded" in o.values()]
            lines.append(f"- Other files: {len(c['others'])} tried (a zero-filled file of that size, "
                         f"ELF binaries); loaded without complaint: {', '.join(silent) or 'none'}.")
    return lines + [""]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="small indexes, few runs (< 1 minute)")
    parser.add_argument("--workdir", type=Path,
                        default=Path(tempfile.gettempdir()) / "torrelm-bench-storage",
                        help="where the built indexes are kept between runs")
    add_report_options(parser, SECTIONS)
    options = parser.parse_args()
    chosen = chosen_sections(parser, options, SECTIONS, report_lines)
    if chosen is None:
        return
    options.size = "quick" if options.quick else "full"
    options.workdir.mkdir(parents=True, exist_ok=True)
    figures: dict[str, object] = {"machine": f"{os.cpu_count()} cores", "quick": options.quick}
    started = time.perf_counter()
    if "open" in chosen:
        open_section(options, figures)
    if "workers" in chosen:
        workers_section(options, figures)
    if "serving" in chosen:
        serving_section(options, figures)
    if "threads" in chosen or "mapped" in chosen:
        data = realistic(options)
        if "threads" in chosen:
            threads_section(options, figures, data)
        if "mapped" in chosen:
            mapped_section(options, figures, data)
    if "corrupt" in chosen:
        corrupt_section(options, figures)
    summary(figures)
    log(f"({time.perf_counter() - started:.0f} s in all)")
    if options.json:
        options.json.write_text(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()

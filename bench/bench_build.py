"""Build benchmark: PrefixSearch.from_internal_data_v2 on a real vocabulary.

Prints the build time next to the time Python needs just to read the same integer lists into C
arrays (array.array('I', ...) for every integer list), the ratio of the two, and the memory the
built index holds (process memory growth, with freed heap handed back to the system first).
Not a test: figures vary with the machine.
"""

import argparse
import array
import ctypes
import gc
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parents[1] / "demo"))

from _torrelm import PrefixSearch  # noqa: E402

from layout import read_words, with_videos  # noqa: E402

libc = ctypes.CDLL("libc.so.6")


def rss_bytes() -> int:
    gc.collect()
    libc.malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def best_of(runs, fn):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
    return min(times), statistics.median(times)


def read_integer_lists(arrays):
    out = [array.array("I", arrays.node_shifts), array.array("I", arrays.child_transitions)]
    for payload in arrays.payloads:
        if payload is not None:
            out.append(array.array("I", (payload[0],)))
            out.append(array.array("I", payload[1]))
            out.append(array.array("I", payload[2]))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--words", type=Path, default=None, help="word list (default: wamerican-insane)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--top-n", type=int, default=10)
    options = parser.parse_args()

    words = read_words(options.words)
    arrays = with_videos(words)
    entries = sum(len(p[1]) for p in arrays.payloads if p is not None)
    print(f"vocabulary: {len(words):,} terms, {arrays.nodes:,} nodes, {entries:,} term payload "
          f"entries, {len(arrays.video_index):,} videos, video_top_n {options.top_n}")

    arguments = arrays.arguments(options.top_n)
    build_best, build_median = best_of(
        options.runs, lambda: PrefixSearch.from_internal_data_v2(*arguments))
    read_best, read_median = best_of(options.runs, lambda: read_integer_lists(arrays))
    print(f"build:                  best {build_best * 1000:7.1f} ms, median {build_median * 1000:7.1f} ms"
          f"  ({build_best * 1e9 / arrays.nodes:.0f} ns per node)")
    print(f"array.array('I') reads: best {read_best * 1000:7.1f} ms, median {read_median * 1000:7.1f} ms")
    print(f"ratio build / reads:    {build_best / read_best:.2f} (target: under 3)")

    before = rss_bytes()
    index = PrefixSearch.from_internal_data_v2(*arguments)
    grown = rss_bytes() - before
    stored = len(index.to_bytes())
    print(f"memory growth of the process holding the index: {grown / 2**20:.1f} MiB, "
          f"{grown / arrays.nodes:.1f} bytes per node; stored form {stored / 2**20:.1f} MiB: "
          f"{grown / stored:.2f} times the stored size (target: at most 1.5)")
    del index


if __name__ == "__main__":
    main()

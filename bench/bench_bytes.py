"""Store-and-reload benchmark: to_bytes and from_bytes on the wamerican-insane index.

Prints the encoded size, the throughput of both directions in MB/s, and how much faster reloading
is than rebuilding the same index from its arrays. Not a test: figures vary with the machine.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parents[1] / "demo"))

from _torrelm import PrefixSearch  # noqa: E402

from layout import read_words, with_videos  # noqa: E402


def best(runs, fn):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--words", type=Path, default=None)
    parser.add_argument("--top-n", type=int, default=10)
    parser.add_argument("--runs", type=int, default=7)
    options = parser.parse_args()

    words = read_words(options.words)
    arguments = with_videos(words).arguments(options.top_n)
    index = PrefixSearch.from_internal_data_v2(*arguments)
    data = index.to_bytes()
    megabytes = len(data) / 1e6
    print(f"{len(words):,} terms, video_top_n {options.top_n}: stored form {len(data):,} bytes "
          f"({len(data) / len(arguments[1]):.1f} bytes per node)")

    write, write_median = best(options.runs, index.to_bytes)
    read, read_median = best(options.runs, lambda: PrefixSearch.from_bytes(data))
    rebuild, rebuild_median = best(3, lambda: PrefixSearch.from_internal_data_v2(*arguments))
    print(f"to_bytes:   best {write * 1e3:7.1f} ms, median {write_median * 1e3:7.1f} ms, "
          f"{megabytes / write:,.0f} MB/s")
    print(f"from_bytes: best {read * 1e3:7.1f} ms, median {read_median * 1e3:7.1f} ms, "
          f"{megabytes / read:,.0f} MB/s")
    print(f"rebuild from arrays: best {rebuild * 1e3:7.1f} ms; from_bytes is {rebuild / read:.1f}x "
          f"faster")
    assert PrefixSearch.from_bytes(data).to_bytes() == data


if __name__ == "__main__":
    main()

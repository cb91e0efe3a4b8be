"""The main job: build a search index from a real vocabulary, report what was built, and answer
fuzzy term queries (some of them misspelt) with their latency."""

import resource
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from _torrelm import PrefixSearch  # noqa: E402

from layout import read_words, with_videos  # noqa: E402


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main() -> None:
    started = time.perf_counter()
    words = read_words(Path(sys.argv[1]) if len(sys.argv) > 1 else None)
    arrays = with_videos(words)
    laid_out = time.perf_counter()
    print(f"vocabulary: {len(words):,} terms laid out as {arrays.nodes:,} nodes "
          f"in {laid_out - started:.2f} s")

    rss_before = peak_rss_mib()
    start = time.perf_counter()
    index = PrefixSearch.from_internal_data_v2(*arrays.arguments(video_top_n=10))
    build_seconds = time.perf_counter() - start
    print(f"index built: {arrays.nodes:,} nodes, {len(words):,} terms, "
          f"{len(arrays.video_index):,} videos, video_top_n 10")
    print(f"build time: {build_seconds * 1000:.0f} ms "
          f"({build_seconds * 1e9 / arrays.nodes:.0f} ns per node)")
    print(f"peak memory: {peak_rss_mib():.0f} MiB (before the build: {rss_before:.0f} MiB)")

    print("\nfuzzy term queries (term, distance), with the latency of each call:")
    for query, max_dist in [("search", 0), ("serch", 1), ("recieve", 2), ("definately", 2),
                            ("accomodation", 2), ("tyop", 1), ("xylophnoe", 2), ("qwzx", 1)]:
        start = time.perf_counter()
        matches = index.fuzzy_match(query, max_dist, limit=8)
        micros = (time.perf_counter() - start) * 1e6
        shown = ", ".join(f"{term} ({distance})" for term, _, distance in matches) or "nothing"
        print(f"  {query!r:>15} max_dist {max_dist}: {micros:7.1f} µs  {shown}")


if __name__ == "__main__":
    main()

"""The main job: build a search index from a real vocabulary, report what was built, store and
reload it, answer fuzzy term queries (some of them misspelt), and type a few words letter by
letter showing the top videos for every keystroke, each with the latency of its call."""

import resource
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from _torrelm import PrefixSearch  # noqa: E402

from layout import read_words, with_videos  # noqa: E402


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, (time.perf_counter() - start) * 1e6


def main() -> None:
    started = time.perf_counter()
    words = read_words(Path(sys.argv[1]) if len(sys.argv) > 1 else None)
    arrays = with_videos(words)
    print(f"vocabulary: {len(words):,} terms laid out as {arrays.nodes:,} nodes, 1 to 5 of "
          f"{len(arrays.video_index):,} videos per term, in {time.perf_counter() - started:.1f} s")

    rss_before = peak_rss_mib()
    index, build_micros = timed(lambda: PrefixSearch.from_internal_data_v2(*arrays.arguments(10)))
    print(f"index built: {arrays.nodes:,} nodes, {len(words):,} terms, video_top_n 10, "
          f"in {build_micros / 1000:.0f} ms ({build_micros * 1000 / arrays.nodes:.0f} ns per node)")
    print(f"peak memory: {peak_rss_mib():.0f} MiB (before the build: {rss_before:.0f} MiB)")

    data, store_micros = timed(index.to_bytes)
    restored, load_micros = timed(lambda: PrefixSearch.from_bytes(data))
    print(f"stored as {len(data) / 2**20:.1f} MiB in {store_micros / 1000:.0f} ms, reloaded in "
          f"{load_micros / 1000:.0f} ms ({build_micros / load_micros:.1f}x faster than building)")
    assert restored.to_bytes() == data
    index = restored  # everything below runs on the reloaded index

    print("\nfuzzy term queries (term, distance), with the latency of each call:")
    for query, max_dist in [("search", 0), ("serch", 1), ("recieve", 2), ("definately", 2),
                            ("accomodation", 2), ("tyop", 1), ("xylophnoe", 2), ("qwzx", 1)]:
        matches, micros = timed(lambda: index.fuzzy_match(query, max_dist, limit=8))
        shown = ", ".join(f"{term} ({distance})" for term, _, distance in matches) or "nothing"
        print(f"  {query!r:>15} max_dist {max_dist}: {micros:7.1f} µs  {shown}")

    print("\nsearch as you type: top 3 videos (id, share) after every keystroke, max_dist 1")
    for word in ["video", "musci", "wether", "documentary"]:
        print(f"  typing {word!r}:")
        for end in range(1, len(word) + 1):
            typed = word[:end]
            videos, micros = timed(lambda: index.fuzzy_match_video(typed, 1, limit=3))
            shown = ", ".join(f"{video} {score:.3f}" for video, score in videos) or "nothing"
            print(f"    {typed!r:>15} {micros:7.1f} µs  {shown}")


if __name__ == "__main__":
    main()

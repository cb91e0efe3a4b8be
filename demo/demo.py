"""The main job: build a search index from a real vocabulary with torrelm.IndexBuilder, store it
in a file and load it back, answer fuzzy term queries (some of them misspelt), and type a few
words letter by letter showing the best videos after every keystroke, each call with its latency.
"""

import resource
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import torrelm  # noqa: E402

from layout import read_words, video_counts  # noqa: E402


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def main() -> None:
    words = read_words(Path(sys.argv[1]) if len(sys.argv) > 1 else None)
    print(f"vocabulary: {len(words):,} distinct terms")

    builder = torrelm.IndexBuilder()
    start = time.perf_counter()
    for word, videos, counts in video_counts(words):
        for video, count in zip(videos, counts):
            builder.add(word, 1_000_000 + video, count)
    print(f"added 1 to 5 of 100,000 videos per term (Zipf-distributed, counts from word "
          f"frequencies) in {time.perf_counter() - start:.1f} s")
    index, seconds = timed(lambda: builder.build(video_top_n=10))
    print(f"index built in {seconds:.1f} s (breadth-first layout in Python, then the native build); "
          f"peak memory {peak_rss_mib():,.0f} MiB")

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "videos.idx"
        _, store = timed(lambda: torrelm.save(index, path))
        _, load = timed(lambda: torrelm.load(path))
        index, mapped = timed(lambda: torrelm.open(path))
        print(f"saved {path.stat().st_size / 2**20:.1f} MiB in {store * 1000:.0f} ms; loaded it back "
              f"in {load * 1000:.0f} ms, or mapped it in {mapped * 1000:.0f} ms (both checked in "
              f"full); everything below runs on the mapped index:\n  {index!r}")

    print("\nfuzzy term queries (term, distance), with the latency of each call:")
    for query, max_dist in [("search", 0), ("serch", 1), ("recieve", 2), ("definately", 2),
                            ("accomodation", 2), ("tyop", 1), ("xylophnoe", 2), ("qwzx", 1)]:
        matches, seconds = timed(lambda: index.fuzzy_match(query, max_dist, limit=8))
        shown = ", ".join(f"{term} ({distance})" for term, _, distance in matches) or "nothing"
        print(f"  {query!r:>15} max_dist {max_dist}: {seconds * 1e6:7.1f} µs  {shown}")

    print("\na search box: the best suggestions (term, distance, count) for misspelt words (the "
          "first call also derives the index's search counts, once)")
    for query in ["serch", "recieve", "definately", "accomodation"]:
        found, seconds = timed(lambda: index.suggest(query, max_dist=2, limit=3))
        shown = ", ".join(f"{s.term} ({s.distance}, {s.count:,})" for s in found) or "nothing"
        print(f"  {query!r:>15}: {seconds * 1e6:7.1f} µs  {shown}")
    print("and the most searched completions (term, count) of prefixes")
    for prefix in ["th", "comp", "photogr", "zz"]:
        found, seconds = timed(lambda: index.complete(prefix, limit=4))
        shown = ", ".join(f"{c.term} ({c.count:,})" for c in found) or "nothing"
        print(f"  {prefix!r:>15}: {seconds * 1e6:7.1f} µs  {shown}")

    print("\nsearch as you type: the 3 best videos (id, share) after every keystroke, max_dist 1")
    for word in ["video", "musci", "wether", "documentary"]:
        print(f"  typing {word!r}:")
        for end in range(1, len(word) + 1):
            typed = word[:end]
            videos, seconds = timed(lambda: index.fuzzy_match_video(typed, 1, limit=3))
            shown = ", ".join(f"{video} {score:.3f}" for video, score in videos) or "nothing"
            print(f"    {typed!r:>15} {seconds * 1e6:7.1f} µs  {shown}")


if __name__ == "__main__":
    main()

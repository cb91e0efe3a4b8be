"""Eight threads query one instance at once; every answer equals the single-threaded one."""

import random
import sys
import threading
from pathlib import Path

from _torrelm import PrefixSearch

sys.path.insert(0, str(Path(__file__).parents[2] / "demo"))
from layout import with_videos  # noqa: E402


def test_eight_threads_share_one_instance():
    rng = random.Random(4)
    words = sorted({"".join(rng.choices("abcdeéж", k=rng.randint(1, 7))) for _ in range(3000)})
    index = PrefixSearch.from_internal_data_v2(*with_videos(words, videos=500).arguments(10))
    data = index.to_bytes()
    queries = rng.sample(words, 60) + ["", "zz", "a\U0001f600"]

    def all_answers():
        out = []
        for q in queries:
            out.append(index.fuzzy_match(q, 1))
            out.append(index.fuzzy_match(q, 2, 5))
            out.append(index.fuzzy_match_video(q, 1, 10))
            out.append(index.fuzzy_match_video(q, 2, None, True))
        out.append(index.to_bytes() == data)
        out.append(index.from_bytes(data).fuzzy_match(queries[0]))
        return out

    expected = all_answers()
    results = [None] * 8
    start = threading.Barrier(8)

    def worker(slot):
        start.wait()
        results[slot] = [all_answers() for _ in range(5)]

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for per_thread in results:
        assert per_thread is not None
        for round_answers in per_thread:
            assert round_answers == expected

"""Builds the demo's index (the same vocabulary, videos and counts as demo.py) and saves it to a
file, for `make serve`: python demo/build_index.py OUTPUT [WORD_LIST]."""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import torrelm  # noqa: E402

from layout import read_words, video_counts  # noqa: E402


def main() -> None:
    output = Path(sys.argv[1])
    words = read_words(Path(sys.argv[2]) if len(sys.argv) > 2 else None)
    start = time.perf_counter()
    builder = torrelm.IndexBuilder()
    for word, videos, counts in video_counts(words):
        for video, count in zip(videos, counts):
            builder.add(word, 1_000_000 + video, count)
    index = builder.build(video_top_n=10)
    output.parent.mkdir(parents=True, exist_ok=True)
    torrelm.save(index, output)
    print(f"built {output} in {time.perf_counter() - start:.1f} s: {index!r}", file=sys.stderr)


if __name__ == "__main__":
    main()

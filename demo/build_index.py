"""Builds the index `make serve` serves, the way a site would: a generated click log (clicklog.py)
through the command line's cleaning build, with a videos file of titles beside it.

    python demo/build_index.py FOLDER [--queries N] [--rows N]

writes FOLDER/clicks.parquet (the log), FOLDER/titles.parquet (id, title) and FOLDER/videos.idx.
"""

import argparse
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from clicklog import generate  # noqa: E402

# A tenth of the bench's log: the fixed queries (funny cat videos, minecraft, pokémon cards...)
# keep tens of thousands of clicks each, and the whole build stays a matter of seconds.
QUERIES = 30_000
ROWS = 300_000
SEED = 7


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--queries", type=int, default=QUERIES)
    parser.add_argument("--rows", type=int, default=ROWS)
    options = parser.parse_args()
    options.folder.mkdir(parents=True, exist_ok=True)
    clicks, titles = options.folder / "clicks.parquet", options.folder / "titles.parquet"
    index = options.folder / "videos.idx"
    start = time.perf_counter()
    generate(clicks, options.queries, options.rows, SEED, titles=titles)
    generated = time.perf_counter() - start
    print(f"generated {options.rows:,} click rows over {options.queries:,} queries in "
          f"{generated:.1f} s", file=sys.stderr)
    subprocess.run([sys.executable, "-m", "torrelm", "build", str(clicks), "-o", str(index),
                    "--min-count", "3", "--merge-variants", "--word-starts"], check=True)
    print(f"built {index} in {time.perf_counter() - start:.1f} s in all", file=sys.stderr)


if __name__ == "__main__":
    main()

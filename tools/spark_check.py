"""The Spark road end to end: generated click logs are counted by examples/spark_click_counts.py
in Spark's local mode, the index is built from its output, and it must be byte for byte the index
that DuckDB builds from the same raw logs, and the one that `python -m torrelm build` writes.

Run by `make test-spark`; prints one line per check and exits non-zero on a difference.
"""

from __future__ import annotations

import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import duckdb

import torrelm

ROOT = Path(__file__).resolve().parents[1]
ORDERED = "ORDER BY term, video"  # the same rows in the same order give the same index


def make_logs(folder: Path, clicks: int, seed: int) -> None:
    """Click events over Zipf-like terms and videos, in several Parquet files; a few rows with
    a missing or empty term, which the counts leave out."""
    rng = random.Random(seed)
    words = ["cat", "car", "cart", "catalog", "dog", "dot", "mus", "music", "musical", "muse",
             "été", "éte", "ёлка", "ёж", "naïve", "naive", "日本", "日本語", "x"]
    terms = words + [f"{rng.choice(words)} {rng.choice(words)}" for _ in range(300)]
    weights = [1 / (i + 1) for i in range(len(terms))]
    for part in range(4):
        rows = []
        for _ in range(clicks // 4):
            term = rng.choices(terms, weights)[0]
            video = int(rng.paretovariate(1.2) * 100) % 5000
            rows.append((term, video))
        rows += [(None, 1), ("", 2), ("cat", None)]
        connection = duckdb.connect()
        connection.execute("CREATE TABLE t (term VARCHAR, video BIGINT)")
        connection.executemany("INSERT INTO t VALUES (?, ?)", rows)
        connection.execute(f"COPY t TO '{folder / f'part-{part}.parquet'}' (FORMAT PARQUET)")
        connection.close()


def main() -> int:
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        logs, counts = folder / "clicks", folder / "counts"
        logs.mkdir()
        make_logs(logs, clicks=40_000, seed=3)

        started = time.perf_counter()
        env = {**os.environ, "PYSPARK_PYTHON": sys.executable}
        subprocess.run([sys.executable, str(ROOT / "examples" / "spark_click_counts.py"),
                        str(logs), str(counts), "--partitions", "3"], check=True, env=env)
        print(f"spark: counted the clicks in {time.perf_counter() - started:.1f} s")

        from_spark = torrelm.build(duckdb.sql(
            f"SELECT term, video, count FROM read_parquet('{counts}/*.parquet') {ORDERED}"))
        from_duckdb = torrelm.build(duckdb.connect().sql(
            "SELECT term, video, count(*) AS count FROM read_parquet("
            f"'{logs}/*.parquet') WHERE term IS NOT NULL AND term <> '' AND video IS NOT NULL "
            f"GROUP BY ALL {ORDERED}"))
        cli_output = folder / "videos.idx"
        subprocess.run([sys.executable, "-m", "torrelm", "build", str(logs), "-o",
                        str(cli_output), "--quiet"], check=True)
        from_cli = torrelm.load(cli_output)

        checks = {
            "Spark's counts build the index DuckDB builds": from_spark.to_bytes() ==
            from_duckdb.to_bytes(),
            "the command line builds it too": from_cli.to_bytes() == from_duckdb.to_bytes(),
            "it answers": bool(from_spark.fuzzy_match_video("cat", 0)),
        }
        for name, passed in checks.items():
            print(f"{'ok  ' if passed else 'FAIL'} {name}")
        return 0 if all(checks.values()) else 1


if __name__ == "__main__":
    sys.exit(main())

"""Counts clicks per (term, video) with PySpark, for click logs that outgrow one machine.

    spark-submit examples/spark_click_counts.py CLICKS_DIR OUT_DIR [--min-count N]

CLICKS_DIR holds Parquet files of click events, one row per click, with the columns `term` (the
query the user typed) and `video` (the id of the video clicked). The job normalises nothing: it
drops rows with a missing or empty term or a missing video, counts each (term, video) pair and
writes Parquet files of (term, video, count) rows to OUT_DIR, which both `torrelm.build` and
`python -m torrelm build` read:

    import duckdb, torrelm
    index = torrelm.build(duckdb.sql("SELECT term, video, count FROM 'OUT_DIR/*.parquet'"))
"""

from __future__ import annotations

import argparse
import sys


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Counts clicks per (term, video) with PySpark.")
    parser.add_argument("clicks", help="folder (or glob) of Parquet click events: term, video")
    parser.add_argument("out", help="folder for the (term, video, count) Parquet files")
    parser.add_argument("--min-count", type=int, default=1,
                        help="drop pairs clicked fewer times than this (default 1: keep all)")
    parser.add_argument("--partitions", type=int, default=0,
                        help="output files (default: Spark's own choice)")
    args = parser.parse_args(argv)

    from pyspark.sql import SparkSession, functions as F

    spark = (SparkSession.builder.appName("torrelm click counts")
             .config("spark.ui.showConsoleProgress", "false").getOrCreate())
    try:
        clicks = spark.read.parquet(args.clicks)
        counts = (
            clicks.where(F.col("term").isNotNull() & (F.length("term") > 0)
                         & F.col("video").isNotNull())
            .groupBy("term", "video")
            .agg(F.count(F.lit(1)).alias("count"))
            .where(F.col("count") >= args.min_count)
        )
        if args.partitions:
            counts = counts.repartition(args.partitions)
        counts.write.mode("overwrite").parquet(args.out)
    finally:
        spark.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The command line: python -m torrelm build CLICKS... -o INDEX, python -m torrelm serve INDEX."""

from __future__ import annotations

import argparse
import glob
import os
import sys
import time
from collections.abc import Sequence
from pathlib import Path

_DESCRIPTION = "Search-as-you-type indexes of terms and the videos they lead to."

_BUILD_HELP = """\
Builds an index from click logs in Parquet or CSV files, read and aggregated by DuckDB. A file
holds either raw click events (one row per click, with columns term and video) or rows already
counted (term, video, count); counts of the same (term, video) add up. With --sql, the query runs
over a view named clicks holding every file's rows and must give the columns term, video and
count. The index is written atomically: a reader of OUTPUT sees the old file or the new one."""

_READERS = {".parquet": "read_parquet", ".csv": "read_csv", ".tsv": "read_csv",
            ".gz": "read_csv"}


def _sql_text(value: str) -> str:
    return "'" + value.replace("'", "''") + "'"


def _input_files(patterns: Sequence[str]) -> list[Path]:
    """Every file named, found by a glob or lying in a named folder, in a stable order."""
    files: list[Path] = []
    for pattern in patterns:
        path = Path(pattern)
        if path.is_dir():
            found = sorted(p for p in path.rglob("*") if p.is_file() and _reader(p) is not None)
        elif path.exists():
            found = [path]
        else:
            found = sorted(Path(p) for p in glob.glob(pattern, recursive=True))
        if not found:
            raise SystemExit(f"torrelm build: {pattern}: no such file, or no Parquet or CSV file "
                             "in it")
        files.extend(found)
    return files


def _reader(path: Path) -> str | None:
    return _READERS.get(path.suffix.lower())


def _clicks_view(files: list[Path]) -> str:
    """SQL of a view over every file's rows, Parquet and CSV files read alike."""
    by_reader: dict[str, list[str]] = {}
    for path in files:
        reader = _reader(path)
        if reader is None:
            raise SystemExit(f"torrelm build: {path}: not a Parquet or CSV file (by its name)")
        by_reader.setdefault(reader, []).append(_sql_text(str(path)))
    parts = [f"SELECT * FROM {reader}([{', '.join(paths)}], union_by_name = true)"
             for reader, paths in sorted(by_reader.items())]
    return " UNION ALL BY NAME ".join(parts)


def _default_query(columns: dict[str, str]) -> str:
    missing = {"term", "video"} - set(columns)
    if missing:
        raise SystemExit(f"torrelm build: the files have no column {', '.join(sorted(missing))} "
                         f"(they have {', '.join(sorted(columns))}); name them so, or use --sql")
    # Files of one log may type a column differently (a CSV's BIGINT, a Parquet file's UBIGINT),
    # and sums grow wider: integers go to the build as UBIGINT, which any id and count fits.
    video = "CAST(video AS UBIGINT)" if "INT" in columns["video"].upper() else "video"
    counted = "CAST(sum(count) AS UBIGINT)" if "count" in columns else "count(*)"
    # Sorted, so that the same logs always give the same index, byte for byte.
    return (f"SELECT term, {video} AS video, {counted} AS count FROM clicks "
            "WHERE term IS NOT NULL AND term <> '' AND video IS NOT NULL "
            "GROUP BY ALL ORDER BY term, video")


def build_command(args: argparse.Namespace) -> int:
    try:
        import duckdb
    except ImportError:
        raise SystemExit("torrelm build: needs DuckDB: pip install duckdb") from None
    from . import build, save

    started = time.perf_counter()
    files = _input_files(args.clicks)
    connection = duckdb.connect()
    try:
        connection.execute(f"CREATE VIEW clicks AS {_clicks_view(files)}")
        # 16-byte UUIDs go to the build as such, not as their text.
        connection.execute("SET arrow_lossless_conversion = true")
        columns = {str(row[0]): str(row[1])
                   for row in connection.execute("DESCRIBE clicks").fetchall()}
        query = args.sql or _default_query(columns)
        print(f"torrelm build: {len(files):,} file(s), aggregating with DuckDB", file=sys.stderr)
        relation = connection.sql(query)
        index = build(relation, video_top_n=args.video_top_n, progress=not args.quiet or None)
    except duckdb.Error as error:
        raise SystemExit(f"torrelm build: {error}") from None
    finally:
        connection.close()
    save(index, args.output)
    seconds = time.perf_counter() - started
    size = os.path.getsize(args.output)
    print(f"torrelm build: wrote {args.output} ({size / 2**20:,.1f} MiB) in {seconds:.1f} s: "
          f"{index!r}", file=sys.stderr)
    return 0


_SERVE_HELP = """\
Serves an index over HTTP: JSON endpoints /api/complete, /api/suggest and /api/videos (each
taking q, limit and max_dist), /healthz, /stats, and a search page at /. Every worker maps the
index file, so they share one copy of it, and each picks up a newer file written over INDEX by
torrelm.save or torrelm build within half a second, keeping the old one if the new one fails its
checks."""


def serve_command(args: argparse.Namespace) -> int:
    try:
        import starlette  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError:
        raise SystemExit("torrelm serve: needs Starlette and uvicorn: pip install "
                         "'torrelm[serve]'") from None
    from . import open as open_index
    from ._serve import serve

    # Checked once here, so that a bad file is one clear message rather than one per worker.
    try:
        index = open_index(args.index)
    except (OSError, ValueError) as error:
        raise SystemExit(f"torrelm serve: {args.index}: {error}") from None
    shown = f"[{args.host}]" if ":" in args.host else args.host
    print(f"torrelm serve: {index!r}\ntorrelm serve: http://{shown}:{args.port}/ "
          f"({args.workers} worker{'s' if args.workers != 1 else ''}; Ctrl-C stops)",
          file=sys.stderr, flush=True)
    del index
    serve(args.index, host=args.host, port=args.port, workers=args.workers,
          max_text=args.max_text, max_dist=args.max_dist_limit)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m torrelm", description=_DESCRIPTION)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    build_parser = commands.add_parser("build", help="build an index from click logs",
                                       description=_BUILD_HELP)
    build_parser.add_argument("clicks", nargs="+", metavar="CLICKS",
                              help="Parquet or CSV files, folders of them, or glob patterns")
    build_parser.add_argument("-o", "--output", required=True, metavar="INDEX",
                              help="the index file to write")
    build_parser.add_argument("--video-top-n", type=int, default=10, metavar="N",
                              help="videos kept per node (default 10)")
    build_parser.add_argument("--sql", metavar="QUERY",
                              help="the aggregation to run over the view 'clicks'")
    build_parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    build_parser.set_defaults(run=build_command)
    serve_parser = commands.add_parser("serve", help="serve an index over HTTP, with a search page",
                                       description=_SERVE_HELP)
    serve_parser.add_argument("index", metavar="INDEX", help="the index file to serve")
    serve_parser.add_argument("--host", default="127.0.0.1", help="address to listen on "
                              "(default 127.0.0.1)")
    serve_parser.add_argument("--port", type=int, default=8000, help="port (default 8000)")
    serve_parser.add_argument("--workers", type=int, default=1, metavar="N",
                              help="worker processes (default 1)")
    serve_parser.add_argument("--max-text", type=int, default=256, metavar="N",
                              help="the longest q taken, in characters (default 256)")
    serve_parser.add_argument("--max-dist-limit", type=int, default=2, metavar="N",
                              help="the largest max_dist a request may ask for (default 2)")
    serve_parser.set_defaults(run=serve_command)
    args = parser.parse_args(argv)
    if args.command == "build" and args.video_top_n < 0:
        parser.error("--video-top-n cannot be negative")
    if args.command == "serve":
        if args.workers < 1:
            parser.error("--workers must be at least 1")
        if not 0 <= args.port <= 65535:
            parser.error("--port must be between 0 and 65535")
        if args.max_text < 0 or args.max_dist_limit < 0:
            parser.error("--max-text and --max-dist-limit cannot be negative")
    result: int = args.run(args)
    return result

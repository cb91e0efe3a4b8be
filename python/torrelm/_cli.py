"""The command line: python -m torrelm build CLICKS... -o INDEX, and python -m torrelm serve
[NAME=]INDEX... (its options in _serve.options)."""

from __future__ import annotations

import argparse
import glob
import itertools
import os
import re
import stat
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

from ._serve.options import add_serve_parser, serve_command
from ._serve.options import settings as serve_settings

DEFAULT_MERGE_RATIO = 10.0  # as the builders' merge_variants=True

_DESCRIPTION = "Search-as-you-type indexes of terms and the videos they lead to."

_BUILD_HELP = """\
Builds an index from click logs in Parquet or CSV files, read and aggregated by DuckDB. A file
holds either raw click events (one row per click, with columns term and video) or rows already
counted (term, video, count); counts of the same (term, video) add up. With --sql, the query runs
over a view named clicks holding every file's rows and must give the columns term, video and
count. The index is written atomically: a reader of OUTPUT sees the old file or the new one.
Bad input (a missing or unreadable file, a missing column, a count that is not a whole number
of zero or more, a term holding U+0000, ...) stops the command with one line on standard error
and exit status 1."""

_READERS = {".parquet": "read_parquet", ".csv": "read_csv", ".tsv": "read_csv",
            ".gz": "read_csv"}

_SIGNED = {"TINYINT", "SMALLINT", "INTEGER", "BIGINT"}
_UNSIGNED = {"UTINYINT", "USMALLINT", "UINTEGER", "UBIGINT"}
_WIDE = {"HUGEINT", "UHUGEINT", "BIGNUM"}  # and DECIMAL(p,0): whole numbers of any width
_MAX_U64 = 2**64 - 1


class InputError(Exception):
    """Input the command cannot build from: reported as one line, not as a traceback."""


def _sql_text(value: str) -> str:
    return "'" + value.replace("'", "''") + "'"


def _printable(text: str) -> str:
    """`text` on one line: a file name or a value may hold a line break or a terminal escape."""
    return "".join(char if char.isprintable() else "?" for char in text)


def _one_line(message: str) -> str:
    """The gist of a DuckDB or build error on one line: its first paragraph without the SQL
    context and the lists of candidates and fixes that follow it, and the file a CSV error is
    about."""
    for prefix in ("Arrow stream error: ", "Invalid Input Error: "):
        message = message.removeprefix(prefix)
    paragraph = message.strip().split("\n\n")[0]
    lines = [line.strip() for line in paragraph.splitlines()
             if line.strip() and not line[0].isspace()
             and not line.startswith(("LINE ", "Possible ", "* "))]
    text = "; ".join(lines)
    file = re.search(r"^\s+file = (.*)$", message, re.MULTILINE)
    if file:
        text += f" (in {file.group(1)})"
    return text if len(text) <= 500 else text[:497] + "..."


def _input_files(patterns: Sequence[str]) -> list[Path]:
    """Every file named, found by a glob or lying in a named folder, in a stable order, each
    once, each checked to be a readable regular file (a FIFO or a device would hang DuckDB)."""
    from ._storage import _kind

    files: dict[str, Path] = {}
    for pattern in patterns:
        path = Path(pattern)
        named = [path] if os.path.lexists(path) else sorted(
            Path(p) for p in glob.glob(pattern, recursive=True))
        found: list[Path] = []
        for candidate in named:
            if candidate.is_dir():
                found.extend(sorted(p for p in candidate.rglob("*")
                                    if p.is_file() and _reader(p) is not None))
            else:
                found.append(candidate)
        if not found:
            raise InputError(f"{pattern}: no such file, or no Parquet or CSV file in it")
        for file in found:
            if _reader(file) is None:
                raise InputError(f"{file}: not a Parquet or CSV file (by its name: .parquet, "
                                 ".csv, .tsv or .gz)")
            if not str(file).isascii():
                try:
                    str(file).encode()
                except UnicodeEncodeError:
                    raise InputError(f"{file}: DuckDB reads only files whose names are UTF-8, "
                                     "which this one is not") from None
            try:
                # O_NONBLOCK: a FIFO must not wait for a writer before it can be refused.
                descriptor = os.open(file, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
                try:
                    mode = os.fstat(descriptor).st_mode
                finally:
                    os.close(descriptor)
            except OSError as error:
                raise InputError(f"{file}: {error.strerror}") from None
            if not stat.S_ISREG(mode):
                raise InputError(f"{file}: {_kind(mode)}, not a regular file")
            files.setdefault(os.path.realpath(file), file)  # named twice, counted once
    return list(files.values())


def _reader(path: Path) -> str | None:
    return _READERS.get(path.suffix.lower())


# DuckDB takes a file name holding any of these for a glob pattern, and reads whatever files it
# matches: naming `a[1].csv` would read `a1.csv`. Such a file is handed to it by a descriptor.
_PATTERN_CHARACTERS = frozenset("*?[")


class _Named:
    """The names DuckDB reads the input files by, open while the build reads: a file whose name
    DuckDB would take for a pattern is opened here and named /proc/self/fd/N, which names
    exactly that file (DuckDB opens it anew, at its start, for each read). Errors that name
    such a path are given the file's own name back."""

    def __init__(self, files: list[Path]) -> None:
        self.names: dict[Path, str] = {}
        self._shown: dict[str, str] = {}
        self._descriptors: list[int] = []
        try:
            for file in files:
                if _PATTERN_CHARACTERS.isdisjoint(str(file)):
                    self.names[file] = str(file)
                    continue
                try:
                    descriptor = os.open(file, os.O_RDONLY | os.O_CLOEXEC)
                except OSError as error:
                    raise InputError(f"{file}: {error.strerror}") from None
                self._descriptors.append(descriptor)
                name = f"/proc/self/fd/{descriptor}"
                if not os.path.exists(name):
                    raise InputError(f"{file}: DuckDB takes a name holding *, ? or [ for a "
                                     "pattern, and this system has no /proc/self/fd to name "
                                     "the file otherwise: rename it")
                self.names[file] = name
                self._shown[name] = str(file)
        except BaseException:
            self.close()
            raise

    def shown(self, message: str) -> str:
        """`message` with each descriptor's path replaced by the name of its file."""
        # The longest first: /proc/self/fd/1 is the start of /proc/self/fd/12.
        for name in sorted(self._shown, key=len, reverse=True):
            message = message.replace(name, self._shown[name])
        return message

    def close(self) -> None:
        while self._descriptors:
            os.close(self._descriptors.pop())


def _clicks_view(files: list[Path], names: dict[Path, str]) -> str:
    """SQL of a view over every file's rows, Parquet and CSV files read alike, each read by its
    name in `names`."""
    groups: dict[tuple[str, str], list[str]] = {}
    for path in files:
        # Gzip told, as a descriptor's name has no extension to tell it by.
        options = ", compression = 'gzip'" if path.suffix.lower() == ".gz" else ""
        groups.setdefault((str(_reader(path)), options), []).append(_sql_text(names[path]))
    parts = [f"SELECT * FROM {reader}([{', '.join(paths)}], union_by_name = true{options})"
             for (reader, options), paths in sorted(groups.items())]
    return " UNION ALL BY NAME ".join(parts)


def _shown(column: str, kind: str) -> str:
    """SQL of a column's value as an error message shows it: short, on one line, quoted if text."""
    text = f"regexp_replace(left(CAST({column} AS VARCHAR), 60), '[[:cntrl:]]', '?', 'g')"
    if kind == "VARCHAR":
        text = f"'''' || {text} || ''''"
    return f"coalesce({text}, 'null')"


def _refuse(condition: str, message: str, types: dict[str, str]) -> str:
    """A CASE branch that stops the query with `message`, whose {term}, {video} and {count}
    stand for the values of the row."""
    parts = re.split(r"\{(\w+)\}", message)
    sql = [_shown(part, types[part]) if odd else _sql_text(part)
           for odd, part in zip(itertools.cycle((False, True)), parts) if part]
    return f"WHEN {condition} THEN error({' || '.join(sql)})"


def _whole(kind: str) -> bool:
    """Whether a DuckDB type holds whole numbers only."""
    return kind in _SIGNED | _UNSIGNED | _WIDE or bool(re.fullmatch(r"DECIMAL\(\d+,0\)", kind))


def _checked_count(types: dict[str, str]) -> str:
    """SQL of column count as a whole number of zero or more, stopping the query at the first
    count that is missing, negative or not a whole number (DuckDB would round 2.5 to 3): a
    float or decimal column of whole numbers passes, and so does text spelling one."""
    kind = types["count"]
    row = "of term {term}, video {video}"
    branches = [_refuse("count IS NULL", f"a row {row} has no count", types)]
    value = "count"
    if kind in ("FLOAT", "DOUBLE") or kind.startswith("DECIMAL("):
        finite = "NOT isfinite(count) OR " if kind in ("FLOAT", "DOUBLE") else ""
        branches.append(_refuse(f"{finite}count <> trunc(count)",
                                f"count {{count}} {row} is not a whole number", types))
    elif kind == "VARCHAR":
        branches.append(_refuse(r"NOT regexp_full_match(count, '\s*[+-]?[0-9]+\s*')",
                                f"count {{count}} {row} is not a whole number", types))
        value = "CAST(trim(count) AS HUGEINT)"
    elif not _whole(kind):
        raise InputError(f"column count has type {kind}: counts must be whole numbers")
    branches.append(_refuse(f"{value} < 0", f"count {{count}} {row} is negative", types))
    return f"CASE {' '.join(branches)} ELSE {value} END"


def _checked_term(types: dict[str, str]) -> str:
    """SQL of column term, stopping the query at a row without one or with U+0000 in it."""
    return ("CASE "
            + _refuse("term IS NULL", "a row of video {video} has no term", types)
            + _refuse("term = ''", "a row of video {video} has an empty term", types)
            + _refuse("contains(term, chr(0))", "term {term} of video {video} holds the "
                      "character U+0000, which no term may", types)
            + " ELSE term END")


def _term(kind: str) -> str:
    """SQL of column term as text: DuckDB reads a CSV column of numbers alone as integers."""
    if kind == "VARCHAR":
        return "term"
    if _whole(kind):
        return "CAST(term AS VARCHAR)"
    raise InputError(f"column term has type {kind}: terms must be strings")


def _video(connection: Any, rows: str, kind: str) -> str:
    """SQL of column video as the build takes it: text, a UUID, or a 64-bit integer, signed
    when an id is negative. A column wider than 64 bits (DuckDB's type for ids typed signed in
    some files and unsigned in others) takes one more pass over `rows` to see which fits."""
    if kind in ("VARCHAR", "UUID"):
        return "video"
    if kind in _SIGNED:
        return "CAST(video AS BIGINT)"
    if kind in _UNSIGNED:
        return "CAST(video AS UBIGINT)"
    if not _whole(kind):
        raise InputError(f"column video has type {kind}: video ids must be integers, strings "
                         "or UUIDs (cast them with --sql)")
    bounds = connection.execute(f"SELECT min(video), max(video) FROM (\n{rows}\n)").fetchall()
    low, high = (int(bound or 0) for bound in bounds[0])
    for value in (low, high):
        if not -(2**63) <= value <= _MAX_U64:
            raise InputError(f"video {value}: an integer id must lie in -2**63 .. 2**64-1")
    if low < 0 and high > 2**63 - 1:
        raise InputError(f"videos {low} and {high}: ids below 0 and ids above 2**63-1 cannot "
                         "share one index")
    return f"CAST(video AS {'BIGINT' if low < 0 else 'UBIGINT'})"


def _types(connection: Any, rows: str) -> dict[str, str]:
    """The columns of the query `rows`, by lower-case name, with their DuckDB types."""
    described = connection.execute(f"DESCRIBE SELECT * FROM (\n{rows}\n)").fetchall()
    return {str(row[0]).lower(): str(row[1]) for row in described}


def _query(connection: Any, sql: str | None, ordered: bool = False) -> str:
    """SQL giving the rows to build from, every value checked and typed as the build takes it.

    Without `sql`, the rows of the view clicks that have a term and a video are summed per
    (term, video): one per raw click, or their counts, each count checked before it is added.
    With `sql`, the rows of that query are checked as they come."""
    if sql is None:
        columns = _types(connection, "SELECT * FROM clicks")
        missing = {"term", "video"} - set(columns)
        if missing:
            raise InputError(f"the files have no column {', '.join(sorted(missing))} (they have "
                             f"{', '.join(map(repr, columns))}); name them so, or use --sql")
        counted = "count" in columns
        rows = (f"SELECT * FROM (SELECT {_term(columns['term'])} AS term, video"
                f"{', count' if counted else ''} FROM clicks) "
                "WHERE term IS NOT NULL AND term <> '' AND video IS NOT NULL")
        total = f"sum({_checked_count(_types(connection, rows))})" if counted else "count(*)"
        source = f"SELECT term, video, {total} AS count FROM (\n{rows}\n) GROUP BY term, video"
        # Sorted, so that the same logs always give the same index, byte for byte.
        order = " ORDER BY term, video"
    else:
        # Run as a subquery, where a second statement is a syntax error; a trailing semicolon
        # is common, and the line break keeps a closing line comment off the parenthesis.
        rows = source = sql.strip().rstrip(";")
        order = " ORDER BY term, video" if ordered else ""
    types = _types(connection, source)
    absent = [name for name in ("term", "video", "count") if name not in types]
    if absent:
        raise InputError(f"the query gives no column {', '.join(absent)} (it gives "
                         f"{', '.join(map(repr, types))})")
    texts = f"SELECT {_term(types['term'])} AS term, video, count FROM (\n{source}\n)"
    types["term"] = "VARCHAR"
    video = (f"CASE {_refuse('video IS NULL', 'a row of term {term} has no video', types)} "
             f"ELSE {_video(connection, rows, types['video'])} END")
    checked = (f"SELECT {_checked_term(types)} AS term, {video} AS video, "
               f"{_checked_count(types)} AS whole FROM (\n{texts}\n)")
    # Sums past 2**64-1 stop there, as the library's own sums do.
    count = (f"CASE WHEN whole >= {_MAX_U64} THEN CAST({_MAX_U64} AS UBIGINT) "
             "ELSE CAST(whole AS UBIGINT) END")
    return f"SELECT term, video, {count} AS count FROM (\n{checked}\n){order}"


_DURATION = re.compile(r"\s*([0-9]+(?:\.[0-9]*)?)\s*([a-z]+)\s*", re.IGNORECASE)
_SECONDS = {"s": 1, "sec": 1, "second": 1, "seconds": 1, "m": 60, "min": 60, "minute": 60,
            "minutes": 60, "h": 3600, "hour": 3600, "hours": 3600, "d": 86400, "day": 86400,
            "days": 86400, "w": 604800, "week": 604800, "weeks": 604800}


def _duration(text: str) -> float:
    """Seconds of a duration such as 7d, 12h, 90min, 2 weeks."""
    found = _DURATION.fullmatch(text)
    unit = _SECONDS.get(found[2].lower()) if found else None
    if found is None or unit is None:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a duration: a number and a unit (s, min, h, d, w), e.g. 7d")
    seconds = float(found[1]) * unit
    if not 0 < seconds < float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r}: a half-life must be above 0")
    return seconds


def _shown_duration(seconds: float) -> str:
    for unit, size in (("days", 86400), ("hours", 3600), ("minutes", 60)):
        if seconds >= size:
            return f"{seconds / size:,.4g} {unit}"
    return f"{seconds:,.4g} seconds"


def _seconds_of(column: str, kind: str) -> str:
    """SQL of a time column as seconds since the epoch (UTC): a timestamp or a date, text that
    DuckDB reads as one, or a number of seconds already."""
    if kind in _SIGNED | _UNSIGNED | _WIDE or kind in ("FLOAT", "DOUBLE") \
            or kind.startswith("DECIMAL("):
        return f"CAST({column} AS DOUBLE)"
    if kind.startswith(("TIMESTAMP", "DATE")):
        return f"epoch({column})"
    return f"epoch(CAST({column} AS TIMESTAMP))"


def _weighed(connection: Any, base: str, column: str, half_life: float,
             now: str | None) -> tuple[str, float]:
    """SQL summing the clicks of `base` per (term, video), each weighed by its age: a click one
    half-life older than `now` counts half, two a quarter (a click after `now` counts 1). Each
    sum is rounded to the nearest whole number, halves up, and a sum that rounds to 0 leaves its
    row out. Without `now`, the newest click's time is now. Also the time taken for now."""
    types = _types(connection, base)
    missing = {"term", "video"} - set(types)
    if missing:
        raise InputError(f"the rows have no column {', '.join(sorted(missing))} (they have "
                         f"{', '.join(map(repr, types))}); name them so, or use --sql")
    found = {name.lower(): name for name in types}
    if column.lower() not in found:
        raise InputError(f"--time-column {column}: no such column (the rows have "
                         f"{', '.join(map(repr, types))})")
    name = found[column.lower()]
    quoted = '"' + name.replace('"', '""') + '"'
    seconds = _seconds_of(quoted, types[name])
    if now is None:
        moment = connection.execute(f"SELECT max({seconds}) FROM (\n{base}\n)").fetchall()[0][0]
        if moment is None:
            raise InputError(f"--time-column {column}: no row has a time")
    else:
        try:
            moment = float(now)
        except ValueError:
            try:
                moment = connection.execute(
                    f"SELECT epoch(CAST({_sql_text(now)} AS TIMESTAMP))").fetchall()[0][0]
            except Exception:  # noqa: BLE001 - DuckDB's own error, told as one line
                raise InputError(f"--now {now!r} is not a time (e.g. 2026-12-08 or "
                                 "2026-12-08T12:00:00)") from None
    count = f"{_checked_count(types)}" if "count" in types else "1"
    term = _term(types["term"])
    rows = (f"SELECT {term} AS term, video, {count} AS clicks, "
            f"CASE WHEN {quoted} IS NULL THEN error('a row of term ' || coalesce(CAST(term AS "
            f"VARCHAR), 'null') || ' has no time in column ' || {_sql_text(name)}) "
            f"ELSE {seconds} END AS moment FROM (\n{base}\n) "
            "WHERE term IS NOT NULL AND video IS NOT NULL")
    weighed = (f"SELECT term, video, CAST(floor(sum(clicks * pow(0.5, greatest(0, "
               f"{float(moment)!r} - moment) / {half_life!r})) + 0.5) AS UBIGINT) AS count "
               f"FROM (\n{rows}\n) GROUP BY term, video")
    return f"SELECT term, video, count FROM (\n{weighed}\n) WHERE count > 0", float(moment)


class _Progress:
    """The progress shown on standard error, which remembers whether it has begun a line that
    an error must not be appended to."""

    def __init__(self, quiet: bool) -> None:
        from ._builder import _progress_reporter

        self.shown = False
        self._quiet = quiet
        self._report = _progress_reporter(not quiet)

    def __call__(self, stage: str, done: int, total: int) -> None:
        self.shown = not self._quiet
        self._report(stage, done, total)


def _checked_output(output: str, option: str = "-o") -> None:
    """Refuses an output path that save() would refuse, before any input is read: anything but
    a regular file (a FIFO would hang the build, a device take the bytes), or a folder that
    cannot be written in."""
    from ._storage import _replaced_file

    try:
        target, _ = _replaced_file(output)
    except ValueError as error:
        said = str(error) if option == "-o" else str(error).replace(
            ": save() replaces nothing else", "")
        raise InputError(f"{option} {said}") from None
    except OSError as error:
        raise InputError(f"{option} {output}: {error.strerror}") from None
    if not target.parent.is_dir():
        raise InputError(f"{option} {output}: no folder {str(target.parent)!r} to write it in")
    if not os.access(target.parent, os.W_OK | os.X_OK):
        raise InputError(f"{option} {output}: no permission to write in {str(target.parent)!r}")


def _build(args: argparse.Namespace, progress: _Progress) -> int:
    try:
        import duckdb
    except ImportError:
        raise InputError("needs DuckDB: pip install duckdb") from None
    from . import build, save

    started = time.perf_counter()
    _checked_output(args.output)
    if args.merged_pairs is not None:
        _checked_output(args.merged_pairs, "--merged-pairs")
    files = _input_files(args.clicks)
    inputs = set(map(os.path.realpath, files))
    if os.path.realpath(args.output) in inputs:
        raise InputError(f"-o {args.output} is one of the input files")
    if args.merged_pairs is not None:
        if os.path.realpath(args.merged_pairs) in inputs:
            raise InputError(f"--merged-pairs {args.merged_pairs} is one of the input files")
        if os.path.realpath(args.merged_pairs) == os.path.realpath(args.output):
            raise InputError(f"--merged-pairs {args.merged_pairs} is the output file (-o)")
    blocked = _block_lines(args.block) if args.block is not None else None
    named = _Named(files)
    connection = duckdb.connect()
    try:
        connection.execute(f"CREATE VIEW clicks AS {_clicks_view(files, named.names)}")
        # 16-byte UUIDs go to the build as such, not as their text.
        connection.execute("SET arrow_lossless_conversion = true")
        if args.quiet:
            connection.execute("SET enable_progress_bar = false")
        sql = args.sql
        if args.time_column is not None:
            base = sql.strip().rstrip(";") if sql is not None else "SELECT * FROM clicks"
            sql, moment = _weighed(connection, base, args.time_column, args.half_life,
                                   args.now)
            if not args.quiet:
                print(f"torrelm build: clicks weighed by age, half-life "
                      f"{_shown_duration(args.half_life)}, now "
                      f"{time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(moment))} UTC",
                      file=sys.stderr)
        relation = connection.sql(_query(connection, sql, ordered=args.time_column is not None))
        if not args.quiet:
            print(f"torrelm build: {len(files):,} file(s), aggregating with DuckDB",
                  file=sys.stderr)
        try:
            index = build(relation, video_top_n=args.video_top_n, progress=progress,
                          normalize=None if args.normalize == "none" else args.normalize,
                          min_count=args.min_count,
                          merge_variants=args.merge_variants or False,
                          merged_pairs=args.merged_pairs, word_starts=args.word_starts,
                          block=blocked)
        except (ValueError, TypeError) as error:  # a row the build refuses
            raise InputError(named.shown(_one_line(str(error)))) from None
        except OSError as error:  # the pairs file could not be written
            raise InputError(f"--merged-pairs {args.merged_pairs}: {error.strerror}") from None
    except duckdb.Error as error:
        raise InputError(named.shown(_one_line(str(error)))) from None
    finally:
        connection.close()
        named.close()
    if len(index) == 0 and not args.allow_empty:
        raise InputError("no rows to index: " + (
            "the query gives none" if args.sql else "the files hold no row with a term and a "
            "video") + " (--allow-empty writes an empty index)")
    try:
        save(index, args.output)
    except (OSError, ValueError) as error:
        raise InputError(f"-o {args.output}: {getattr(error, 'strerror', None) or error}") \
            from None
    seconds = time.perf_counter() - started
    size = os.path.getsize(args.output)
    cleaned = index.metadata or {}
    if "dropped_terms" in cleaned:
        print(f"torrelm build: left out {cleaned['dropped_terms']:,} term(s) and their "
              f"{cleaned['dropped_clicks']:,} click(s)"
              + (f" (counted fewer than {args.min_count:,} times, or empty once folded)"
                 if args.min_count else " (empty once folded)"), file=sys.stderr)
    if "blocked_terms" in cleaned:
        print(f"torrelm build: left out {cleaned['blocked_terms']:,} blocked term(s) and their "
              f"{cleaned['blocked_clicks']:,} click(s)", file=sys.stderr)
    if "merged_terms" in cleaned:
        print(f"torrelm build: merged {cleaned['merged_terms']:,} variant(s) into the terms they "
              "are slips for" + (f", pairs in {args.merged_pairs}" if args.merged_pairs else ""),
              file=sys.stderr)
    print(f"torrelm build: wrote {args.output} ({size / 2**20:,.1f} MiB) in {seconds:.1f} s: "
          f"{index!r}", file=sys.stderr)
    return 0


def _block_lines(path: str) -> list[str]:
    """The lines of the --block file, checked before any input is read: a bad entry is one
    error line naming its line, not a failure after the aggregation."""
    from ._builder import blocked_entries

    try:
        with open(path, encoding="utf-8-sig") as file:
            lines = file.read().splitlines()
    except OSError as error:
        raise InputError(f"--block {path}: {error.strerror}") from None
    except UnicodeDecodeError:
        raise InputError(f"--block {path}: not UTF-8 text") from None
    try:
        blocked_entries(lines, f"--block {path}: line")
    except ValueError as error:
        raise InputError(str(error)) from None
    return lines


def build_command(args: argparse.Namespace) -> int:
    progress = _Progress(args.quiet)
    try:
        return _build(args, progress)
    except InputError as error:
        # One line, and on a line of its own after an unfinished progress bar.
        raise SystemExit(("\n" if progress.shown else "") + "torrelm build: error: "
                         + _printable(str(error))) from None


def _whole_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is below 0")
    return value


def _ratio(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not value > 1 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r}: the ratio must be a finite number above 1")
    return value


class _Parser(argparse.ArgumentParser):
    """argparse's parser, whose usage errors are one line like every other error of the
    command: the usage it would print first is one --help away."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, _printable(f"{self.prog}: error: {message} (--help shows the usage)") + "\n")


def main(argv: Sequence[str] | None = None) -> int:
    parser = _Parser(prog="python -m torrelm", description=_DESCRIPTION)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    build_parser = commands.add_parser("build", help="build an index from click logs",
                                       description=_BUILD_HELP)
    build_parser.add_argument("clicks", nargs="+", metavar="CLICKS",
                              help="Parquet or CSV files, folders of them, or glob patterns "
                              "(a file that exists is read by its name, even one holding *, ? "
                              "or [)")
    build_parser.add_argument("-o", "--output", required=True, metavar="INDEX",
                              help="the index file to write")
    build_parser.add_argument("--video-top-n", type=int, default=10, metavar="N",
                              help="videos kept per node (default 10)")
    build_parser.add_argument("--sql", metavar="QUERY",
                              help="the aggregation to run over the view 'clicks'")
    build_parser.add_argument("--normalize", choices=("none", "casefold", "fold-accents"),
                              default="casefold",
                              help="how terms and queries are folded (default casefold): case "
                              "and, with fold-accents, accents; both trim whitespace and "
                              "collapse its runs to one space")
    build_parser.add_argument("--min-count", type=_whole_number, default=0, metavar="N",
                              help="leave out terms counted fewer than N times, with their "
                              "clicks (default 0: keep all)")
    build_parser.add_argument("--merge-variants", type=_ratio, nargs="?", metavar="RATIO",
                              const=DEFAULT_MERGE_RATIO,
                              help="fold each term one edit from a term searched RATIO times as "
                              f"often (default {DEFAULT_MERGE_RATIO:g}), whose clicks went mostly "
                              "to that term's videos, into that term; and merge spellings that "
                              "differ only in accents")
    build_parser.add_argument("--merged-pairs", metavar="FILE",
                              help="write the merged (variant, term, counts) pairs to FILE as "
                              "CSV (a regular file, neither an input nor the output); a term "
                              "that starts with =, +, -, @, a tab or a carriage return is "
                              "written after a single quote (') so that no spreadsheet takes "
                              "it for a formula")
    build_parser.add_argument("--word-starts", action="store_true",
                              help="find a term of several words from the start of each of its "
                              "words too: 'cat vid' completes to 'funny cat videos' (from its "
                              "first 8 later words that start within its first 64 characters)")
    build_parser.add_argument("--time-column", metavar="COLUMN",
                              help="weigh each click by its age, from this column (a timestamp, "
                              "a date, text DuckDB reads as one, or seconds since the epoch); "
                              "needs --half-life")
    build_parser.add_argument("--half-life", type=_duration, metavar="DURATION",
                              help="the age at which a click counts half (7d, 12h, 90min, 2w): "
                              "each (term, video)'s weighed clicks are summed, then rounded to "
                              "the nearest whole number, halves up; a sum that rounds to 0 is "
                              "left out")
    build_parser.add_argument("--now", metavar="TIME",
                              help="the time ages are taken from (2026-12-08, "
                              "2026-12-08T12:00:00, or seconds since the epoch; default: the "
                              "newest click's), so that the same logs give the same index")
    build_parser.add_argument("--block", metavar="FILE",
                              help="leave out the terms FILE names, one a line, folded as the "
                              "terms are (--normalize): a line blocks that whole term, '~word' "
                              "every term holding that word between spaces, '\\#tag' the term "
                              "'#tag'; blank lines and lines starting with # are skipped. A "
                              "blocked term goes with its clicks and the spellings folded into "
                              "it (--merge-variants)")
    build_parser.add_argument("--allow-empty", action="store_true",
                              help="write an index without terms when there are no rows, "
                              "instead of failing")
    build_parser.add_argument("-q", "--quiet", action="store_true",
                              help="no progress: standard error shows errors and the result only")
    build_parser.set_defaults(run=build_command)
    serve_parser = add_serve_parser(commands)
    serve_parser.set_defaults(run=serve_command)
    args = parser.parse_args(argv)
    if args.command == "build":
        if not 0 <= args.video_top_n <= 2**32 - 1:
            build_parser.error("--video-top-n must lie in 0 .. 2**32-1")
        if args.sql is not None and not args.sql.strip().rstrip(";").strip():
            build_parser.error("--sql cannot be empty")
        if (args.time_column is None) != (args.half_life is None):
            build_parser.error("--time-column and --half-life go together")
        if args.now is not None and args.time_column is None:
            build_parser.error("--now needs --time-column and --half-life")
    if args.command == "serve":
        args = serve_settings(args, serve_parser)
    result: int = args.run(args)
    return result

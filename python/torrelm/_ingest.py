"""torrelm.build: an index from click-count rows, read and aggregated in native code."""

from __future__ import annotations

import itertools
import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Union

from ._normalize import NormalizeOption

if TYPE_CHECKING:
    from ._builder import BlockOption
    from ._native import Index, RowTable

Progress = Callable[[str, int, int], None]
Rows = Union[Any, Mapping[str, Any], Iterable[tuple[object, object, object]]]

# Rows of an iterable go to the native table in batches of this many, as plain lists.
_BATCH = 65_536


def build(rows: Rows, *, columns: Sequence[str] = ("term", "video", "count"),
          video_top_n: int = 10, progress: Progress | bool | None = None,
          normalize: NormalizeOption = None, min_count: int = 0,
          merge_variants: bool | float = False,
          merged_pairs: str | os.PathLike[str] | None = None,
          word_starts: bool = False, block: BlockOption = None) -> Index:
    """The index of (term, video, count) rows.

    `rows` is any object that exports Arrow data (`__arrow_c_stream__` or `__arrow_c_array__`:
    pyarrow tables and readers, polars frames, DuckDB relations, pandas 2.2+ frames), a mapping
    of column name to a sequence or NumPy array, or an iterable of (term, video, count) triples.
    `columns` names the term, video and count columns, and optionally a fourth one holding each
    term's total count (at least the sum of its counts; by default the sum itself).

    Terms are strings; counts are non-negative integers. Videos are integers, strings (a site's
    own ids, such as 11-character slugs) or 16-byte values (bytes, uuid.UUID, Arrow fixed-size
    binary), one kind for every row. When every video is an integer from 0 to 2**32-1, the index
    names them by their decimal text; integers from -2**63 to 2**64-1 beyond that range (below 0
    and above 2**63-1 not both), and strings, come back from fuzzy_match_video() as they were
    given. Counts of the same (term, video) add up, stopping at 2**32-1. A bad row raises
    ValueError or TypeError naming its number (from 0), its column and its value, and nothing is
    built. `progress` is called as progress(stage, done, total) between batches and stages, or
    shows a bar on standard error if True (with tqdm when installed). The index records when and
    from how many rows it was built in its metadata.

    `normalize` folds the terms: None keeps them as given; "casefold" applies Unicode case
    folding and NFKC; "fold-accents" also removes accents (NFKD, combining marks dropped, NFC);
    a callable str -> str does what it does. Terms that fold alike merge (their counts add), and
    complete() and suggest() show the most counted spelling of each; the index records the
    choice, and every query folds its text the same way. Both named foldings also trim
    whitespace and collapse every run of it (any Unicode space) to one space; a term that folds
    to nothing is left out with its clicks.

    `min_count` leaves out the terms counted fewer times (a term's count is its total, else the
    sum of its counts), their clicks with them. `merge_variants` (True, or a ratio above 1; True
    means 10) folds each term that is one edit from a term searched at least that many times as
    often, and whose clicks went mostly to that term's videos, into it: its clicks go to that
    term, and only that term is offered. An edit that touches a digit, or a term whose clicks
    went elsewhere (two at most), folds only into a term searched 50 times as often. It also
    merges spellings that differ only in accents (`pokemon` into `pokémon`) unless the bare one
    is searched ten times as often or their clicks went apart; docs/guide.md has the rules and
    when not to use them. `merged_pairs` names a CSV file to write the merged
    (variant, term, variant_count, term_count) rows to. The metadata records what was left out
    (dropped_terms, dropped_clicks) and how many terms were merged (merged_terms).

    `block` leaves terms out by name: the path of a file of entries, or an iterable of entries
    (str), one entry a line. Each is trimmed of whitespace and folded as `normalize` folds the
    terms; blank lines and lines starting with # are skipped. A plain entry blocks that whole
    term; `~word` blocks every term holding that word between spaces (`~spoiler` blocks
    `movie spoiler ending` but not `spoilers`); an entry starting with a backslash blocks the
    rest of it as a whole term (`\\#shorts`); a `~` entry with whitespace inside, or a space once
    folded, is refused (ValueError), as it could match nothing. A blocked term is left out with its clicks, its
    videos and every spelling that `normalize` or `merge_variants` folds into it: with
    merge_variants, `fortniet` folds into a blocked `fortnite` and goes with it, where without
    it, it stays. A blocked term that is itself a slip of another term goes alone, its clicks
    too. The metadata counts them apart (blocked_terms, blocked_clicks).

    `word_starts` makes a term of several words findable from the start of each later word too:
    complete("cat vid") and typeahead("cat vid") offer "funny cat videos", ranked with the same
    score as every other completion (edits apply from a term's start only). A term is found from
    its first 8 later words that start within its first 64 code points. The index grows by the
    text of those word starts; a word after the first cannot hold U+001F, the separator of that
    index (ValueError)."""
    from ._builder import _finish, _progress_reporter, cleaning
    from ._native import RowTable
    from ._normalize import resolve

    names = _column_names(columns)
    resolve(normalize)  # a bad option is refused before any row is read
    clean = cleaning(min_count, merge_variants, merged_pairs, word_starts, block)
    if isinstance(video_top_n, bool) or not isinstance(video_top_n, int):
        raise TypeError(f"video_top_n must be an int, not {type(video_top_n).__name__}")
    if not 0 <= video_top_n <= 2**32 - 1:
        raise ValueError(f"video_top_n {video_top_n} must lie in 0 .. 2**32-1")
    report = _progress_reporter(progress)
    table = RowTable()
    stream = _arrow_stream(rows)
    if stream is not None:
        table.add_arrow_stream(stream, *names, report)
    elif hasattr(rows, "__arrow_c_array__"):
        schema, array = rows.__arrow_c_array__()
        table.add_arrow_array(schema, array, *names)
    elif isinstance(rows, Mapping) or _is_frame(rows):
        missing = [name for name in names if name is not None and name not in rows]
        if missing:
            raise ValueError(f"no column {missing[0]!r} among {', '.join(map(repr, rows))}")
        term, video, count, totals = names
        source: Any = rows
        column = (lambda name: source[name].to_numpy()) if _is_frame(rows) else source.__getitem__
        table.add_columns(column(term), column(video), column(count),
                          None if totals is None else column(totals), term, video, count,
                          totals or "totals")
    elif isinstance(rows, (str, bytes)) or not isinstance(rows, Iterable):
        raise TypeError("rows must export Arrow data, be a mapping of columns or an iterable of "
                        f"(term, video, count) triples, not {type(rows).__name__}")
    else:
        _add_triples(table, rows, report, names)
    return _finish(table, table.rows, video_top_n, report, normalize, clean)


def _arrow_stream(rows: Any) -> Any:
    """The Arrow stream capsule of `rows`, or None. A pandas frame exports one only through
    pyarrow: without it, its columns are read as NumPy arrays instead."""
    if not hasattr(rows, "__arrow_c_stream__"):
        return None
    try:
        return rows.__arrow_c_stream__()
    except ImportError:
        if _is_frame(rows):
            return None
        raise


def _is_frame(rows: Any) -> bool:
    return type(rows).__name__ == "DataFrame" and hasattr(rows, "columns")


def _column_names(columns: Sequence[str]) -> tuple[str, str, str, str | None]:
    if isinstance(columns, str) or len(columns) not in (3, 4):
        raise ValueError("columns must name the term, video and count columns, and optionally "
                         f"a totals column, not {columns!r}")
    for name in columns:
        if not isinstance(name, str):
            raise TypeError(f"column names must be str, not {type(name).__name__}")
    term, video, count = columns[0], columns[1], columns[2]
    return term, video, count, columns[3] if len(columns) == 4 else None


def _add_triples(table: RowTable, rows: Iterable[Any], report: Progress,
                 names: tuple[str, str, str, str | None]) -> None:
    with_totals = names[3] is not None
    width = 4 if with_totals else 3
    tail = (names[0], names[1], names[2], names[3] or "totals")
    iterator = iter(rows)
    done = 0
    while batch := list(itertools.islice(iterator, _BATCH)):
        for offset, row in enumerate(batch):
            if not isinstance(row, (tuple, list)) or len(row) != width:
                shape = f"a {type(row).__name__}" if not isinstance(row, (tuple, list)) \
                    else f"{len(row)} values"
                raise TypeError(f"row {done + offset}: expected (term, video, count"
                                f"{', total' if with_totals else ''}), got {shape}")
        columns: list[Any] = list(zip(*batch))
        if not with_totals:
            columns.append(None)
        terms, videos, counts, totals = columns
        table.add_columns(terms, videos, counts, totals, *tail)
        done += len(batch)
        report("read", done, 0)

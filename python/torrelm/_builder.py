"""IndexBuilder: collects (term, video, count) triples and lays them out as an Index."""

from __future__ import annotations

import csv
import datetime
import json
import math
import operator
import os
import stat
import sys
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Literal, NamedTuple, SupportsIndex, Union, cast

from ._native import Index, RowTable
from ._normalize import NormalizeOption, recorded, resolve

Video = Union[SupportsIndex, str, uuid.UUID, bytes]
Progress = Callable[[str, int, int], None]
Kind = Literal["int", "str", "uuid"]

_MAX_U32 = 2**32 - 1
_MAX_U64 = 2**64 - 1
_MIN_I64 = -(2**63)
_MAX_I64 = 2**63 - 1


def _integer(value: object, what: str, where: str) -> int:
    """`value` as a plain int: any integer type is taken through __index__, bool is refused.

    The result is an exact int, so that the range checks that follow cannot be answered by a
    subclass's own comparison operators."""
    if type(value) is int:
        return value
    if isinstance(value, bool):
        raise TypeError(f"{where}{what} {value!r}: expected an int, not bool")
    try:
        return int(operator.index(value))  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"{where}{what} {value!r}: expected an int, not {type(value).__name__}"
        ) from None


def _video_key(video: object, where: str) -> tuple[Kind, int | str | bytes]:
    """The kind of a video identifier and the key it is told apart by: an exact int, a plain
    str, or the 16 bytes of a uuid."""
    if type(video) is int and 0 <= video <= _MAX_U32:  # most calls
        return "int", video
    if isinstance(video, str):
        return "str", str.__str__(video)  # a plain str: a subclass's __eq__ must not merge ids
    if isinstance(video, uuid.UUID):
        return "uuid", video.bytes
    if isinstance(video, bytes):
        if len(video) != 16:
            raise ValueError(f"{where}video {video!r}: a bytes id must be exactly 16 bytes long, "
                             f"not {len(video)}")
        return "uuid", bytes(video)
    try:
        number = _integer(video, "video", where)
    except TypeError:
        raise TypeError(
            f"{where}video {video!r}: expected an int, a str, a uuid.UUID or 16 bytes, "
            f"not {type(video).__name__}"
        ) from None
    if not _MIN_I64 <= number <= _MAX_U64:
        raise ValueError(f"{where}video {video!r}: an integer id must lie in -2**63 .. 2**64-1")
    return "int", number


def _check_signs(ids: Sequence[int]) -> None:
    """Refuses ints that no one 64-bit type holds: a table of ids is signed or unsigned."""
    if ids and min(ids) < 0 and max(ids) > _MAX_I64:
        raise ValueError(f"videos {min(ids)!r} and {max(ids)!r}: ids above 2**63-1 and below 0 "
                         "cannot share one index")


def _build_metadata(rows: int, video_top_n: int, normalized: Mapping[str, object]) -> str:
    """What a builder records in the index it makes, as JSON text."""
    from . import __version__  # here, not at the top: the package imports this module

    now = datetime.datetime.now(datetime.timezone.utc)
    return json.dumps({
        "build_time": now.strftime("%Y-%m-%dT%H:%M:%S.%fZ"),
        "rows": rows,
        "video_top_n": video_top_n,
        "library_version": __version__,
        **normalized,
    })


DEFAULT_MERGE_RATIO = 10.0


# A block list: the path of a file of entries, one a line, or the entries themselves.
BlockOption = Union[str, os.PathLike[str], Iterable[str], None]


class Blocked(NamedTuple):
    """The entries of a block list, trimmed but not yet folded: whole terms, and words."""
    terms: tuple[str, ...] = ()
    words: tuple[str, ...] = ()


def blocked_entries(lines: Iterable[object], where: str) -> Blocked:
    """The whole terms and the words that `lines` block. One entry a line, whitespace trimmed;
    blank lines and lines starting with # are skipped; ~word blocks every term holding that
    word; a line starting with a backslash blocks the rest of it as a whole term (for a term
    starting with #, ~ or a backslash). `where` names an entry in errors, before its number
    from 1 ("block 'list.txt': line")."""
    terms: list[str] = []
    words: list[str] = []
    for number, line in enumerate(lines, 1):
        if not isinstance(line, str):
            raise TypeError(f"{where} {number}: expected str, not {type(line).__name__}")
        entry = line.strip()
        if not entry or entry.startswith("#"):
            continue
        try:
            entry.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"{where} {number}: {entry!r}: an entry cannot contain lone "
                             "surrogates") from None
        if entry.startswith("~"):
            word = entry[1:].strip()
            if not word:
                raise ValueError(f"{where} {number}: '~' names no word")
            if len(word.split()) > 1:
                # Folded, the space would stay: a word between spaces never holds one.
                raise ValueError(f"{where} {number}: {entry!r} names more than one word (block "
                                 "the whole term instead)")
            words.append(word)
        else:
            terms.append(entry[1:] if entry.startswith("\\") else entry)
    return Blocked(tuple(terms), tuple(words))


def _block_list(block: BlockOption) -> Blocked | None:
    if block is None:
        return None
    if isinstance(block, (str, os.PathLike)):
        # A BOM is no part of the first entry; any line break ends a line.
        with open(block, encoding="utf-8-sig") as file:
            return blocked_entries(file.read().splitlines(),
                                   f"block {os.fspath(block)!r}: line")
    if isinstance(block, (bytes, bytearray)) or not isinstance(block, Iterable):
        raise TypeError("block must be a path or an iterable of str entries, not "
                        f"{type(block).__name__}")
    return blocked_entries(block, "block entry")


def _folded(blocked: Blocked, function: Callable[[str], str] | None) -> tuple[list[str], list[str]]:
    """The block list's terms and words folded as the index's terms are. An entry that folds to
    nothing could only match a term that is left out anyway."""
    def fold(entry: str) -> str:
        if function is None:
            return entry
        out = function(entry)
        if not isinstance(out, str):
            raise TypeError(f"normalize({entry!r}) returned {type(out).__name__}, not str")
        return out

    words = []
    for entry in blocked.words:
        word = fold(entry)
        if " " in word:
            raise ValueError(f"block entry ~{entry}: {word!r} holds a space once folded, and "
                             "words are matched between spaces (block the whole term instead)")
        if word:
            words.append(word)
    return [text for text in map(fold, blocked.terms) if text], words


class Cleaning(NamedTuple):
    """What a build leaves out and folds together besides normalising: terms counted fewer than
    min_count times, and (with a ratio) the variants of terms searched that many times as often.
    merged_pairs names a CSV file the merged pairs are written to. block holds the terms and
    words left out by name."""
    min_count: int = 0
    merge_ratio: float | None = None
    merged_pairs: str | os.PathLike[str] | None = None
    word_starts: bool = False
    block: Blocked | None = None


def cleaning(min_count: SupportsIndex = 0, merge_variants: bool | float = False,
             merged_pairs: str | os.PathLike[str] | None = None,
             word_starts: bool = False, block: BlockOption = None) -> Cleaning:
    """The options checked, and the block list read, before any row is read."""
    least = _check_count(min_count, "min_count")
    ratio: float | None = None
    if merge_variants is True:
        ratio = DEFAULT_MERGE_RATIO
    elif merge_variants is not False and merge_variants is not None:
        if isinstance(merge_variants, bool) or not isinstance(merge_variants, (int, float)):
            raise TypeError("merge_variants must be a bool or a number, not "
                            f"{type(merge_variants).__name__}")
        ratio = float(merge_variants)
        if not ratio > 1 or math.isinf(ratio):
            raise ValueError(f"merge_variants {merge_variants!r}: the ratio must be a finite "
                             "number above 1")
    if merged_pairs is not None and ratio is None:
        raise ValueError("merged_pairs needs merge_variants")
    if merged_pairs is not None:
        from ._storage import _kind

        # Refused before any row is read: opening a FIFO would wait for a reader for good.
        try:
            mode = os.stat(merged_pairs).st_mode
        except FileNotFoundError:
            pass
        else:
            if not stat.S_ISREG(mode):
                raise ValueError(f"merged_pairs {os.fspath(merged_pairs)!r} is {_kind(mode)}, "
                                 "not a regular file")
    if not isinstance(word_starts, bool):
        raise TypeError(f"word_starts must be a bool, not {type(word_starts).__name__}")
    return Cleaning(least, ratio, merged_pairs, word_starts, _block_list(block))


# A cell that starts with one of these is a formula to a spreadsheet that opens the file (or
# becomes one once the tab or CR before it is taken for a separator): a search term is whatever
# anyone typed, "=HYPERLINK(...)" included.
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def _cell(term: str) -> str:
    """`term` as a CSV cell no spreadsheet runs: a leading single quote before a formula start,
    which spreadsheets take as "text" and show no more of."""
    return "'" + term if term.startswith(_FORMULA_STARTS) else term


def _write_pairs(path: str | os.PathLike[str], pairs: list[tuple[str, str, int, int]]) -> None:
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(["variant", "term", "variant_count", "term_count"])
        writer.writerows((_cell(variant), _cell(term), variant_count, term_count)
                         for variant, term, variant_count, term_count in pairs)


def _finish(table: RowTable, rows: int, video_top_n: int, progress: Progress,
            normalize: NormalizeOption, clean: Cleaning = Cleaning()) -> Index:
    """The index of `table`, its terms normalised as `normalize` says and cleaned as `clean`
    says, with its build metadata (which names the normalisation, so that its queries are
    normalised alike, and says what the cleaning left out and merged)."""
    function, name = resolve(normalize)
    terms, words = _folded(clean.block or Blocked(), function)
    index = table.build(video_top_n, progress, function, clean.min_count, clean.merge_ratio,
                        clean.word_starts, terms, words)
    report = table.report
    custom = function if name == "custom" else None
    extra: dict[str, object] = dict(recorded(function, name))
    if clean.min_count:
        extra["min_count"] = clean.min_count
    if clean.merge_ratio is not None:
        extra["merge_ratio"] = clean.merge_ratio
        extra["merged_terms"] = len(report["merged"])
    if report["dropped_terms"] or clean.min_count:
        extra["dropped_terms"] = report["dropped_terms"]
        extra["dropped_clicks"] = report["dropped_clicks"]
    if clean.block is not None:
        extra["blocked_terms"] = report["blocked_terms"]
        extra["blocked_clicks"] = report["blocked_clicks"]
    if clean.word_starts:
        extra["word_starts"] = True
    if clean.merged_pairs is not None:
        _write_pairs(clean.merged_pairs, report["merged"])
    return index._with_extras(None, _build_metadata(rows, video_top_n, extra), custom)


def _check_term(term: object, where: str) -> str:
    if not isinstance(term, str):
        raise TypeError(f"{where}term {term!r}: expected str, not {type(term).__name__}")
    if not term:
        raise ValueError(f"{where}term '': an empty term cannot be indexed")
    if "\0" in term:
        raise ValueError(f"{where}term {term!r}: a term cannot contain the character U+0000")
    if not term.isascii():
        try:
            term.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(
                f"{where}term {term!r}: a term cannot contain lone surrogates"
            ) from None
    return str.__str__(term)  # a plain str: sorting must not run a subclass's operators


def _check_count(count: object, what: str, where: str = "") -> int:
    number = _integer(count, what, where)
    if number < 0:
        raise ValueError(f"{where}{what} {count!r}: counts cannot be negative")
    return number


class IndexBuilder:
    """Collects which videos each term leads to, then builds an Index.

    >>> builder = IndexBuilder()
    >>> builder.add("cat", 17, count=6)
    >>> builder.add("cat", 42, count=4)
    >>> builder.add("car", 42, count=5)
    >>> index = builder.build(video_top_n=10)
    >>> index.fuzzy_match_video("cat", max_dist=0)
    [('17', 0.6), ('42', 0.4)]

    Video identifiers are ints, strs (a site's own ids, such as 11-character slugs) or 16-byte
    values (uuid.UUID or bytes); one index holds one kind only. Any integer type (numpy's
    included, bool excepted) is taken as an int. When every id is an int from 0 to 2**32-1 the
    index names its videos by their decimal text, as above; ints from -2**63 to 2**64-1 beyond
    that range, and strs, come back from fuzzy_match_video() exactly as they were given (ints
    below 0 and above 2**63-1 cannot share one index). Counts of the same (term, video) pair add
    up; a term's total count is the sum of its video counts unless set_total() says otherwise.
    Sums stop at 2**32-1. The index's metadata records when, from how many add() calls and with
    which video_top_n it was built.

    `normalize` folds the terms as torrelm.build() does: None, "casefold", "fold-accents" or a
    callable str -> str.
    """

    def __init__(self, *, normalize: NormalizeOption = None) -> None:
        resolve(normalize)  # a bad option is refused now, not at build()
        self._normalize = normalize
        self._terms: dict[str, dict[int, int]] = {}
        self._totals: dict[str, int] = {}
        self._video_kind: Kind | None = None
        self._wide = False  # an int id outside 0 .. 2**32-1 was added: ids are kept as given
        self._positions: dict[int | str | bytes, int] = {}  # id key -> position in video_index
        self._videos: list[int | str | bytes] = []  # by position: the id key
        self._first_terms: list[str] = []  # by position: the term first seen with the video
        self._rows = 0  # add() calls that added a row

    def __len__(self) -> int:
        """The number of distinct terms added so far."""
        return len(self._terms)

    def add(self, term: str, video: Video, count: SupportsIndex = 1) -> None:
        """Records that `term` leads to `video`, `count` times (added to earlier counts).
        A call that raises leaves the builder as it was."""
        self._add(term, video, count, "")

    def add_many(self, triples: Iterable[tuple[str, Video, SupportsIndex]]) -> None:
        """add() for every (term, video, count) triple. A bad row raises an error naming its
        index (counted from 0); the rows before it stay added, the rest are not looked at."""
        for row, triple in enumerate(triples):
            try:
                term, video, count = triple
            except (TypeError, ValueError) as error:
                kind = TypeError if isinstance(error, TypeError) else ValueError
                raise kind(f"row {row}: expected a (term, video, count) triple: {error}") from None
            self._add(term, video, count, f"row {row}: ")

    def _add(self, term: object, video: object, count: object, where: str) -> None:
        # Everything is checked before anything changes, so that a refused row leaves no trace:
        # no identifier kind fixed, no video position taken, no empty term entry.
        term = _check_term(term, where)
        kind, key = _video_key(video, where)
        number = _check_count(count, "count", where)
        if self._video_kind is not None and kind != self._video_kind:
            raise ValueError(
                f"{where}video {video!r}: this index holds {self._video_kind} ids and cannot mix "
                f"in {kind} ids; use one kind of identifier for every video"
            )
        self._video_kind = kind
        position = self._positions.get(key)
        if position is None:
            position = self._positions[key] = len(self._positions)
            self._videos.append(key)
            self._first_terms.append(term)
            if isinstance(key, int) and not 0 <= key <= _MAX_U32:
                self._wide = True
        videos = self._terms.setdefault(term, {})
        # The true sum (up to 2**64-1): a payload is ordered by it, its count stops at 2**32-1.
        videos[position] = min(videos.get(position, 0) + number, _MAX_U64)
        self._rows += 1

    def set_total(self, term: str, total_count: SupportsIndex) -> None:
        """Sets the total count of a term (by default, the sum of its video counts): the
        denominator against which its videos are weighed. The term must have been added, and by
        build() the total must be at least the sum of its video counts."""
        term = _check_term(term, "")
        total = _check_count(total_count, "total_count")
        if term not in self._terms:
            raise KeyError(f"term {term!r} has not been added")
        self._totals[term] = min(total, _MAX_U64)  # the term's count; its total stops at 2**32-1

    def build(
        self, video_top_n: SupportsIndex = 10, progress: Progress | bool | None = None, *,
        normalize: NormalizeOption = None, min_count: SupportsIndex = 0,
        merge_variants: bool | float = False,
        merged_pairs: str | os.PathLike[str] | None = None, word_starts: bool = False,
        block: BlockOption = None,
    ) -> Index:
        """Builds the index in native code (torrelm.build's engine); each node keeps its
        `video_top_n` best videos. `progress` is called as progress(stage, done, total) between
        stages, or, if True, reports on standard error (through tqdm when installed).
        `normalize`, when given, folds the terms instead of the builder's own choice;
        `min_count`, `merge_variants`, `merged_pairs`, `word_starts` and `block` work as in
        torrelm.build()."""
        normalize = self._normalize if normalize is None else normalize
        resolve(normalize)
        clean = cleaning(min_count, merge_variants, merged_pairs, word_starts, block)
        # Keeping more videos than there can be is keeping them all.
        top_n = min(_check_count(video_top_n, "video_top_n"), _MAX_U32)
        for term, total in self._totals.items():
            # A total below the counts would give shares above 1.
            counted = min(sum(self._terms[term].values()), _MAX_U32)
            if min(total, _MAX_U32) < counted:
                raise ValueError(f"term {term!r}: total_count {total} is below the sum of its "
                                 f"video counts, {counted}")
        # The native table refuses such ids too, but naming one of its own rows, not the two ids.
        if self._wide:
            _check_signs(cast("list[int]", self._videos))
        terms: list[str] = []
        videos: list[int | str | bytes] = []
        counts: list[int] = []
        totals: list[int | None] = []

        def row(term: str, position: int) -> None:
            terms.append(term)
            videos.append(self._videos[position])
            counts.append(self._terms[term][position])
            totals.append(self._totals.get(term))

        # Each video's first row first, so that the native table numbers the videos in the order
        # this builder met them (the order that breaks ties between equal scores), then the rest.
        for position, term in enumerate(self._first_terms):
            row(term, position)
        for term, slots in self._terms.items():
            for position in slots:
                if self._first_terms[position] != term:
                    row(term, position)
        table = RowTable()
        table.add_columns(terms, videos, counts, totals)
        return _finish(table, self._rows, top_n, _progress_reporter(progress), normalize, clean)


def _progress_reporter(progress: Progress | bool | None) -> Progress:
    if progress is None or progress is False:
        return lambda stage, done, total: None
    if progress is not True:
        return progress
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        def to_stderr(stage: str, done: int, total: int) -> None:
            of = f"/{total:,}" if total else ""
            print(f"\r{stage}: {done:,}{of}", end="\n" if total and done >= total else "",
                  file=sys.stderr, flush=True)
        return to_stderr
    bars: dict[str, tqdm] = {}

    def to_bar(stage: str, done: int, total: int) -> None:
        # A total of 0 is not known yet (rows still being read); a new stage ends the others.
        bar = bars.get(stage)
        if bar is None:
            for other in bars.values():
                other.close()
            bar = bars[stage] = tqdm(total=total or None, desc=stage,
                                     unit="row" if stage == "read" else "")
        bar.update(done - bar.n)
        if total and done >= total:
            bar.close()

    return to_bar

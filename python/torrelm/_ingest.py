"""torrelm.build: an index from click-count rows, read and aggregated in native code."""

from __future__ import annotations

import itertools
import operator
import uuid
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Union

if TYPE_CHECKING:
    from ._native import Index, RowTable

Progress = Callable[[str, int, int], None]
Rows = Union[Any, Mapping[str, Any], Iterable[tuple[object, object, object]]]

# Rows of an iterable go to the native table in batches of this many, as plain lists.
_BATCH = 65_536

_MAX_U32 = 2**32 - 1
_MIN_I64 = -(2**63)
_MAX_U64 = 2**64 - 1


def build(rows: Rows, *, columns: Sequence[str] = ("term", "video", "count"),
          video_top_n: int = 10, progress: Progress | bool | None = None) -> Index:
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
    given. Arrow string columns, and Arrow integer columns holding such integers, are read with
    pyarrow. Counts of the same (term, video) add up, stopping at 2**32-1. A bad row raises
    ValueError or TypeError naming its number (from 0), its column and its value, and nothing is
    built. `progress` is called as progress(stage, done, total) between batches and stages, or
    shows a bar on standard error if True (with tqdm when installed). The index records when and
    from how many rows it was built in its metadata."""
    from ._builder import _finish, _progress_reporter
    from ._native import RowTable

    names = _column_names(columns)
    if isinstance(video_top_n, bool) or not isinstance(video_top_n, int):
        raise TypeError(f"video_top_n must be an int, not {type(video_top_n).__name__}")
    if not 0 <= video_top_n <= 2**32 - 1:
        raise ValueError(f"video_top_n {video_top_n} must lie in 0 .. 2**32-1")
    report = _progress_reporter(progress)
    table = RowTable()
    ids: list[Any] | None = None  # the site's ids by place, when places stand for them
    stream = _arrow_stream(rows)
    if stream is not None:
        table, ids = _add_stream(table, stream, names, report)
    elif hasattr(rows, "__arrow_c_array__"):
        table, ids = _add_array(table, rows, names, report)
    elif isinstance(rows, Mapping) or _is_frame(rows):
        missing = [name for name in names if name is not None and name not in rows]
        if missing:
            raise ValueError(f"no column {missing[0]!r} among {', '.join(map(repr, rows))}")
        term, video, count, totals = names
        source: Any = rows
        column = (lambda name: source[name].to_numpy()) if _is_frame(rows) else source.__getitem__
        places = _Places(video)
        videos = places.column(column(video))
        table.add_columns(column(term), videos, column(count),
                          None if totals is None else column(totals), term, video, count,
                          totals or "totals")
        ids = places.ids if places.kind is not None else None
    elif isinstance(rows, (str, bytes)) or not isinstance(rows, Iterable):
        raise TypeError("rows must export Arrow data, be a mapping of columns or an iterable of "
                        f"(term, video, count) triples, not {type(rows).__name__}")
    else:
        table, ids = _add_triples(table, rows, report, names)
    if ids is not None and ids and isinstance(ids[0], int):
        from ._builder import _check_signs
        _check_signs(ids)
    added = table.rows
    return _finish(table.build(video_top_n, report), ids, added, video_top_n)


class _Places:
    """Numbers the site's own video ids (strs, or ints beyond 0 .. 2**32-1) by first appearance:
    the native table is given these places as 4-byte ids, and the index keeps `ids`, the table
    of the ids they stand for. Values are checked as the native table checks them, and errors
    name the row and column the same way."""

    def __init__(self, name: str, held: str | None = None) -> None:
        self.name = name
        self.kind: str | None = None  # "int" or "str" once a value is placed
        self.held = held  # the kind of the rows added before places began, if any
        self.ids: list[Any] = []
        self._places: dict[object, int] = {}

    def column(self, values: Any, first_row: int = 0) -> Any:
        """`values` as the native table should take them: as they are when every one is an
        integer from 0 to 2**32-1 (or not an id this class places), else as places."""
        dtype = getattr(values, "dtype", None)
        if dtype is not None and getattr(values, "ndim", 1) == 1:
            if dtype.kind in "iu":
                if len(values) == 0 or (values.min() >= 0 and values.max() <= _MAX_U32):
                    return values
                return self._numbers(values)
            if dtype.kind not in "OU":
                return values  # the native table names what it cannot read
            values = values.tolist()
        elif isinstance(values, (str, bytes)) or not isinstance(values, Sequence):
            return values
        if self.kind is None and not _needs_places(values):
            return values
        return self.place(values, first_row)

    def _numbers(self, values: Any) -> Any:
        """Places of a NumPy integer array, numbered without a loop over its values."""
        import numpy

        if self.kind == "str" or self.ids:
            return self.place(values.tolist(), 0)
        unique, first, inverse = numpy.unique(values, return_index=True, return_inverse=True)
        order = numpy.argsort(first, kind="stable")
        rank = numpy.empty(len(unique), dtype=numpy.uint32)
        rank[order] = numpy.arange(len(unique), dtype=numpy.uint32)
        self.kind = "int"
        self.ids = unique[order].tolist()
        self._places = {video: place for place, video in enumerate(self.ids)}
        return rank[inverse.reshape(-1)]

    def place(self, values: Iterable[object], first_row: int) -> list[int]:
        places = self._places
        out: list[int] = []
        for offset, video in enumerate(values):
            place = places.get(video) if type(video) is int or type(video) is str else None
            if place is None:
                place = self._new(video, first_row + offset)
            out.append(place)
        return out

    def _new(self, video: object, row: int) -> int:
        where = f"row {row}: column '{self.name}': "
        kind, key = _site_id(video, where)
        held = self.kind or self.held
        if held is not None and kind != held:
            raise ValueError(f"{where}this row holds {_KINDS[kind][0]} where the rows before it "
                             f"hold {_KINDS[held][1]}; use one kind of id for every video")
        if kind == "uuid":
            # The first row of the data: what follows it holds a str or a wide int (else places
            # would not have been asked for), and is refused above before any row is added.
            self.held = kind
            return 0
        self.kind = kind
        place = self._places.get(key)
        if place is None:
            place = self._places[key] = len(self.ids)
            self.ids.append(key)
        return place


_KINDS = {"int": ("an integer id", "integer ids"), "str": ("a str id", "str ids"),
          "uuid": ("a 16-byte id", "16-byte ids")}


def _site_id(video: object, where: str) -> tuple[str, object]:
    """The kind and the key of one video id met while placing ids."""
    if isinstance(video, str):
        return "str", str.__str__(video)  # a plain str: a subclass's __eq__ must not merge ids
    if isinstance(video, (bytes, uuid.UUID)):
        return "uuid", video
    if not isinstance(video, bool):
        try:
            number = int(operator.index(video))  # type: ignore[arg-type]
        except TypeError:
            pass
        else:
            if not _MIN_I64 <= number <= _MAX_U64:
                raise ValueError(f"{where}{number!r} is out of range for an id "
                                 "(-2**63 to 2**64-1)")
            return "int", number
    raise TypeError(f"{where}expected an int, a str, a uuid.UUID or 16 bytes, not "
                    f"{type(video).__name__}")


def _needs_places(values: Iterable[object]) -> bool:
    """Whether any value is a str or an integer outside 0 .. 2**32-1. Other values are left to
    the native table, which takes or names them as before."""
    for video in values:
        if type(video) is int:
            if 0 <= video <= _MAX_U32:
                continue
            return True
        if isinstance(video, str):
            return True
        if isinstance(video, (bool, bytes, uuid.UUID)) or video is None:
            continue
        try:
            number = operator.index(video)  # type: ignore[arg-type]
        except TypeError:
            continue
        if not 0 <= number <= _MAX_U32:
            return True
    return False


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
                 names: tuple[str, str, str, str | None]) -> tuple[RowTable, list[Any] | None]:
    from ._native import RowTable

    with_totals = names[3] is not None
    width = 4 if with_totals else 3
    tail = (names[0], names[1], names[2], names[3] or "totals")
    places = _Places(names[1])
    placing = False  # the rows go to `table` as places
    # While every id is an int from 0 to 2**32-1 the index keeps them as they are, but a later
    # batch may bring one beyond that range, and the rows already read are gone: a second table
    # takes the same rows as places, to carry on from (it costs the distinct data, not the rows).
    shadow: RowTable | None = None
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
        if not placing and _needs_places(videos):
            placing = True
            if shadow is not None:
                table, shadow = shadow, None
            elif done > 0:
                places.held = "uuid"  # the rows before hold ids that cannot be placed
        if placing:
            table.add_columns(terms, places.place(videos, done), counts, totals, *tail)
        else:
            if done == 0 and _small_int(videos[0]):
                shadow = RowTable()
            table.add_columns(terms, videos, counts, totals, *tail)
            if shadow is not None:
                shadow.add_columns(terms, places.place(videos, done), counts, totals, *tail)
        done += len(batch)
        report("read", done, 0)
    return table, places.ids if placing else None


def _small_int(video: object) -> bool:
    if isinstance(video, bool):
        return False
    try:
        return 0 <= operator.index(video) <= _MAX_U32  # type: ignore[arg-type]
    except TypeError:
        return False


def _add_stream(table: RowTable, stream: Any, names: tuple[str, str, str, str | None],
                report: Progress) -> tuple[RowTable, list[Any] | None]:
    """Adds an Arrow stream. The native reader takes 4-byte and 16-byte ids; a video column of
    strings, or of integers that may lie outside 0 .. 2**32-1, is read with pyarrow, batch by
    batch, and its ids are replaced by places on the way."""
    try:
        import pyarrow  # type: ignore[import-untyped]
    except ImportError:
        _without_pyarrow(lambda: table.add_arrow_stream(stream, *names, report), names[1])
        return table, None
    return _add_reader(table, pyarrow.RecordBatchReader.from_stream(_Exported(stream)), names,
                       report)


def _add_array(table: RowTable, rows: Any, names: tuple[str, str, str, str | None],
               report: Progress) -> tuple[RowTable, list[Any] | None]:
    """Adds one Arrow record batch; as _add_stream when its video column needs places."""
    try:
        import pyarrow
    except ImportError:
        schema, array = rows.__arrow_c_array__()
        _without_pyarrow(lambda: table.add_arrow_array(schema, array, *names), names[1])
        return table, None
    batch = pyarrow.record_batch(rows)
    reader = pyarrow.RecordBatchReader.from_batches(batch.schema, [batch])
    return _add_reader(table, reader, names, report)


class _Exported:
    """An Arrow stream capsule already taken from its exporter, exported again as it is."""

    def __init__(self, capsule: Any) -> None:
        self._capsule = capsule

    def __arrow_c_stream__(self, requested_schema: object = None) -> Any:
        return self._capsule


def _without_pyarrow(add: Callable[[], None], video: str) -> None:
    """Runs `add`, telling what a refusal of the video column would take to be read."""
    try:
        add()
    except ValueError as error:
        text = str(error)
        if any(f"column '{video}' has Arrow type {code}" in text
               for code in ("'u'", "'U'", "'vu'")):
            raise TypeError(f"column '{video}' holds strings: string video ids from Arrow data "
                            "need pyarrow, which is not installed") from error
        if f"column '{video}': " in text and "out of range for a 4-byte id" in text:
            raise ValueError(f"{text}; integer video ids beyond that range from Arrow data need "
                             "pyarrow, which is not installed") from error
        raise


def _add_reader(table: RowTable, reader: Any, names: tuple[str, str, str, str | None],
                report: Progress) -> tuple[RowTable, list[Any] | None]:
    import pyarrow
    import pyarrow.compute  # type: ignore[import-untyped]

    from ._native import RowTable

    schema = reader.schema
    at = schema.get_field_index(names[1])
    kind = schema.field(at).type if at >= 0 else None  # no such column: the native reader says so
    if kind is not None and pyarrow.types.is_dictionary(kind):
        kind = kind.value_type
    if kind is not None and _is_text(pyarrow, kind):
        return table, _add_placed(table, reader, at, names, report)
    if kind is None or not (pyarrow.types.is_signed_integer(kind)
                            or pyarrow.types.is_uint64(kind)):
        table.add_arrow_stream(reader.__arrow_c_stream__(), *names, report)
        return table, None
    # Integers that may lie beyond 0 .. 2**32-1: read as they are until a batch holds one. Then
    # the rows read so far must become places too, so the batches read are kept until the end
    # (a view of the exporter's buffers for tables and frames; a copy for a stream computed on
    # the way, such as a DuckDB query's).
    kept: list[Any] = []
    wide: list[Any] = []

    def small() -> Iterator[Any]:
        for batch in reader:
            bounds = pyarrow.compute.min_max(batch.column(at)).as_py()
            if bounds["min"] is not None and (bounds["min"] < 0 or bounds["max"] > _MAX_U32):
                wide.append(batch)
                return
            kept.append(batch)
            yield batch

    direct = pyarrow.RecordBatchReader.from_batches(schema, small())
    table.add_arrow_stream(direct.__arrow_c_stream__(), *names, report)
    if not wide:
        return table, None

    def again() -> Iterator[Any]:
        while kept:
            yield kept.pop(0)
        yield wide.pop()
        yield from reader

    table = RowTable()
    return table, _add_placed(table, again(), at, names, report, schema)


def _is_text(pyarrow: Any, kind: Any) -> bool:
    types = pyarrow.types
    return bool(types.is_string(kind) or types.is_large_string(kind)
                or types.is_string_view(kind))


def _add_placed(table: RowTable, batches: Iterable[Any], at: int,
                names: tuple[str, str, str, str | None], report: Progress,
                schema: Any = None) -> list[Any]:
    """Adds Arrow batches with their video column (number `at`) replaced by places; the ids
    those stand for, by place."""
    import pyarrow

    if schema is None:
        schema = batches.schema  # type: ignore[attr-defined]
    places = _Places(names[1])
    placed = schema.set(at, pyarrow.field(names[1], pyarrow.uint32()))

    def mapped() -> Iterator[Any]:
        for batch in batches:
            column = batch.column(at)
            if pyarrow.types.is_dictionary(column.type):
                # Decoded by hand: pyarrow takes no rows out of a string view array.
                values = column.dictionary
                if pyarrow.types.is_string_view(values.type):
                    values = values.cast(pyarrow.large_string())
                column = values.take(column.indices)
            # Each distinct id once, in order of first appearance, then the rows by index.
            encoded = column.dictionary_encode()
            numbers = places.place(encoded.dictionary.to_pylist(), 0)
            column = pyarrow.array(numbers, pyarrow.uint32()).take(encoded.indices)
            yield batch.set_column(at, placed.field(at), column)

    stream = pyarrow.RecordBatchReader.from_batches(placed, mapped())
    table.add_arrow_stream(stream.__arrow_c_stream__(), *names, report)
    return places.ids

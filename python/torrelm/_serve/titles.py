"""The videos' titles, thumbnails and links that the service joins into its answers, kept in a
file that every worker maps rather than in a table of Python objects per worker.

convert() reads the videos file the service is given (Parquet or CSV, through DuckDB) once and
writes a lookup file; Titles.open() maps that file. A worker is a fresh interpreter, so what
it imports to read the file counts against its memory as much as the file does: the reader
uses the standard library only (mmap, struct, bisect, zlib). NumPy and pyarrow together
would add some 11 MB of private memory to every worker before a single title is read; the
converter, which runs once per file, uses them and DuckDB.

The lookup file, in the byte order of the machine that wrote it (recorded in the header):

    header    64 bytes: MAGIC (8), byte order b"<" or b">" then 7 zero bytes, rows n,
              text size, and the device, inode, mtime in ns and size of the file converted
    buckets   65,537 unsigned 64-bit: the first row whose hash has each value of its top 16
              bits, then n
    hashes    n unsigned 64-bit: the hash of each row's id, ascending
    offsets   4n + 1 unsigned 64-bit, positions in the file: row r's id, title, thumbnail and
              url are file[offsets[4r + k] : offsets[4r + k + 1]] for k = 0..3
    text      UTF-8; an empty title, thumbnail or url is a missing one

A look-up hashes the id, finds the first row with that hash by bisection over the rows of its
bucket (a few pages touched, not one per step of a bisection over all rows), and compares the
stored id with the one asked for (ids of one hash are rows next to each other, each compared in
turn).
"""

from __future__ import annotations

import bisect
import mmap
import os
import struct
import sys
import tempfile
import zlib
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

from .._storage import _open_regular

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

# What the service answers of a video besides its id and share; the first two are required.
COLUMNS = ("id", "title", "thumbnail", "url")

MAGIC = b"TRLMTTL1"
_HEADER = struct.Struct("=8s8s4QqQ")  # the source's mtime is signed: a file may predate 1970
_HEADER_SIZE = 64
_ORDER = b"<" if sys.byteorder == "little" else b">"
_BUCKET_BITS = 16
_BUCKETS_SIZE = 8 * ((1 << _BUCKET_BITS) + 1)
_SHIFT = 64 - _BUCKET_BITS
_ROW = struct.Struct("=5Q")  # one row's offsets: its four fields' starts and the end of the last

# Ids are hashed in batches of this many while converting, so that no list of every id as
# Python objects is ever held.
_BATCH = 65536


def _hash(video: bytes) -> int:
    """The 64-bit hash of an id's UTF-8 form: the same in every process, unlike hash(), and a
    few times cheaper than blake2b, which would be a third of a look-up's time. Ids of one hash
    are told apart by comparing them, so it only needs to spread them: CRC-32 orders them,
    Adler-32 parts most of those CRC-32 does not."""
    return zlib.crc32(video) << 32 | zlib.adler32(video)


class Source(NamedTuple):
    """The file a lookup file was converted from, as it was when it was read: the fields of the
    service's FileIdentity, in its order."""

    device: int
    inode: int
    mtime_ns: int
    size: int


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def _read_table(path: str) -> tuple[Any, os.stat_result]:
    """The rows of the Parquet or CSV file at `path` with an id, as a pyarrow table of the
    columns id, the length in bytes of the id, title, thumbnail and url (id_bytes, ...; an
    absent value is an empty one), and those four joined (joined); with the status of the file
    read."""
    import duckdb

    # Opened first: a missing file or a FIFO is an OSError naming it, not DuckDB's message;
    # and the identity read is that of the bytes read. DuckDB reads that very file through
    # /proc/self/fd, which reopens the descriptor's inode: given the name, it would expand
    # [, * and ? in it as a glob and might read some other file.
    descriptor, status = _open_regular(path)
    try:
        head = os.pread(descriptor, 4, 0)
        through = f"/proc/self/fd/{descriptor}"
        if head == b"PAR1":
            source = f"read_parquet({_literal(through)})"
        else:
            # DuckDB tells a compressed CSV by its name's extension, which this name lacks.
            compression = ("gzip" if head[:2] == b"\x1f\x8b" else
                           "zstd" if head == b"\x28\xb5\x2f\xfd" else "none")
            source = f"read_csv_auto({_literal(through)}, compression = '{compression}')"

        def unreadable(error: Exception) -> ValueError:
            return ValueError("not a table DuckDB reads ("
                              f"{str(error).replace(through, path)})")

        connection = duckdb.connect()
        try:
            try:
                found = [row[0] for row in connection.execute(
                    f"describe select * from {source}").fetchall()]
            except duckdb.Error as error:
                raise unreadable(error) from None
            # DuckDB's names are case-blind; so is the look-up of the columns.
            by_name = {str(name).lower(): str(name) for name in found}
            missing = [name for name in COLUMNS[:2] if name not in by_name]
            if missing:
                raise ValueError(f"no column {' or '.join(map(repr, missing))} (it has "
                                 f"{', '.join(map(repr, found)) or 'none'}): a videos file "
                                 "needs id and title, and may have thumbnail and url")

            def text(name: str) -> str:
                # An empty value is a missing one, as an empty CSV field already is: the file
                # stores '' for both.
                return (f'coalesce(nullif(cast("{by_name[name]}" as varchar), \'\'), \'\')'
                        if name in by_name else "''")

            # The id is the key: one that is missing or empty names no video. Rows keep the
            # file's order (DuckDB preserves insertion order), which decides among duplicates.
            selected = ", ".join(f"{text(name)} as {name}" for name in COLUMNS)
            # Each row's fields joined, and their lengths in bytes, as the lookup file keeps
            # them: DuckDB does it over its threads, faster than pyarrow does.
            joined = " || ".join(COLUMNS)
            lengths = ", ".join(f"strlen({name}) as {name}_bytes" for name in COLUMNS)
            try:
                relation = connection.sql(f"select id, {lengths}, {joined} as joined from "
                                          f"(select {selected} from {source}) where id <> ''")
                table = (relation.to_arrow_table() if hasattr(relation, "to_arrow_table")
                         else relation.arrow())
            except duckdb.Error as error:
                raise unreadable(error) from None
        finally:
            connection.close()
    finally:
        os.close(descriptor)
    return table, status


def _hashes(ids: Any) -> npt.NDArray[np.uint64]:
    import numpy as np
    import pyarrow as pa

    hashes = np.empty(len(ids), dtype=np.uint64)
    at = 0
    for chunk in ids.cast(pa.large_binary()).chunks:
        for start in range(0, len(chunk), _BATCH):
            batch = chunk.slice(start, _BATCH).to_pylist()
            hashes[at:at + len(batch)] = np.fromiter(map(_hash, batch), np.uint64, len(batch))
            at += len(batch)
    return hashes


def _kept(hashes: npt.NDArray[np.uint64], ids: Any) -> npt.NDArray[np.intp]:
    """The rows to keep, ordered by hash: of the rows that share an id, the last in the file, as
    in a dict filled in the file's order."""
    import numpy as np

    order = np.argsort(hashes, kind="stable")  # stable: equal hashes stay in the file's order
    ordered = hashes[order]
    same = np.flatnonzero(ordered[1:] == ordered[:-1])
    if not len(same):
        return order
    # Runs of one hash are duplicated ids or (rarely) distinct ids of one hash: only those rows
    # are compared as Python objects.
    keep = np.ones(len(order), dtype=bool)
    starts = same[np.r_[True, same[1:] != same[:-1] + 1]]
    ends = np.r_[same[np.r_[same[1:] != same[:-1] + 1, True]] + 2]
    for start, end in zip(starts.tolist(), ends.tolist()):
        rows = order[start:end]
        last: dict[str, int] = {}
        for position, video in enumerate(ids.take(rows).to_pylist()):
            last[video] = start + position
        keep[start:end] = False
        keep[list(last.values())] = True
    return order[keep]


def convert(source: str, target: str) -> int:
    """Reads the videos file `source` (Parquet if it starts as one does, else CSV: a header,
    then rows, delimiter and types found by DuckDB) and writes the lookup file `target` that
    Titles.open maps; returns its number of rows.

    The columns id and title are required, thumbnail and url optional, found whatever their
    case; ids are read as text (an int 7 as "7"). A row whose id is missing or empty is left
    out; an empty title, thumbnail or url is a missing one. Of several rows with one id, the
    last in the file is kept. `target` is written under a temporary name in its folder and
    renamed, so a reader finds the old file or the whole new one.

    Raises ValueError for a file without the columns id and title, one DuckDB cannot read, or
    one that is not a regular file; OSError for one that cannot be opened."""
    import numpy as np
    import pyarrow as pa

    table, status = _read_table(source)
    ids = table.column("id")
    hashes = _hashes(ids)
    kept = _kept(hashes, ids)
    rows = len(kept)
    # Large strings: the text of all rows may pass the 2 GiB that 32-bit offsets reach.
    joined = table.column("joined").take(pa.array(kept)).cast(pa.large_string()).combine_chunks()
    lengths = np.stack([table.column(f"{name}_bytes").to_numpy() for name in COLUMNS],
                       axis=1)[kept]
    # Positions in the file, where the text follows the buckets, hashes and these offsets.
    offsets = np.full(4 * rows + 1, _HEADER_SIZE + _BUCKETS_SIZE + 8 * (5 * rows + 1),
                      dtype=np.uint64)
    offsets[1:] += np.cumsum(lengths.ravel(), dtype=np.uint64)
    if rows:
        bounds = np.frombuffer(joined.buffers()[1], dtype=np.int64)[
            joined.offset:joined.offset + len(joined) + 1]
        text = memoryview(joined.buffers()[2])[int(bounds[0]):int(bounds[-1])]
    else:
        text = memoryview(b"")
    assert len(text) == int(offsets[-1] - offsets[0])
    hashes = hashes[kept]
    buckets = np.zeros((1 << _BUCKET_BITS) + 1, dtype=np.uint64)
    np.cumsum(np.bincount((hashes >> np.uint64(_SHIFT)).astype(np.intp),
                          minlength=1 << _BUCKET_BITS), out=buckets[1:])
    header = _HEADER.pack(MAGIC, _ORDER.ljust(8, b"\0"), rows, len(text),
                          status.st_dev, status.st_ino, status.st_mtime_ns, status.st_size)
    folder = os.path.dirname(os.path.abspath(target))
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=".titles-", suffix=".tmp")
    try:
        with os.fdopen(descriptor, "wb") as out:
            out.write(header.ljust(_HEADER_SIZE, b"\0"))
            out.write(buckets.tobytes())
            out.write(hashes.tobytes())
            out.write(offsets.tobytes())
            out.write(text)
        os.rename(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
    return rows


class Titles:
    """A lookup file written by convert(), mapped: its pages are the page cache's, shared by
    every process that maps the file, and a look-up touches a few of them."""

    def __init__(self, mapped: mmap.mmap, rows: int, source: Source) -> None:
        self._map = mapped
        self._rows = rows
        start = _HEADER_SIZE + _BUCKETS_SIZE
        self._buckets = memoryview(mapped)[_HEADER_SIZE:start].cast("Q")
        self._hashes = memoryview(mapped)[start:start + 8 * rows].cast("Q")
        self._offsets = start + 8 * rows
        self.source = source

    @classmethod
    def open(cls, path: str) -> Titles:
        """Maps the lookup file at `path`. Raises ValueError for a file convert() did not write
        (or one converted on a machine of the other byte order), OSError for one that cannot
        be opened."""
        descriptor, status = _open_regular(path)
        try:
            if status.st_size < _HEADER_SIZE + _BUCKETS_SIZE:
                raise ValueError(f"{path!r} is not a titles file (too short)")
            mapped = mmap.mmap(descriptor, 0, access=mmap.ACCESS_READ)
        finally:
            os.close(descriptor)
        magic, order, rows, size, *source = _HEADER.unpack_from(mapped)
        if magic != MAGIC:
            mapped.close()
            raise ValueError(f"{path!r} is not a titles file")
        if order.rstrip(b"\0") != _ORDER:
            mapped.close()
            raise ValueError(f"{path!r} was converted on a machine of the other byte order")
        if len(mapped) != _HEADER_SIZE + _BUCKETS_SIZE + 8 * rows + 8 * (4 * rows + 1) + size:
            mapped.close()
            raise ValueError(f"{path!r} is cut short or has bytes past its end")
        # Pages are read where look-ups land: read-ahead, where the file is not cached, would
        # read from disk neighbours that no look-up asks for.
        mapped.madvise(mmap.MADV_RANDOM)
        return cls(mapped, rows, Source(*source))

    def __len__(self) -> int:
        return self._rows

    def lookup(self, ids: Sequence[int | str]
               ) -> list[tuple[str | None, str | None, str | None] | None]:
        """Title, thumbnail and url (None where missing) of each id, matched on str(id); None
        for an id the file does not have."""
        hashes, buckets, mapped, offsets = self._hashes, self._buckets, self._map, self._offsets
        unpack, bisect_left = _ROW.unpack_from, bisect.bisect_left
        found: list[tuple[str | None, str | None, str | None] | None] = []
        for video in ids:
            # surrogatepass: a lone surrogate gives bytes no UTF-8 file holds, so no match,
            # rather than an error.
            key = str(video).encode("utf-8", "surrogatepass")
            wanted = _hash(key)
            bucket = wanted >> _SHIFT
            end = buckets[bucket + 1]
            row = bisect_left(hashes, wanted, buckets[bucket], end)
            answer = None
            while row < end and hashes[row] == wanted:
                start, title, thumbnail, url, stop = unpack(mapped, offsets + 32 * row)
                if mapped[start:title] == key:
                    answer = (mapped[title:thumbnail].decode() or None,
                              mapped[thumbnail:url].decode() or None,
                              mapped[url:stop].decode() or None)
                    break
                row += 1
            found.append(answer)
        return found


def _convert_main() -> None:
    """convert() in a process of its own: SOURCE TARGET on the command line; the row count on
    standard output, or the error's kind and message as the last line of standard error."""
    try:
        print(convert(sys.argv[1], sys.argv[2]))
    except ValueError as error:
        sys.exit(f"ValueError: {error}")
    except OSError as error:
        sys.exit(f"OSError: {error.strerror or error}")

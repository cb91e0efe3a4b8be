"""The videos' titles, thumbnails and links that the service joins into its answers, read from a
Parquet or CSV file through DuckDB."""

from __future__ import annotations

import os
from dataclasses import dataclass

from .._storage import _open_regular

# What the service answers of a video besides its id and share; the first two are required.
COLUMNS = ("id", "title", "thumbnail", "url")


@dataclass(frozen=True)
class VideoTable:
    """Title, thumbnail and url (None where not given) by the string form of each video id: an
    index names videos by int or by str, the file by whatever type its column has."""

    rows: dict[str, tuple[str | None, str | None, str | None]]

    def __len__(self) -> int:
        return len(self.rows)


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def read_videos(path: str) -> tuple[VideoTable, os.stat_result]:
    """The table in the file at `path`: Parquet if it starts as one does, else CSV (a header,
    then rows; delimiter and types found by DuckDB). Raises ValueError for a file without the
    columns id and title or one DuckDB cannot read, OSError for one that cannot be opened."""
    import duckdb

    # Opened first: a missing file or a FIFO is an OSError naming it, not DuckDB's message;
    # and the identity read is that of the bytes read.
    descriptor, status = _open_regular(path)
    try:
        head = os.pread(descriptor, 4, 0)
    finally:
        os.close(descriptor)
    reader = "read_parquet" if head == b"PAR1" else "read_csv_auto"
    source = f"{reader}({_literal(path)})"
    connection = duckdb.connect()
    try:
        try:
            found = [row[0] for row in connection.execute(
                f"describe select * from {source}").fetchall()]
        except duckdb.Error as error:
            raise ValueError(f"not a table DuckDB reads ({error})") from None
        # DuckDB's names are case-blind; so is the look-up of the columns.
        by_name = {str(name).lower(): str(name) for name in found}
        missing = [name for name in COLUMNS[:2] if name not in by_name]
        if missing:
            raise ValueError(f"no column {' or '.join(map(repr, missing))} (it has "
                             f"{', '.join(map(repr, found)) or 'none'}): a videos file needs "
                             "id and title, and may have thumbnail and url")
        selected = ", ".join(
            f'cast("{by_name[name]}" as varchar)' if name in by_name else "null"
            for name in COLUMNS)
        try:
            rows = connection.execute(f"select {selected} from {source} where "
                                      f'"{by_name["id"]}" is not null').fetchall()
        except duckdb.Error as error:
            raise ValueError(f"not a table DuckDB reads ({error})") from None
    finally:
        connection.close()
    return VideoTable({video: (title or None, thumbnail or None, url or None)
                       for video, title, thumbnail, url in rows}), status

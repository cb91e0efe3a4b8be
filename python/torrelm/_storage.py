"""Saving an index to a file and loading it back."""

from __future__ import annotations

import os
import tempfile
from pathlib import Path
from typing import Union

from _torrelm import PrefixSearch

PathLike = Union[str, "os.PathLike[str]"]


def save(index: PrefixSearch, path: PathLike) -> None:
    """Writes index.to_bytes() to `path` atomically: the bytes go to a temporary file in the same
    folder, are flushed to disk, and only then replace `path`, so that a crash leaves either the
    old file or the new one, never a truncated index."""
    target = Path(path)
    data = index.to_bytes()
    descriptor, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp",
                                             dir=target.parent)
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
    # Make the rename itself durable.
    folder = os.open(target.parent, os.O_RDONLY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def load(path: PathLike) -> PrefixSearch:
    """The index stored in `path` by save() (or any to_bytes() output)."""
    return PrefixSearch.from_bytes(Path(path).read_bytes())

"""Saving an index to a file and loading it back."""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import Protocol, Union

from ._native import Index

PathLike = Union[str, "os.PathLike[str]"]


class Storable(Protocol):
    """An index that can be stored: torrelm.Index, or _torrelm.PrefixSearch."""

    def to_bytes(self) -> bytes: ...


def _create_temporary(target: Path, mode: int) -> tuple[int, Path]:
    """A new file beside `target`, opened for writing, created with `mode` less the umask."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    for _ in range(100):
        temporary = target.parent / f".{target.name}.{os.urandom(6).hex()}.tmp"
        try:
            return os.open(temporary, flags, mode), temporary
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {str(target)!r}")


def save(index: Storable, path: PathLike) -> None:
    """Writes index.to_bytes() to `path` atomically: the bytes go to a temporary file in the same
    folder, are flushed to disk, and only then replace `path`, so that a crash leaves either the
    old file or the new one, never a truncated index. A replaced file keeps its permission bits;
    a new one gets those the umask leaves of rw-rw-rw-, like any file a program creates."""
    target = Path(path)
    data = index.to_bytes()
    try:
        kept: int | None = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        kept = None
    # The kernel applies the umask (and a folder's default ACL) to a new file's mode; a file
    # that replaces another is made private first, then given the old file's bits.
    descriptor, temporary = _create_temporary(target, 0o600 if kept is not None else 0o666)
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            if kept is not None:
                os.fchmod(file.fileno(), kept)
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    # Make the rename itself durable.
    folder = os.open(target.parent, os.O_RDONLY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def load(path: PathLike) -> Index:
    """The index stored in `path` by save() (or any to_bytes() output), as an Index.

    Only a regular file is read, and no more of it than its size when opened: a device such as
    /dev/zero, a FIFO or a folder raises ValueError instead of reading forever or blocking."""
    # O_NONBLOCK: opening a FIFO must not wait for a writer before it can be refused.
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise ValueError(f"{os.fspath(path)!r} is not a regular file")
        # Read in place into one buffer that from_bytes decodes as it is: no joined copy.
        data = bytearray(status.st_size)
        filled = 0
        with memoryview(data) as view:
            while filled < len(data):
                got = os.readv(descriptor, [view[filled:]])  # one read can return less
                if not got:
                    break  # the file shrank; what was read is then not a whole index
                filled += got
            return Index.from_bytes(view[:filled])
    finally:
        os.close(descriptor)

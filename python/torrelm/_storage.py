"""Saving an index to a file and loading it back."""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import Union

from _torrelm import PrefixSearch

PathLike = Union[str, "os.PathLike[str]"]


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


def save(index: PrefixSearch, path: PathLike) -> None:
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


def load(path: PathLike) -> PrefixSearch:
    """The index stored in `path` by save() (or any to_bytes() output).

    Only a regular file is read, and no more of it than its size when opened: a device such as
    /dev/zero, a FIFO or a folder raises ValueError instead of reading forever or blocking."""
    # O_NONBLOCK: opening a FIFO must not wait for a writer before it can be refused.
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise ValueError(f"{os.fspath(path)!r} is not a regular file")
        parts = []
        left = status.st_size
        while left > 0:
            part = os.read(descriptor, left)  # one read can return less, past 2 GiB for one
            if not part:
                break  # the file shrank; what was read is then not a whole index
            parts.append(part)
            left -= len(part)
    finally:
        os.close(descriptor)
    return PrefixSearch.from_bytes(parts[0] if len(parts) == 1 else b"".join(parts))

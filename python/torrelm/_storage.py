"""Saving an index to a file and loading it back."""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import Protocol, Union

from ._native import Index
from ._normalize import Normalize, custom_name

PathLike = Union[str, "os.PathLike[str]"]


class Storable(Protocol):
    """An index in the older stored form, such as _torrelm.PrefixSearch."""

    def to_bytes(self) -> bytes: ...


def _create_temporary(target: Path, mode: int) -> tuple[int, Path]:
    """A new file beside `target`, opened for writing, created with `mode` less the umask."""
    flags = os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC  # read too: it is written mapped
    for _ in range(100):
        temporary = target.parent / f".{target.name}.{os.urandom(6).hex()}.tmp"
        try:
            return os.open(temporary, flags, mode), temporary
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {str(target)!r}")


_KINDS = [(stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket")]


def _replaced_file(path: PathLike) -> tuple[Path, int | None]:
    """The file that save() writes for `path`, with every symbolic link on the way resolved, and
    the permission bits of the file it replaces (None for a new file).

    Links are followed so that the rename replaces the file they name and leaves them in place;
    the temporary file then lies beside that file, on its file system. Anything but a regular
    file is refused before a byte is written: renaming over a FIFO, a device or a socket would
    silently take it from whoever uses it (as root, `/dev/null` itself)."""
    target = Path(os.path.realpath(path))
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        return target, None
    if not stat.S_ISREG(mode):
        linked = os.path.abspath(path) != os.fspath(target)
        via = f" (a link to {os.fspath(target)!r})" if linked else ""
        raise ValueError(f"{os.fspath(path)!r}{via} is {_kind(mode)}, not a regular file: save() "
                         "replaces nothing else")
    return target, stat.S_IMODE(mode)


def _kind(mode: int) -> str:
    """What a file of st_mode `mode` is, in words."""
    return next((name for test, name in _KINDS if test(mode)), "not a regular file")


def save(index: Index | Storable, path: PathLike) -> None:
    """Writes `index` to `path` as a checked container file (docs/format.md) atomically: the
    bytes go to a temporary file in the same folder, are flushed to disk, and only then replace
    `path`, so that a crash leaves either the old file or the new one, never a truncated index.
    An Index already open on the old file keeps answering from it. A replaced file keeps its
    permission bits; a new one gets those the umask leaves of rw-rw-rw-, like any file a program
    creates. A symbolic link stays: the file it names (through any chain of links) is the one
    written. Anything but a regular file at `path` (a folder, a FIFO, a device, a socket) raises
    ValueError and is left untouched. `index` is a torrelm.Index or anything with to_bytes(),
    such as _torrelm.PrefixSearch."""
    if not isinstance(index, Index):
        index = Index.from_bytes(index.to_bytes())
    target, kept = _replaced_file(path)
    # The kernel applies the umask (and a folder's default ACL) to a new file's mode; a file
    # that replaces another is made private first, then given the old file's bits.
    descriptor, temporary = _create_temporary(target, 0o600 if kept is not None else 0o666)
    try:
        try:
            index._write_file(descriptor)
            if kept is not None:
                os.fchmod(descriptor, kept)
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
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


def _open_regular(path: PathLike) -> tuple[int, os.stat_result]:
    """A descriptor of the regular file at `path`, for reading, and its status; ValueError for
    anything else. The caller closes it."""
    # O_NONBLOCK: opening a FIFO must not wait for a writer before it can be refused.
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise ValueError(f"{os.fspath(path)!r} is not a regular file")
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor, status


def _read_small(path: PathLike, most: int, what: str) -> tuple[bytes, os.stat_result]:
    """The bytes of the regular file at `path` and its status; ValueError for anything else, or
    for a file of more than `most` bytes (`what` names such a file in the message): /dev/zero
    would be read until memory ran out, and a FIFO would wait for a writer."""
    descriptor, status = _open_regular(path)
    try:
        with os.fdopen(os.dup(descriptor), "rb") as file:
            data = file.read(most + 1) if status.st_size <= most else b""
    finally:
        os.close(descriptor)
    if status.st_size > most:
        raise ValueError(f"{status.st_size:,} bytes, more than a {what}'s {most:,}")
    if len(data) > most:  # it grew while it was read
        raise ValueError(f"more than a {what}'s {most:,} bytes")
    return data, status


def _read(path: PathLike, *, map: bool, verify: bool, normalize: Normalize | None) -> Index:
    descriptor, _ = _open_regular(path)
    try:
        index = Index._open_file(descriptor, os.fsdecode(os.path.abspath(path)), map, verify)
    finally:
        os.close(descriptor)
    custom = custom_name(index.metadata)
    if normalize is not None:
        if not callable(normalize):
            raise TypeError(f"normalize must be a callable str -> str, not "
                            f"{type(normalize).__name__}")
        return index._with_extras(normalize=normalize)
    if custom is not None:
        # Its queries would not be folded as its terms were: every answer would be wrong.
        raise ValueError(f"{os.fspath(path)!r} was built with normalize={custom}, a function of "
                         "the caller's: pass it again, as normalize=...")
    return index


def load(path: PathLike, *, verify: bool = True, normalize: Normalize | None = None) -> Index:
    """The index stored in `path` by save() (or any to_bytes() output), read into memory of its
    own.

    Everything is checked first (checksums, layout, then the index itself) unless verify=False,
    for a file the caller trusts: a file that fails raises ValueError naming the first problem.
    Only a regular file is read, and no more of it than its size: a device such as /dev/zero, a
    FIFO or a folder raises ValueError instead of reading forever or blocking. An index built
    with a normalize function of the caller's needs it again (`normalize=`): its queries must
    fold their text as its terms were folded; one built with "casefold" or "fold-accents" does
    so by itself."""
    return _read(path, map=False, verify=verify, normalize=normalize)


def open(path: PathLike, *, verify: bool = True, normalize: Normalize | None = None) -> Index:
    """The index stored in `path` by save(), mapped read-only and queried where it lies: no copy
    is made, so every process that opens the same file shares one copy of its pages, and opening
    costs no more than the checks (verify=False skips them, for a file the caller trusts). The
    index stays valid when the file is replaced by a later save(); the file must not be
    truncated or written in place while it is open. A file in the older stored form of
    to_bytes() cannot be mapped and is read as load() reads it."""
    return _read(path, map=True, verify=verify, normalize=normalize)

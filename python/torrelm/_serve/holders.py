"""What a worker serves from files: the indexes, each from a private snapshot of its file, and
the videos' titles; each read again when its file is replaced.

Below the app and above the metrics: the app asks the holders for what to serve, and the
holders tell the metrics (through callbacks the app sets) of each reload and each fault."""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import errno
import fcntl
import hashlib
import json
import logging
import os
import re
import subprocess
import sys
import time
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any, Generic, Protocol, TypeVar

from starlette.concurrency import run_in_threadpool

from .._builder import blocked_entries
from .._native import Index
from .._storage import _open_regular, _read_small
from .._storage import open as open_index
from .names import DEFAULT_NAME, INDEX_NAME
from .observe import scrubbed
from .titles import Titles


# How often a worker looks at its files, whether or not requests arrive: a stat() costs
# microseconds, and a new build is served within this and the time to copy and check it.
RELOAD_INTERVAL = 0.25

# How long after its last change a file may still change without its size or mtime showing it:
# file times come from a coarse clock (a kernel tick, a second or two on some file systems), so a
# write in the same tick as an earlier one leaves the mtime as it was. A file refused within
# that time is taken for a copy still being written: tried again at the next check, and counted
# apart from the files refused for good.
SETTLE_NS = 2_000_000_000

_SNAPSHOT = re.compile(r"([0-9]+)-([0-9]+)-([0-9]+)-([0-9]+)\.idx")
# copy_file_range copies within one file system only on some kernels, and not at all on others.
_NO_COPY_RANGE = {errno.EXDEV, errno.ENOSYS, errno.EOPNOTSUPP, errno.EINVAL, errno.EPERM}

logger = logging.getLogger("torrelm.serve")

PathLike = str | os.PathLike[str]


def named_indexes(indexes: PathLike | Mapping[str, PathLike]) -> dict[str, str]:
    """{name: path} of what the app was given: one path is the index named DEFAULT_NAME.
    Raises ValueError for a name that INDEX_NAME does not match, or for no index at all."""
    if isinstance(indexes, (str, os.PathLike)):
        return {DEFAULT_NAME: os.fspath(indexes)}
    named = {str(name): os.fspath(path) for name, path in indexes.items()}
    if not named:
        raise ValueError("no index to serve")
    for name in named:
        if not INDEX_NAME.fullmatch(name):
            raise ValueError(f"{name!r} cannot name an index: use letters, digits, '_', '.' and "
                             "'-', starting with a letter or digit (64 at most)")
    return named


@dataclass(frozen=True)
class FileIdentity:
    """What tells one index file from the one that replaced it: save() renames a new file over
    the old one, which gives a new inode; mtime and size catch a copy written in place."""

    device: int
    inode: int
    mtime_ns: int
    size: int

    @staticmethod
    def of(status: os.stat_result) -> FileIdentity:
        return FileIdentity(status.st_dev, status.st_ino, status.st_mtime_ns, status.st_size)

    def as_json(self) -> dict[str, Any]:
        # No device or inode: what a client may see of the file is what tells builds apart.
        return {"size": self.size, "mtime": self.mtime_ns / 1e9}

    @property
    def stem(self) -> str:
        """A name for what is made from the file, told apart by its identity."""
        return f"{self.device}-{self.inode}-{self.size}-{self.mtime_ns}"

    @property
    def snapshot_name(self) -> str:
        return f"{self.stem}.idx"


class FileChanged(Exception):
    """The index file was written while it was being copied: the copy is dropped, and the next
    check, seeing the file's new identity, tries again."""


def _copy_bytes(source: int, target: int, size: int) -> int:
    """Copies the first `size` bytes of `source` to `target`; returns how many there were, fewer
    if the file shrank meanwhile. Reads and writes, never a mapping: a file truncated under the
    copy makes it short, not a fault."""
    copied = 0
    if hasattr(os, "copy_file_range"):
        try:
            # In the kernel, and on file systems that share blocks (Btrfs, XFS) a reflink.
            while copied < size:
                done = os.copy_file_range(source, target, size - copied, copied, copied)
                if done == 0:
                    return copied
                copied += done
            return copied
        except OSError as error:
            if copied or error.errno not in _NO_COPY_RANGE:
                raise
    while copied < size:
        chunk = os.pread(source, min(size - copied, 1 << 20), copied)
        if not chunk:
            break
        written = 0
        while written < len(chunk):
            written += os.pwrite(target, chunk[written:], copied + written)
        copied += len(chunk)
    return copied


class Snapshots:
    """The folder of one service's private copies of its index file, which its workers map.

    A copy is named by the identity of the file it was taken from, and gets that name only once
    it is complete, unchanged by any write during the copy, and verified; nothing writes to it
    after. So the workers that see the same file map the same copy (one copy of its pages), none
    maps a partial one, and no mapping can fault whatever happens to the file itself."""

    def __init__(self, folder: str) -> None:
        self.folder = os.path.abspath(folder)

    def take(self, path: str) -> tuple[FileIdentity, str, bool]:
        """The identity of the file at `path`, the snapshot of it, and whether this call made the
        snapshot (and so verified it). Raises FileChanged if the file changed during the copy,
        ValueError if the copy fails the checks, OSError if it cannot be made."""
        # A FIFO put in the file's place neither blocks the copy nor is copied.
        source, status = _open_regular(path)
        try:
            identity = FileIdentity.of(status)
            snapshot = os.path.join(self.folder, identity.snapshot_name)
            # One worker copies while the others wait and then find its copy: concurrent copies
            # would cost the I/O several times and leave workers mapping different copies.
            with self._locked():
                if os.path.exists(snapshot):
                    return identity, snapshot, False
                self._copy(path, source, identity, snapshot)
                _prune(self.folder, snapshot, lambda name: bool(_SNAPSHOT.fullmatch(name)))
                return identity, snapshot, True
        finally:
            os.close(source)

    def open(self, path: str) -> tuple[Index, FileIdentity, str]:
        identity, snapshot, _ = self.take(path)
        # Verified once, by whoever made it, before it was named: the folder is the service's
        # own (mode 0700), and nothing writes to a named snapshot.
        return open_index(snapshot, verify=False), identity, snapshot

    def latest(self) -> tuple[Index, FileIdentity, str] | None:
        """The snapshot of the most recently modified file, for a worker that starts while the
        file is being written: it serves what the others serve until the file is complete."""
        found = [(int(match[4]), name, FileIdentity(int(match[1]), int(match[2]),
                                                    int(match[4]), int(match[3])))
                 for name in os.listdir(self.folder) if (match := _SNAPSHOT.fullmatch(name))]
        for _, name, identity in sorted(found, reverse=True):
            snapshot = os.path.join(self.folder, name)
            try:
                return open_index(snapshot, verify=False), identity, snapshot
            except (OSError, ValueError):
                continue
        return None

    def _locked(self) -> contextlib.AbstractContextManager[None]:
        return _locked(self.folder)

    def _copy(self, path: str, source: int, identity: FileIdentity, snapshot: str) -> None:
        temporary = os.path.join(self.folder, f".{identity.snapshot_name}.{os.getpid()}."
                                              f"{os.urandom(4).hex()}.tmp")
        target = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        try:
            try:
                copied = _copy_bytes(source, target, identity.size)
            finally:
                os.close(target)
            # Checked on the descriptor copied from: a file renamed over the path meanwhile
            # leaves this one whole, and the next check takes the new one.
            after = FileIdentity.of(os.fstat(source))
            if copied != identity.size or after != identity:
                raise FileChanged("the file changed while it was copied; tried again at the "
                                  "next check")
            try:
                open_index(temporary)  # the checks: a copy that fails them is never named
            except ValueError as error:
                # Told of the file, as the same fault met at start-up is.
                raise ValueError(str(error).replace(temporary, path)) from None
            os.rename(temporary, snapshot)
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)


@dataclass(frozen=True)
class Served:
    """An open index, the file it came from, and the snapshot mapped (None when the file itself
    is). Replaced whole on reload, never changed, so a request that took it keeps a consistent
    view while a newer one is swapped in."""

    index: Index
    identity: FileIdentity
    opened_at: float
    snapshot: str | None = None
    build_id: str = ""
    shape: tuple[tuple[str, int | str], ...] = ()
    # The index as opened, `index` being it with the block list applied; and that list's file.
    raw: Index | None = None
    blocked_by: FileIdentity | None = None


# The largest block list read: a list of terms pulled by hand, not a dictionary.
MAX_BLOCK_BYTES = 16 << 20


@dataclass(frozen=True)
class BlockList:
    """Terms and words no answer may show, as the build's --block lists them: a line a term,
    `~word` a word, `#` a comment."""

    terms: tuple[str, ...]
    words: tuple[str, ...]
    identity: FileIdentity

    @staticmethod
    def read(path: str) -> BlockList:
        data, status = _read_small(path, MAX_BLOCK_BYTES, "block list")
        text = data.decode("utf-8-sig")
        # The syntax of the build's --block: the same file serves both.
        terms, words = blocked_entries(text.splitlines(), "line")
        return BlockList(terms, words, FileIdentity.of(status))


def _with_blocks(served: Served, blocks: BlockList | None) -> Served:
    """`served` answering with the block list `blocks` (none: as opened)."""
    raw = served.raw if served.raw is not None else served.index
    index = raw if blocks is None or not (blocks.terms or blocks.words) else raw.blocked(
        blocks.terms, blocks.words)
    return dataclasses.replace(served, index=index, raw=raw,
                               blocked_by=blocks.identity if blocks is not None else None)


_REPR_FIELD = re.compile(r"(\w+)=([^\s'>]+)")


def _build_id(index: Index, identity: FileIdentity) -> str:
    """A short name of the build served, the same in every worker and on every machine that
    serves it: from what the builder recorded when there is such a record, else from the file."""
    metadata = index.metadata
    if metadata:
        seed = json.dumps([_jsonable(metadata), len(index), identity.size], sort_keys=True)
    else:
        seed = f"{identity.device}:{identity.inode}:{identity.size}:{identity.mtime_ns}"
    return hashlib.blake2b(seed.encode(), digest_size=6).hexdigest()


def _served(index: Index, identity: FileIdentity, snapshot: str | None) -> Served:
    # The first completion derives what the queries are led by (the search counts, and the walk
    # table with its records: passes over the index): done here, before the index is served, and
    # not by the request that comes first.
    index.complete("", limit=1)
    # The repr is the only place the node count shows; its path is never answered.
    shape = tuple((k, _figure(v)) for k, v in _REPR_FIELD.findall(repr(index)) if k != "path")
    return Served(index, identity, time.time(), snapshot, _build_id(index, identity), shape)


def _figure(text: str) -> int | str:
    """A figure of the repr as a number ("3,170" is 3170), other values as they are."""
    digits = text.replace(",", "")
    return int(digits) if digits.isdigit() else text


def _jsonable(value: Any) -> Any:
    """Metadata as JSON can hold it: whatever the build recorded, the stats page must answer."""
    try:
        json.dumps(value, allow_nan=False)
        return value
    except (TypeError, ValueError):
        return repr(value)


def _open(path: str, snapshots: Snapshots | None) -> Served:
    if snapshots is not None:
        return _served(*snapshots.open(path))
    # The identity is taken before opening: if the file is replaced between the two, the next
    # check sees a different identity and opens the newer file, rather than never noticing it.
    identity = FileIdentity.of(os.stat(path))
    return _served(open_index(path), identity, None)


class _Loaded(Protocol):
    @property
    def identity(self) -> FileIdentity: ...


LoadedT = TypeVar("LoadedT", bound=_Loaded)


def _nothing() -> None:
    pass


class FileHolder(Generic[LoadedT]):
    """What a worker reads from a file (an index, a table of videos), read again when the file
    is replaced.

    Runs on the event loop only: the checks and the swap happen between awaits, so they need no
    lock. A replaced file is read (in a thread) by a task of its own, and swapped in when it is
    ready: no request waits for it, every request meanwhile gets what is in service."""

    kind = "file"

    def __init__(self, name: str, path: str, *, interval: float,
                 clock: Callable[[], float]) -> None:
        self.name = name
        self.path = os.path.abspath(path)
        self.interval = interval
        self.clock = clock
        self.reloads = 0
        self.last_error: dict[str, Any] | None = None
        # Told of each reload and each new fault (metrics); set by the app.
        self.on_reload: Callable[[], None] = _nothing
        self.on_failure: Callable[[], None] = _nothing
        self.on_incomplete: Callable[[], None] = _nothing
        # Files met while still being written (refused, or changed during the copy): not
        # faults, since the next check takes the file once it is complete.
        self.incomplete = 0
        self._failed: FileIdentity | None = None
        self._writing: int | None = None  # the inode of a file last met while written
        self._reloading = False
        self._task: asyncio.Task[None] | None = None
        self.served: LoadedT = self._first()
        self.last_check = clock()

    def _first(self) -> LoadedT:
        return self._load()

    def _load(self) -> LoadedT:
        """Reads the file (in a thread, but for the first time); raises what the file's faults
        raise."""
        raise NotImplementedError

    def _retire(self, old: LoadedT, new: LoadedT) -> None:
        """Called once `new` replaced `old`."""

    def current(self) -> LoadedT:
        """What is in service, having started a reload if the file changed: a plain call, not a
        coroutine, since it never waits (and requests do not pay for one)."""
        now = self.clock()
        if self._reloading or now - self.last_check < self.interval:
            return self.served
        self.last_check = now
        try:
            identity = FileIdentity.of(os.stat(self.path))
        except OSError as error:
            # A missing file is a deployment mistake to report, not a reason to stop serving.
            self._report(error, None)
            return self.served
        if identity == self.served.identity or identity == self._failed:
            return self.served
        self._reloading = True
        # Held here: the event loop keeps only a weak reference to a task.
        self._task = asyncio.get_running_loop().create_task(self._reload(identity))
        return self.served

    async def reloaded(self) -> None:
        """Waits for a reload under way, if any (for tests and orderly shutdowns)."""
        if self._task is not None:
            await self._task

    async def _reload(self, identity: FileIdentity) -> None:
        started_ns = time.time_ns()
        try:
            loaded = await run_in_threadpool(self._load)
        except Exception as error:  # noqa: BLE001 - any failure keeps what works
            # A file refused for what it holds is not read again on every check, unless it
            # changed so recently that a write may still be under way: then it is a copy in
            # progress, tried again at the next check. One that could not be read (a full
            # disk) is tried again too.
            # Judged by the file as it is now: what was read may be newer than what the check
            # saw (a copy that truncated the file just after it).
            try:
                latest = FileIdentity.of(os.stat(self.path))
            except OSError:
                latest = identity
            settled = latest == identity and identity.mtime_ns + SETTLE_NS <= started_ns
            in_place = latest.inode == self.served.identity.inode
            if isinstance(error, FileChanged) or (
                    not settled and in_place and isinstance(error, ValueError)):
                self.incomplete += 1
                self.on_incomplete()
                if self._writing != identity.inode:
                    logger.info("%s: still being written; taken once complete (%s)", self.path,
                                error)
                self._writing = identity.inode
            else:
                if isinstance(error, ValueError):
                    self._failed = identity
                self._report(error, identity)
        else:
            old, self.served = self.served, loaded
            self.reloads += 1
            self._failed = None
            self._writing = None
            self.last_error = None
            self.on_reload()
            logger.info("%s: now serving the %s of %s (%s bytes)", self.path, self.kind,
                        _when(loaded.identity), f"{loaded.identity.size:,}")
            self._retire(old, loaded)
        finally:
            self._reloading = False

    def paths(self) -> tuple[str, ...]:
        """The paths an error message may hold: the file's, and those of its copies."""
        return (self.path,)

    def _report(self, error: BaseException, identity: FileIdentity | None) -> None:
        message = f"{type(error).__name__}: {error}"
        # Logged and counted once, not on every check that meets the same fault.
        if self.last_error is None or self.last_error["logged"] != message:
            logger.warning("%s: not served (%s); still serving the %s of %s", self.path,
                           message, self.kind, _when(self.served.identity))
            self.on_failure()
        # Answered without the paths in it (the file's, the snapshots'): the log has them.
        self.last_error = {"message": scrubbed(message, *self.paths()), "at": time.time(),
                           "file": identity.as_json() if identity else None, "logged": message}

    def public_error(self) -> dict[str, Any] | None:
        if self.last_error is None:
            return None
        return {k: v for k, v in self.last_error.items() if k != "logged"}


class IndexHolder(FileHolder[Served]):
    """The index a worker serves under one name, reopened when its file is replaced: the
    snapshot is taken and verified in a thread. With `snapshots` None the file itself is
    mapped."""

    kind = "index file"

    def __init__(self, path: str, *, name: str = DEFAULT_NAME, interval: float = RELOAD_INTERVAL,
                 clock: Callable[[], float] = time.monotonic,
                 snapshots: Snapshots | None = None, blocks: BlockHolder | None = None) -> None:
        self.snapshots = snapshots
        self.blocks = blocks
        super().__init__(name, path, interval=interval, clock=clock)
        if blocks is not None:
            blocks.listeners.append(self.reblock)
        self._reblocking: asyncio.Task[None] | None = None

    def _block_list(self) -> BlockList | None:
        return self.blocks.served if self.blocks is not None else None

    def reblock(self) -> None:
        """Applies the block list in service (just replaced) to the index in service, in a
        thread: a word blocked takes a pass over the terms."""
        async def apply() -> None:
            served, blocks = self.served, self._block_list()
            blocked = await run_in_threadpool(_with_blocks, served, blocks)
            if self.served is served:  # else a newer index took the list as it opened
                self.served = blocked
                logger.info("%s: now serving with the block list of %s", self.path,
                            _when(blocks.identity) if blocks is not None else "none")

        self._reblocking = asyncio.get_running_loop().create_task(apply())

    async def reloaded(self) -> None:
        await super().reloaded()
        if self._reblocking is not None:
            await self._reblocking

    def _first(self) -> Served:
        try:
            return self._load()
        except Exception as error:
            # A worker (re)started while the file is being written serves the snapshot the
            # others serve, rather than failing to start; with none, the file's fault is raised.
            fallback = self.snapshots.latest() if self.snapshots is not None else None
            if fallback is None:
                raise
            self.served = _with_blocks(_served(*fallback), self._block_list())
            self._report(error, None)
            return self.served

    def _load(self) -> Served:
        return _with_blocks(_open(self.path, self.snapshots), self._block_list())

    def paths(self) -> tuple[str, ...]:
        return (self.path,) + ((self.snapshots.folder,) if self.snapshots is not None else ())

    def _retire(self, old: Served, new: Served) -> None:
        # The old snapshot is replaced: its name goes, and its pages with the last mapping
        # (this worker's requests still running on it, other workers yet to reload).
        if old.snapshot is not None and old.snapshot != new.snapshot:
            with contextlib.suppress(OSError):
                os.unlink(old.snapshot)


class TitleFiles:
    """The folder where a service keeps its videos files converted for the workers to map, each
    named by the identity of the file it was read from. One worker converts a file while the
    others wait, then find its conversion; the conversion runs in a process of its own, so that
    DuckDB and the memory it takes never stay with a worker."""

    def __init__(self, folder: str) -> None:
        self.folder = os.path.join(os.path.abspath(folder), ".videos")
        os.makedirs(self.folder, exist_ok=True)

    def take(self, path: str) -> str:
        """The converted file of the videos file at `path`, converted now if it is not yet.
        Raises ValueError for a file that is no videos file, OSError for one unreadable."""
        descriptor, status = _open_regular(path)
        os.close(descriptor)
        name = FileIdentity.of(status).stem
        target = os.path.join(self.folder, name + ".titles")
        refused = os.path.join(self.folder, name + ".refused")
        with _locked(self.folder):
            if os.path.exists(target):
                return target
            # A file refused once is refused to every worker, without converting it again.
            with contextlib.suppress(FileNotFoundError), open(refused) as told:
                raise ValueError(told.read())
            temporary = os.path.join(self.folder, f".{os.getpid()}.{os.urandom(4).hex()}.tmp")
            try:
                try:
                    _convert_apart(path, temporary)
                except ValueError as error:
                    if status.st_mtime_ns + SETTLE_NS <= time.time_ns():  # not being written
                        with open(refused, "w") as told:
                            told.write(str(error))
                    raise
                # Named by what was read: the file may have changed since it was looked at.
                named = os.path.join(self.folder, FileIdentity(
                    *Titles.open(temporary).source).stem + ".titles")
                os.rename(temporary, named)
            finally:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(temporary)
            _prune(self.folder, named, lambda name: name.endswith(".titles"))
            return named


def _convert_apart(source: str, target: str) -> None:
    """Converts `source` to `target` in a child process; raises what the conversion raised."""
    done = subprocess.run(
        [sys.executable, "-c", "from torrelm._serve.titles import _convert_main; "
         "_convert_main()", source, target], capture_output=True, text=True, check=False)
    if done.returncode == 0:
        return
    kind, _, message = done.stderr.strip().rpartition("\n")[2].partition(": ")
    if kind == "OSError":
        raise OSError(message)
    raise ValueError(message if kind == "ValueError" else
                     f"the conversion failed ({done.stderr.strip()[-300:]})")


def _prune(folder: str, keep: str, made: Callable[[str], bool]) -> None:
    """Removes every file of `folder` that `made` names but `keep`, the newest: workers that
    still map an older one keep its pages until they let it go, and one that died mid-reload
    leaves none behind."""
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if made(name) and path != keep:
            with contextlib.suppress(OSError):
                os.unlink(path)


@contextlib.contextmanager
def _locked(folder: str) -> Iterator[None]:
    descriptor = os.open(os.path.join(folder, ".lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC,
                         0o600)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield
    finally:
        os.close(descriptor)  # which releases the lock


class BlockHolder(FileHolder[BlockList]):
    """The block list (--block), read again when its file is replaced; each index holder is
    told, and applies it to the index it serves."""

    kind = "block list"

    def __init__(self, path: str, *, interval: float = RELOAD_INTERVAL,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.listeners: list[Callable[[], None]] = []
        super().__init__("block", path, interval=interval, clock=clock)

    def _load(self) -> BlockList:
        return BlockList.read(self.path)

    def _retire(self, old: BlockList, new: BlockList) -> None:
        for listener in self.listeners:
            listener()


@dataclass(frozen=True)
class Videos:
    """The videos' titles in service, and the file they were read from."""

    table: Titles
    identity: FileIdentity


class VideoHolder(FileHolder[Videos]):
    """The titles, thumbnails and links of the videos (--videos), read again when the file is
    replaced; a file that fails to read keeps the table in service."""

    kind = "videos file"

    def __init__(self, path: str, files: TitleFiles, *, interval: float = RELOAD_INTERVAL,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.files = files
        super().__init__("videos", path, interval=interval, clock=clock)

    def _load(self) -> Videos:
        titles = Titles.open(self.files.take(self.path))
        return Videos(titles, FileIdentity(*titles.source))

    def paths(self) -> tuple[str, ...]:
        return (self.path, self.files.folder)


def _when(identity: FileIdentity) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(identity.mtime_ns / 1e9))


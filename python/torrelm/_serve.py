"""The search service: python -m torrelm serve [NAME=]INDEX...

A Starlette app answering the search box's queries as JSON over one or more indexes, with a
page at / that uses them. The service serves a private snapshot of each index file: a copy in a
folder of its own, mapped with torrelm.open by every worker, so that all of them share one copy
of its pages and none dies when the file is rewritten or truncated in place. Each worker picks
up a newer file between requests. Metrics, the access log and the videos table are in
_serve_ops and _video_table; the command's options in _serve_cli.
"""

from __future__ import annotations

import asyncio
import contextlib
import errno
import fcntl
import hashlib
import json
import logging
import math
import os
import re
import shutil
import socket
import sys
import tempfile
import time
import weakref
from collections import deque
from collections.abc import AsyncIterator, Awaitable, Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from importlib import resources
from typing import Any, Generic, Protocol, TypeVar
from urllib.parse import parse_qsl

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from ._native import Index
from ._storage import _open_regular
from ._storage import open as open_index
from ._serve_cli import DEFAULT_NAME, INDEX_NAME
from ._serve_ops import AccessLog, Metrics, Observed, scrubbed
from ._video_table import VideoTable, read_videos

# Larger pages of results are no search box's; the bound keeps one request's work small.
MAX_LIMIT = 100
# How often a worker looks at the index file, at most: a stat() costs microseconds, but there is
# no point in doing one per request under load.
RELOAD_INTERVAL = 0.5
# Latencies kept per endpoint for the percentiles: recent enough to follow a change of load.
LATENCY_WINDOW = 4096

# How long after its last change a file may still change without its size or mtime showing it:
# file times come from a coarse clock (a kernel tick, a second or two on some file systems), so a
# write in the same tick as an earlier one leaves the mtime as it was. A file refused within
# that time is tried again at the next check, rather than taken as the writer's last word.
SETTLE_NS = 2_000_000_000

# What the environment carries to the worker processes uvicorn starts (see app_from_environment).
CONFIG_VARIABLE = "TORRELM_SERVE_CONFIG"

_INTEGER = re.compile(r"-?[0-9]{1,18}")
_SNAPSHOT = re.compile(r"([0-9]+)-([0-9]+)-([0-9]+)-([0-9]+)\.idx")
# copy_file_range copies within one file system only on some kernels, and not at all on others.
_NO_COPY_RANGE = {errno.EXDEV, errno.ENOSYS, errno.EOPNOTSUPP, errno.EINVAL, errno.EPERM}

logger = logging.getLogger("torrelm.serve")


class BadParameter(Exception):
    """A query parameter the service refuses, answered by a 400 naming it."""

    def __init__(self, parameter: str, message: str) -> None:
        super().__init__(message)
        self.parameter = parameter
        self.message = message


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
    def snapshot_name(self) -> str:
        return f"{self.device}-{self.inode}-{self.size}-{self.mtime_ns}.idx"


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
                return identity, snapshot, True
        finally:
            os.close(source)

    def open(self, path: str) -> tuple[Index, FileIdentity, str]:
        identity, snapshot, made = self.take(path)
        # A snapshot this call made was verified before it was named; one found was made by
        # another process, and is checked as any file is.
        return open_index(snapshot, verify=not made), identity, snapshot

    def latest(self) -> tuple[Index, FileIdentity, str] | None:
        """The snapshot of the most recently modified file, for a worker that starts while the
        file is being written: it serves what the others serve until the file is complete."""
        found = [(int(match[4]), name, FileIdentity(int(match[1]), int(match[2]),
                                                    int(match[4]), int(match[3])))
                 for name in os.listdir(self.folder) if (match := _SNAPSHOT.fullmatch(name))]
        for _, name, identity in sorted(found, reverse=True):
            snapshot = os.path.join(self.folder, name)
            try:
                return open_index(snapshot), identity, snapshot
            except (OSError, ValueError):
                continue
        return None

    @contextlib.contextmanager
    def _locked(self) -> Iterator[None]:
        descriptor = os.open(os.path.join(self.folder, ".lock"),
                             os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX)
            yield
        finally:
            os.close(descriptor)  # which releases the lock

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
    shape: tuple[tuple[str, str], ...] = ()


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
    shape = tuple((k, v) for k, v in _REPR_FIELD.findall(repr(index)) if k != "path")
    return Served(index, identity, time.time(), snapshot, _build_id(index, identity), shape)


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
        self._failed: FileIdentity | None = None
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
            # changed so recently that a write may still be under way; one that could not be
            # read (a full disk, a write during the copy) is tried again.
            if isinstance(error, ValueError) and identity.mtime_ns + SETTLE_NS <= started_ns:
                self._failed = identity
            self._report(error, identity)
        else:
            old, self.served = self.served, loaded
            self.reloads += 1
            self._failed = None
            self.last_error = None
            self.on_reload()
            logger.info("%s: now serving the %s of %s (%s bytes)", self.path, self.kind,
                        _when(loaded.identity), f"{loaded.identity.size:,}")
            self._retire(old, loaded)
        finally:
            self._reloading = False

    def _report(self, error: BaseException, identity: FileIdentity | None) -> None:
        message = f"{type(error).__name__}: {error}"
        # Logged and counted once, not on every check that meets the same fault.
        if self.last_error is None or self.last_error["logged"] != message:
            logger.warning("%s: not served (%s); still serving the %s of %s", self.path,
                           message, self.kind, _when(self.served.identity))
            self.on_failure()
        # Answered without the paths in it (the file's, the snapshots'): the log has them.
        self.last_error = {"message": scrubbed(message), "at": time.time(),
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
                 snapshots: Snapshots | None = None) -> None:
        self.snapshots = snapshots
        super().__init__(name, path, interval=interval, clock=clock)

    def _first(self) -> Served:
        try:
            return self._load()
        except Exception as error:
            # A worker (re)started while the file is being written serves the snapshot the
            # others serve, rather than failing to start; with none, the file's fault is raised.
            fallback = self.snapshots.latest() if self.snapshots is not None else None
            if fallback is None:
                raise
            self.served = _served(*fallback)
            self._report(error, None)
            return self.served

    def _load(self) -> Served:
        return _open(self.path, self.snapshots)

    def _retire(self, old: Served, new: Served) -> None:
        # The old snapshot is replaced: its name goes, and its pages with the last mapping
        # (this worker's requests still running on it, other workers yet to reload).
        if old.snapshot is not None and old.snapshot != new.snapshot:
            with contextlib.suppress(OSError):
                os.unlink(old.snapshot)


class VideoHolder(FileHolder[VideoTable]):
    """The titles, thumbnails and links of the videos (--videos), read again when the file is
    replaced; a file that fails to read keeps the table in service."""

    kind = "videos file"

    def __init__(self, path: str, *, interval: float = RELOAD_INTERVAL,
                 clock: Callable[[], float] = time.monotonic) -> None:
        super().__init__("videos", path, interval=interval, clock=clock)

    def _load(self) -> VideoTable:
        return read_videos(self.path)


def _when(identity: FileIdentity) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(identity.mtime_ns / 1e9))


class Statistics:
    """Queries served and their latencies, for this worker process."""

    def __init__(self) -> None:
        self.counts: dict[str, int] = {}
        self.latencies: dict[str, deque[float]] = {}

    def record(self, endpoint: str, seconds: float) -> None:
        self.counts[endpoint] = self.counts.get(endpoint, 0) + 1
        window = self.latencies.get(endpoint)
        if window is None:
            window = self.latencies[endpoint] = deque(maxlen=LATENCY_WINDOW)
        window.append(seconds)

    def percentiles(self) -> dict[str, dict[str, float | int]]:
        result: dict[str, dict[str, float | int]] = {}
        for endpoint, window in self.latencies.items():
            ordered = sorted(window)
            entry: dict[str, float | int] = {"samples": len(ordered)}
            for name, fraction in (("p50", 0.50), ("p90", 0.90), ("p99", 0.99)):
                entry[name] = round(_nearest_rank(ordered, fraction) * 1000, 4)
            result[endpoint] = entry
        return result


def _nearest_rank(ordered: list[float], fraction: float) -> float:
    """The smallest sample with at least `fraction` of the samples at or below it."""
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def _integer(params: Mapping[str, str], name: str, default: int, highest: int,
             lowest: int = 0) -> int:
    raw = params.get(name)
    if raw is None:
        return default
    if not _INTEGER.fullmatch(raw):
        raise BadParameter(name, f"{name} must be an integer, not {raw[:40]!r}")
    value = int(raw)
    if value < 0:
        raise BadParameter(name, f"{name} cannot be negative")
    if value < lowest or value > highest:
        raise BadParameter(name, f"{name} must be between {lowest} and {highest}, not {value}")
    return value


def _jsonable(value: Any) -> Any:
    """Metadata as JSON can hold it: whatever the build recorded, the stats page must answer."""
    try:
        json.dumps(value, allow_nan=False)
        return value
    except (TypeError, ValueError):
        return repr(value)


# One encoder for every answer: json.dumps with any option set builds a new one per call. The
# answers are built here, never circular: no need to track every container on the way.
_encode = json.JSONEncoder(ensure_ascii=False, allow_nan=False, check_circular=False,
                           separators=(",", ":")).encode


class Json(Response):
    """A JSON answer, encoded as compactly and cheaply as the standard library can."""

    media_type = "application/json"

    def render(self, content: Any) -> bytes:
        return _encode(content).encode()


def _parameters(request: Request) -> dict[str, str]:
    """The query's parameters, the last of each name as Starlette's query_params has them, in
    a fraction of its time: a plain dict rather than a multi-valued one, and split by hand when
    nothing in it is escaped (as what the page sends mostly is not)."""
    raw = request.scope["query_string"].decode("latin-1")
    if "%" in raw or "+" in raw:
        return dict(parse_qsl(raw, keep_blank_values=True))
    return {name: value for name, _, value in (part.partition("=") for part in raw.split("&")
                                               if part)}


def _refused(error: BadParameter) -> Response:
    return Json({"error": error.message, "parameter": error.parameter}, status_code=400)


# Where a handler leaves the name of the index it chose, for the access log and the metrics.
INDEX_KEY = "torrelm.index"
QUERIES = ("complete", "suggest", "videos", "typeahead")

Found = list[Any]
# A query's answer: videos to describe, or the JSON array itself.
Query = Callable[[Index, str, int, int], "Found | bytes"]


class _Service:
    def __init__(self, holders: dict[str, IndexHolder], videos: VideoHolder | None,
                 max_text: int, max_dist: int) -> None:
        self.holders = holders
        self.default = next(iter(holders.values()))
        self.videos_holder = videos
        self.max_text = max_text
        self.max_dist = max_dist
        self.started = time.time()
        # Tells workers apart in /stats without their process ids.
        self.worker_id = os.urandom(4).hex()
        self.stats = {name: Statistics() for name in holders}
        self.totals = Statistics()  # of every index

    def holder(self, request: Request, params: Mapping[str, str]) -> IndexHolder:
        name = params.get("index")
        if name is None:
            holder = self.default
        elif (holder := self.holders.get(name)) is None:  # type: ignore[assignment]
            raise BadParameter("index", f"no index is named {name[:40]!r} here; there are "
                                        f"{', '.join(map(repr, self.holders))}")
        request.scope[INDEX_KEY] = holder.name
        return holder

    def text(self, params: Mapping[str, str]) -> str:
        q = params.get("q")
        if q is None:
            raise BadParameter("q", "q is missing: the text typed so far")
        if len(q) > self.max_text:
            raise BadParameter("q", f"q is longer than {self.max_text} characters")
        return q

    def described(self, found: Found) -> list[dict[str, Any]]:
        """Videos as answered: with their title, thumbnail and link where the table has them."""
        table = self.videos_holder.current().rows if self.videos_holder is not None else None
        if not table:
            return [{"id": video, "share": share} for video, share in found]
        answer = []
        for video, share in found:
            entry: dict[str, Any] = {"id": video, "share": share}
            known = table.get(str(video))
            if known is not None:
                title, thumbnail, url = known
                if title is not None:
                    entry["title"] = title
                if thumbnail is not None:
                    entry["thumbnail"] = thumbnail
                if url is not None:
                    entry["url"] = url
            answer.append(entry)
        return answer

    def endpoint(self, key: str, default_dist: int,
                 run: Query) -> Callable[[Request], Awaitable[Response]]:
        name = key.encode()

        async def handle(request: Request) -> Response:
            params = _parameters(request)
            try:
                holder = self.holder(request, params)
                q = self.text(params)
                limit = _integer(params, "limit", 10, MAX_LIMIT, lowest=1)
                max_dist = _integer(params, "max_dist", min(default_dist, self.max_dist),
                                    self.max_dist)
            except BadParameter as error:
                return _refused(error)
            # On the event loop, not in a thread: a query takes microseconds (a fuzzy one at
            # the largest bound a few hundred), far less than the hop to a thread and back.
            index = holder.current().index
            if key == "videos" and self.videos_holder is None:
                # Nothing to add to them: the index writes them as answered.
                found: Found | bytes = index._videos_json(q, limit, max_dist)
            else:
                found = run(index, q, limit, max_dist)
            if isinstance(found, bytes):
                return Response(b'{"q":' + _encode(q).encode() + b',"' + name + b'":' + found
                                + b"}", media_type="application/json")
            return Json({"q": q, key: self.described(found)})

        return handle

    async def typeahead(self, request: Request) -> Response:
        """One answer per keystroke: the completions to offer and the videos to show."""
        params = _parameters(request)
        try:
            holder = self.holder(request, params)
            q = self.text(params)
            limit = _integer(params, "limit", 10, MAX_LIMIT, lowest=1)
            videos = _integer(params, "videos", 10, MAX_LIMIT)
        except BadParameter as error:
            return _refused(error)
        index = holder.current().index
        if self.videos_holder is None:
            body = index._typeahead_json(q, limit, videos)
            return Response(b'{"q":' + _encode(q).encode() + b"," + body[1:],
                            media_type="application/json")
        found = index.typeahead(q, limit=limit, videos=videos)
        return Json({"q": q,
                     "completions": [{"term": c.term, "count": c.count,
                                      "highlight": [list(r) for r in c.highlight]}
                                     for c in found.completions],
                     "corrections": [{"term": c.term, "distance": c.distance, "count": c.count,
                                      "highlight": [list(r) for r in c.highlight]}
                                     for c in found.corrections],
                     "videos": self.described(found.videos)})

    async def healthz(self, request: Request) -> Response:
        return Json({"status": "ok"})

    def index_stats(self, holder: IndexHolder) -> dict[str, Any]:
        served = holder.current()
        index = served.index
        metadata = index.metadata or {}
        statistics = self.stats[holder.name]
        return {
            "index": {
                "repr": re.sub(r" path=.*>$", ">", repr(index)),
                "terms": len(index),
                "shape": dict(served.shape),
                "bytes": index.memory_bytes(),
                "build_id": served.build_id,
                "build_time": _jsonable(metadata.get("build_time")),
                "metadata": {str(k): _jsonable(v) for k, v in metadata.items()},
                "file": served.identity.as_json(),
                "opened_at": served.opened_at,
            },
            "reload": {"interval_seconds": holder.interval, "reloads": holder.reloads,
                       "last_error": holder.public_error()},
            "queries": {name: statistics.counts.get(name, 0) for name in QUERIES},
            "latency_ms": statistics.percentiles(),
        }

    def videos_stats(self) -> dict[str, Any] | None:
        holder = self.videos_holder
        if holder is None:
            return None
        table = holder.current()
        return {"rows": len(table.rows), "file": table.identity.as_json(),
                "reloads": holder.reloads, "last_error": holder.public_error()}

    async def stats_page(self, request: Request) -> Response:
        return Json({
            "default_index": self.default.name,
            "indexes": {name: self.index_stats(holder) for name, holder in self.holders.items()},
            "videos": self.videos_stats(),
            "bounds": {"max_text": self.max_text, "max_dist": self.max_dist,
                       "max_limit": MAX_LIMIT},
            "worker": {
                "id": self.worker_id,
                "started_at": self.started,
                "scope": "queries and latencies are this worker process's own; with several "
                         "workers, each /stats request is answered by whichever worker takes "
                         "it (/metrics counts them all)",
            },
            "queries": {name: self.totals.counts.get(name, 0) for name in QUERIES},
            "latency_ms": self.totals.percentiles(),
        })


# Unpacked rather than read by field name: a named tuple's fields are properties, slower to
# read than a tuple is to unpack, and these loops run on every request.
# Completions and suggestions come as JSON from the index itself: making tuples, then dicts,
# then text of them costs more than the query.
def _complete(index: Index, q: str, limit: int, max_dist: int) -> bytes:
    return index._complete_json(q, limit, max_dist)


def _suggest(index: Index, q: str, limit: int, max_dist: int) -> bytes:
    return index._suggest_json(q, limit, max_dist)


def _videos(index: Index, q: str, limit: int, max_dist: int) -> Found:
    return index.videos(q, max_dist=max_dist, limit=limit)  # described by the service


_STATIC_TYPES = {"page.js": "text/javascript; charset=utf-8",
                 "page.css": "text/css; charset=utf-8",
                 "index.html": "text/html; charset=utf-8"}


def _static_files() -> dict[str, tuple[bytes, str]]:
    """The page's files, read from the package once: served from memory, no build step."""
    folder = resources.files("torrelm") / "static"
    return {name: (folder.joinpath(name).read_bytes(), kind)
            for name, kind in _STATIC_TYPES.items()}


PathLike = str | os.PathLike[str]


class _Owner:
    """Something for a finalizer to watch."""


def named_indexes(indexes: PathLike | Mapping[str, PathLike]) -> dict[str, str]:
    """{name: path} of what create_app was given: one path is the index named DEFAULT_NAME.
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


def create_app(indexes: PathLike | Mapping[str, PathLike], *, max_text: int = 256,
               max_dist: int = 2, reload_interval: float = RELOAD_INTERVAL,
               clock: Callable[[], float] = time.monotonic,
               snapshot_dir: PathLike | None = None, map_in_place: bool = False,
               search_url: str | None = None, videos: PathLike | None = None,
               access_log: PathLike | None = None,
               cors_origins: Sequence[str] = ()) -> Starlette:
    """The service over the index file `indexes`, or over several: a mapping of names to files,
    the first one answering requests that name none (one path is named "default"). Each is
    opened (copied, mapped and verified) at once so that a bad file fails here rather than at
    the first request. `max_text` bounds the characters of q, `max_dist` the edit distance a
    request may ask for; each file is looked at for a newer build at most every
    `reload_interval` seconds of `clock`.

    The index served is a snapshot: a copy of the file in a folder of its name under
    `snapshot_dir`, a folder that the workers of one service share (so that they map the same
    copies) and that nothing else writes to; the caller makes it and removes it once they have
    stopped. Without one, the app makes a folder of its own, removed when it shuts down.
    `map_in_place` maps the file itself, as safe only as the file is replaced by renaming: a
    worker dies if it is rewritten in place. `search_url` is where the page sends what was
    typed when Enter is pressed with no completion chosen: a URL in which {q} stands for the
    text, URL-encoded. `videos` is a Parquet or CSV file of the videos' titles (columns id and
    title, maybe thumbnail and url), joined into the videos answered. `access_log` is a file
    that gets a JSON line per request ("-" for standard output). `cors_origins` are the origins
    whose pages may call the service from a browser."""
    if search_url is not None and "{q}" not in search_url:
        raise ValueError(f"search_url {search_url!r} has no {{q}} for the text typed")
    if max_text < 0 or max_dist < 0:
        raise ValueError("max_text and max_dist cannot be negative")
    named = named_indexes(indexes)
    cleanups: list[Callable[[], Any]] = []
    # Lives as long as the app: its folder goes when it does, or at exit, for an app whose
    # server never runs its shutdown.
    owner = _Owner()
    try:
        folder: str | None = None
        if not map_in_place:
            if snapshot_dir is None:
                folder = tempfile.mkdtemp(prefix="torrelm-serve-")
                cleanups.append(weakref.finalize(owner, shutil.rmtree, folder, True))
            else:
                folder = os.fspath(snapshot_dir)
        holders: dict[str, IndexHolder] = {}
        for name, path in named.items():
            snapshots = None
            if folder is not None:
                # A folder per index: a worker starting while a file is written falls back on
                # the latest snapshot in the folder, which must be of the same index.
                os.makedirs(os.path.join(folder, name), exist_ok=True)
                snapshots = Snapshots(os.path.join(folder, name))
            holders[name] = IndexHolder(path, name=name, interval=reload_interval, clock=clock,
                                        snapshots=snapshots)
        video_holder = (VideoHolder(os.fspath(videos), interval=reload_interval, clock=clock)
                        if videos is not None else None)
        log = AccessLog.open(os.fspath(access_log)) if access_log is not None else None
        if log is not None:
            cleanups.append(log.close)
    except BaseException:
        for cleanup in cleanups:
            cleanup()
        raise
    service = _Service(holders, video_holder, max_text, max_dist)
    metrics = Metrics(holders, video_holder)
    files = _static_files()

    def static(name: str) -> Callable[[Request], Awaitable[Response]]:
        body, kind = files[name]

        async def send(request: Request) -> Response:
            # no-cache: after an upgrade the browser asks again rather than run an old script.
            return Response(body, media_type=kind, headers={"Cache-Control": "no-cache"})

        return send

    async def page_settings(request: Request) -> Response:
        return Json({"search_url": search_url, "indexes": list(holders),
                     "default_index": service.default.name})

    async def metrics_page(request: Request) -> Response:
        for holder in holders.values():
            holder.current()
        return Response(metrics.exposition(), media_type=metrics.content_type)

    async def reloaded() -> None:
        waited: list[FileHolder[Any]] = [*holders.values()]
        if video_holder is not None:
            waited.append(video_holder)
        for holder in waited:
            await holder.reloaded()

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        try:
            yield
        finally:
            await reloaded()
            for cleanup in cleanups:
                cleanup()

    routes = [
        Route("/", static("index.html")),
        Route("/static/page.js", static("page.js")),
        Route("/static/page.css", static("page.css")),
        Route("/api/complete", service.endpoint("completions", 0, _complete)),
        Route("/api/suggest", service.endpoint("suggestions", 2, _suggest)),
        Route("/api/videos", service.endpoint("videos", 1, _videos)),
        Route("/api/typeahead", service.typeahead),
        Route("/api/page", page_settings),
        Route("/healthz", service.healthz),
        Route("/stats", service.stats_page),
        Route("/metrics", metrics_page),
    ]

    def record(endpoint: str, index: str, seconds: float) -> None:
        service.stats[index].record(endpoint, seconds)
        service.totals.record(endpoint, seconds)

    middleware = [Middleware(Observed, metrics=metrics, log=log, record=record,
                             paths=[route.path for route in routes], queries=QUERIES)]
    if cors_origins:
        # Outermost but for the observer: a preflight is answered here, counted and logged.
        middleware.append(Middleware(CORSMiddleware, allow_origins=list(cors_origins),
                                     allow_methods=["GET"], max_age=600))
    app = Starlette(routes=routes, lifespan=lifespan, middleware=middleware)
    app.state.holder = service.default
    app.state.holders = holders
    app.state.videos = video_holder
    app.state.service = service
    app.state.metrics = metrics
    app.state.reloaded = reloaded
    app.state.owner = owner
    return app


def _log_to_stderr() -> None:
    """Reloads and refused files in the service's log (uvicorn's logging leaves other loggers
    alone), once per process: with one worker, serve() and the app share it."""
    if not logger.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter(
            "%(asctime)s torrelm serve[%(process)d] %(levelname)s: %(message)s"))
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        logger.propagate = False


def app_from_environment() -> Starlette:
    """The app of a worker process uvicorn started: its settings come from the environment,
    where serve() put them, since uvicorn starts workers from an import string."""
    _log_to_stderr()
    config = json.loads(os.environ[CONFIG_VARIABLE])
    return create_app(dict(config["indexes"]), max_text=config["max_text"],
                      max_dist=config["max_dist"], snapshot_dir=config["snapshot_dir"],
                      map_in_place=config["map_in_place"], search_url=config.get("search_url"),
                      videos=config.get("videos"), access_log=config.get("access_log"),
                      cors_origins=config.get("cors_origins", ()))


def serve(indexes: str | Mapping[str, str], *, host: str = "127.0.0.1", port: int = 8000,
          workers: int = 1, max_text: int = 256, max_dist: int = 2,
          snapshot_dir: str | None = None, map_in_place: bool = False,
          search_url: str | None = None, videos: str | None = None,
          access_log: str | None = None, cors_origins: Sequence[str] = (),
          graceful_timeout: int = 10) -> None:
    """Runs the service under uvicorn until interrupted (SIGINT or SIGTERM: requests in flight
    get `graceful_timeout` seconds to finish). It makes a folder under `snapshot_dir` (the
    system's temporary folder by default), removed when it stops, for the snapshots of each
    index, which every worker maps, so they share its pages, and for the metrics files of the
    workers. `map_in_place` maps the files themselves instead (a worker dies if a file is
    rewritten in place)."""
    import uvicorn

    _log_to_stderr()
    named = {name: os.path.abspath(path) for name, path in named_indexes(indexes).items()}
    folder = tempfile.mkdtemp(prefix="torrelm-serve-", dir=snapshot_dir)
    try:
        if not map_in_place:
            for name, path in named.items():
                try:
                    os.mkdir(os.path.join(folder, name))
                    # The first snapshot, taken once here: every worker finds it, rather than
                    # each copying the file as it starts.
                    Snapshots(os.path.join(folder, name)).take(path)
                except (OSError, ValueError, FileChanged) as error:
                    raise SystemExit(f"torrelm serve: {path}: no snapshot could be taken "
                                     f"(--snapshot-dir picks the folder, --map-in-place does "
                                     f"without): {error}") from None
            logger.info("snapshots of %s in %s", ", ".join(named.values()), folder)
        # Counters and histograms of every worker, each in files of its own, summed by the
        # worker a scrape reaches. Set before any worker imports prometheus_client, which
        # reads it once.
        os.mkdir(os.path.join(folder, ".metrics"))
        os.environ["PROMETHEUS_MULTIPROC_DIR"] = os.path.join(folder, ".metrics")
        os.environ[CONFIG_VARIABLE] = json.dumps({
            "indexes": list(named.items()), "snapshot_dir": None if map_in_place else folder,
            "map_in_place": map_in_place, "max_text": max_text, "max_dist": max_dist,
            "search_url": search_url, "videos": videos and os.path.abspath(videos),
            "access_log": access_log if access_log in (None, "-") else
            os.path.abspath(access_log), "cors_origins": list(cors_origins)})
        if workers == 1:
            _run_worker(host, port, graceful_timeout)
        else:
            _supervise(host, port, workers, graceful_timeout)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _run_worker(host: str, port: int, graceful_timeout: int,
                sock: socket.socket | None = None) -> None:
    """One worker: uvicorn on httptools and uvloop, named rather than left to uvicorn's choice,
    which falls back to pure-Python parsing and asyncio's loop without a word when either is
    missing; that costs three times the server's time per request (docs/performance.md)."""
    import uvicorn

    config = uvicorn.Config("torrelm._serve:app_from_environment", factory=True, host=host,
                            port=port, loop="uvloop", http="httptools", log_level="warning",
                            access_log=False, timeout_graceful_shutdown=graceful_timeout)
    uvicorn.Server(config).run(sockets=[sock] if sock is not None else None)


def _listening(host: str, port: int, *, listen: bool) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    sock.bind((host, port))
    if listen:
        sock.listen(2048)
    return sock


def _worker_main() -> None:
    """A worker process _supervise() started: HOST PORT GRACEFUL_TIMEOUT on its command line."""
    host, port, graceful_timeout = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    _log_to_stderr()
    try:
        sock = _listening(host, port, listen=True)
    except OSError as error:
        raise SystemExit(f"torrelm serve: worker cannot listen on {host}:{port}: {error}")
    _run_worker(host, port, graceful_timeout, sock)


def _supervise(host: str, port: int, workers: int, graceful_timeout: int) -> None:
    """Runs `workers` processes, each listening on a socket of its own on the same port
    (SO_REUSEPORT), so that the kernel spreads new connections evenly among them: workers that
    share one socket take whatever connection each happens to accept first, and one of them
    can end up with every keep-alive connection. Replaces a worker that dies; on SIGINT or
    SIGTERM, tells every worker to finish what it has in flight and waits for them.

    The port is held by a socket bound here and never listening, which also resolves port 0.
    Any process of the same user could join the port with SO_REUSEPORT too."""
    import signal
    import subprocess

    try:
        holder = _listening(host, port, listen=False)
    except OSError as error:
        raise SystemExit(f"torrelm serve: cannot listen on {host}:{port}: {error}") from None
    port = holder.getsockname()[1]
    command = [sys.executable, "-c", "from torrelm._serve import _worker_main; _worker_main()",
               host, str(port), str(graceful_timeout)]
    stopping = False

    def stop(signum: int, frame: object) -> None:
        nonlocal stopping
        stopping = True

    previous = {number: signal.signal(number, stop)
                for number in (signal.SIGINT, signal.SIGTERM)}
    processes = [subprocess.Popen(command) for _ in range(workers)]
    started = [time.monotonic()] * workers
    quick_deaths = [0] * workers
    try:
        while not stopping:
            time.sleep(0.2)
            for slot, process in enumerate(processes):
                if process.poll() is None or stopping:
                    continue
                # A worker that keeps dying as soon as it starts would die again: stop rather
                # than spin.
                quick = time.monotonic() - started[slot] < 2
                quick_deaths[slot] = quick_deaths[slot] + 1 if quick else 0
                if quick_deaths[slot] >= 3:
                    logger.error("a worker exited with %s right after it started, three times "
                                 "running; stopping", process.returncode)
                    stopping = True
                    break
                logger.warning("a worker exited with %s; starting another", process.returncode)
                processes[slot] = subprocess.Popen(command)
                started[slot] = time.monotonic()
    finally:
        for process in processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        deadline = time.monotonic() + graceful_timeout + 5
        for process in processes:
            try:
                process.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        holder.close()
        for number, handler in previous.items():
            signal.signal(number, handler)

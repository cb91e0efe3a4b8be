"""The search service: python -m torrelm serve INDEX.

A Starlette app answering the search box's three queries as JSON, with a page at / that uses
them. The service serves a private snapshot of the index file: a copy in a folder of its own,
mapped with torrelm.open by every worker, so that all of them share one copy of its pages and
none dies when the file is rewritten or truncated in place. Each worker picks up a newer file
between requests.
"""

from __future__ import annotations

import asyncio
import contextlib
import errno
import fcntl
import json
import logging
import math
import os
import re
import shutil
import sys
import tempfile
import time
import weakref
from collections import deque
from collections.abc import AsyncIterator, Awaitable, Callable, Iterator
from dataclasses import dataclass
from importlib import resources
from typing import Any

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from ._native import Index
from ._storage import _open_regular
from ._storage import open as open_index

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
        return {"inode": self.inode, "device": self.device, "size": self.size,
                "mtime": self.mtime_ns / 1e9, "mtime_ns": self.mtime_ns}

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


def _served(index: Index, identity: FileIdentity, snapshot: str | None) -> Served:
    # The first completion derives what the queries are led by (the search counts, and the walk
    # table with its records: passes over the index): done here, before the index is served, and
    # not by the request that comes first.
    index.complete("", limit=1)
    return Served(index, identity, time.time(), snapshot)


def _open(path: str, snapshots: Snapshots | None) -> Served:
    if snapshots is not None:
        return _served(*snapshots.open(path))
    # The identity is taken before opening: if the file is replaced between the two, the next
    # check sees a different identity and opens the newer file, rather than never noticing it.
    identity = FileIdentity.of(os.stat(path))
    return _served(open_index(path), identity, None)


class IndexHolder:
    """The index a worker serves, reopened when its file is replaced.

    Runs on the event loop only: the checks and the swap happen between awaits, so they need no
    lock. A replaced file is opened (snapshot taken and verified, in a thread) by a task of its
    own, and swapped in when it is ready: no request waits for it, every request meanwhile gets
    the index in service. With `snapshots` None the file itself is mapped.
    """

    def __init__(self, path: str, *, interval: float = RELOAD_INTERVAL,
                 clock: Callable[[], float] = time.monotonic,
                 snapshots: Snapshots | None = None) -> None:
        self.path = path
        self.interval = interval
        self.clock = clock
        self.snapshots = snapshots
        self.reloads = 0
        self.last_error: dict[str, Any] | None = None
        self._failed: FileIdentity | None = None
        self._reloading = False
        self._task: asyncio.Task[None] | None = None
        try:
            self.served = _open(path, snapshots)
        except Exception as error:
            # A worker (re)started while the file is being written serves the snapshot the
            # others serve, rather than failing to start; with none, the file's fault is raised.
            fallback = snapshots.latest() if snapshots is not None else None
            if fallback is None:
                raise
            self.served = _served(*fallback)
            self._report(error, None)
        self.last_check = clock()

    async def current(self) -> Served:
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
            served = await run_in_threadpool(_open, self.path, self.snapshots)
        except Exception as error:  # noqa: BLE001 - any failure keeps the index that works
            # A file refused for what it holds is not verified again on every check, unless it
            # changed so recently that a write may still be under way; a copy that could not be
            # made (a full disk, a write during it) is tried again.
            if isinstance(error, ValueError) and identity.mtime_ns + SETTLE_NS <= started_ns:
                self._failed = identity
            self._report(error, identity)
        else:
            old, self.served = self.served, served
            self.reloads += 1
            self._failed = None
            self.last_error = None
            logger.info("%s: now serving the file of %s (%s bytes)%s", self.path,
                        _when(served.identity), f"{served.identity.size:,}",
                        f", from the snapshot {served.snapshot}" if served.snapshot else "")
            # The old snapshot is replaced: its name goes, and its pages with the last mapping
            # (this worker's requests still running on it, other workers yet to reload).
            if old.snapshot is not None and old.snapshot != served.snapshot:
                with contextlib.suppress(OSError):
                    os.unlink(old.snapshot)
        finally:
            self._reloading = False

    def _report(self, error: BaseException, identity: FileIdentity | None) -> None:
        message = f"{type(error).__name__}: {error}"
        # Logged once, not on every check that meets the same fault.
        if self.last_error is None or self.last_error["message"] != message:
            logger.warning("%s: not served (%s); still serving the file of %s", self.path,
                           message, _when(self.served.identity))
        self.last_error = {"message": message, "at": time.time(),
                           "file": identity.as_json() if identity else None}


def _when(identity: FileIdentity) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(identity.mtime_ns / 1e9))


class Statistics:
    """Queries served and their latencies, for this worker process."""

    def __init__(self) -> None:
        self.started = time.time()
        self.counts: dict[str, int] = {}
        self.latencies: dict[str, deque[float]] = {}

    def record(self, endpoint: str, seconds: float) -> None:
        self.counts[endpoint] = self.counts.get(endpoint, 0) + 1
        window = self.latencies.setdefault(endpoint, deque(maxlen=LATENCY_WINDOW))
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


def _integer(request: Request, name: str, default: int, highest: int, lowest: int = 0) -> int:
    raw = request.query_params.get(name)
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


class _Service:
    def __init__(self, holder: IndexHolder, max_text: int, max_dist: int) -> None:
        self.holder = holder
        self.max_text = max_text
        self.max_dist = max_dist
        self.stats = Statistics()

    def text(self, request: Request) -> str:
        q = request.query_params.get("q")
        if q is None:
            raise BadParameter("q", "q is missing: the text typed so far")
        if len(q) > self.max_text:
            raise BadParameter("q", f"q is longer than {self.max_text} characters")
        return q

    def endpoint(self, name: str, key: str, default_dist: int,
                 run: Callable[[Index, str, int, int], list[dict[str, Any]]]
                 ) -> Callable[[Request], Awaitable[Response]]:
        async def handle(request: Request) -> Response:
            started = time.perf_counter()
            try:
                q = self.text(request)
                limit = _integer(request, "limit", 10, MAX_LIMIT, lowest=1)
                max_dist = _integer(request, "max_dist", min(default_dist, self.max_dist),
                                    self.max_dist)
            except BadParameter as error:
                return JSONResponse({"error": error.message, "parameter": error.parameter},
                                    status_code=400)
            served = await self.holder.current()
            # The query releases the interpreter lock: in a thread, it leaves the event loop
            # free to take other requests meanwhile.
            found = await run_in_threadpool(run, served.index, q, limit, max_dist)
            self.stats.record(name, time.perf_counter() - started)
            return JSONResponse({"q": q, key: found})

        return handle

    async def typeahead(self, request: Request) -> Response:
        """One answer per keystroke: the completions to offer and the videos to show."""
        started = time.perf_counter()
        try:
            q = self.text(request)
            limit = _integer(request, "limit", 10, MAX_LIMIT, lowest=1)
            videos = _integer(request, "videos", 10, MAX_LIMIT)
        except BadParameter as error:
            return JSONResponse({"error": error.message, "parameter": error.parameter},
                                status_code=400)
        served = await self.holder.current()
        found = await run_in_threadpool(served.index.typeahead, q, limit=limit, videos=videos)
        self.stats.record("typeahead", time.perf_counter() - started)
        return JSONResponse({
            "q": q,
            "completions": [{"term": c.term, "count": c.count} for c in found.completions],
            "videos": [{"id": v.id, "share": v.share} for v in found.videos],
        })

    async def healthz(self, request: Request) -> Response:
        return JSONResponse({"status": "ok"})

    async def stats_page(self, request: Request) -> Response:
        served = await self.holder.current()
        index = served.index
        metadata = index.metadata or {}
        return JSONResponse({
            "index": {
                "path": os.path.abspath(self.holder.path),
                "repr": repr(index),
                "terms": len(index),
                "build_time": _jsonable(metadata.get("build_time")),
                "metadata": {str(k): _jsonable(v) for k, v in metadata.items()},
                "file": served.identity.as_json(),
                "snapshot": served.snapshot,
                "opened_at": served.opened_at,
            },
            "reload": {
                "interval_seconds": self.holder.interval,
                "reloads": self.holder.reloads,
                "last_error": self.holder.last_error,
            },
            "bounds": {"max_text": self.max_text, "max_dist": self.max_dist,
                       "max_limit": MAX_LIMIT},
            "worker": {
                "pid": os.getpid(),
                "started_at": self.stats.started,
                "scope": "queries and latencies are this worker process's own; with several "
                         "workers, each /stats request is answered by whichever worker takes it",
            },
            "queries": {name: self.stats.counts.get(name, 0)
                        for name in ("complete", "suggest", "videos", "typeahead")},
            "latency_ms": self.stats.percentiles(),
        })


def _complete(index: Index, q: str, limit: int, max_dist: int) -> list[dict[str, Any]]:
    return [{"term": c.term, "count": c.count}
            for c in index.complete(q, limit=limit, max_dist=max_dist)]


def _suggest(index: Index, q: str, limit: int, max_dist: int) -> list[dict[str, Any]]:
    return [{"term": s.term, "distance": s.distance, "count": s.count}
            for s in index.suggest(q, max_dist=max_dist, limit=limit)]


def _videos(index: Index, q: str, limit: int, max_dist: int) -> list[dict[str, Any]]:
    return [{"id": v.id, "share": v.share}
            for v in index.videos(q, max_dist=max_dist, limit=limit)]


_STATIC_TYPES = {"page.js": "text/javascript; charset=utf-8",
                 "page.css": "text/css; charset=utf-8",
                 "index.html": "text/html; charset=utf-8"}


def _static_files() -> dict[str, tuple[bytes, str]]:
    """The page's files, read from the package once: served from memory, no build step."""
    folder = resources.files("torrelm") / "static"
    return {name: (folder.joinpath(name).read_bytes(), kind)
            for name, kind in _STATIC_TYPES.items()}


def create_app(index_path: str | os.PathLike[str], *, max_text: int = 256, max_dist: int = 2,
               reload_interval: float = RELOAD_INTERVAL,
               clock: Callable[[], float] = time.monotonic,
               snapshot_dir: str | os.PathLike[str] | None = None,
               map_in_place: bool = False, search_url: str | None = None) -> Starlette:
    """The service over the index file `index_path`, opened (copied, mapped and verified) at once
    so that a bad file fails here rather than at the first request. `max_text` bounds the
    characters of q, `max_dist` the edit distance a request may ask for; the file is looked at
    for a newer build at most every `reload_interval` seconds of `clock`.

    The index served is a snapshot: a copy of the file in `snapshot_dir`, a folder that the
    workers of one service share (so that they map the same copies) and that nothing else
    writes to; the caller makes it and removes it once they have stopped. Without one, the app
    makes a folder of its own, removed when it shuts down. `map_in_place` maps the file itself,
    as safe only as the file is replaced by renaming: a worker dies if it is rewritten in place.
    `search_url` is where the page sends what was typed when Enter is pressed with no completion
    chosen: a URL in which {q} stands for the text, URL-encoded."""
    if search_url is not None and "{q}" not in search_url:
        raise ValueError(f"search_url {search_url!r} has no {{q}} for the text typed")
    if max_text < 0 or max_dist < 0:
        raise ValueError("max_text and max_dist cannot be negative")
    cleanup: Callable[[], Any] | None = None
    snapshots: Snapshots | None = None
    if not map_in_place:
        if snapshot_dir is None:
            folder = tempfile.mkdtemp(prefix="torrelm-serve-")
            snapshots = Snapshots(folder)
            # Also at exit, for an app whose server never runs its shutdown.
            cleanup = weakref.finalize(snapshots, shutil.rmtree, folder, True)
        else:
            snapshots = Snapshots(os.fspath(snapshot_dir))
    try:
        holder = IndexHolder(os.fspath(index_path), interval=reload_interval, clock=clock,
                             snapshots=snapshots)
    except BaseException:
        if cleanup is not None:
            cleanup()
        raise
    service = _Service(holder, max_text, max_dist)
    files = _static_files()

    def static(name: str) -> Callable[[Request], Awaitable[Response]]:
        body, kind = files[name]

        async def send(request: Request) -> Response:
            # no-cache: after an upgrade the browser asks again rather than run an old script.
            return Response(body, media_type=kind, headers={"Cache-Control": "no-cache"})

        return send

    async def page_settings(request: Request) -> Response:
        return JSONResponse({"search_url": search_url})

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        try:
            yield
        finally:
            await holder.reloaded()
            if cleanup is not None:
                cleanup()

    routes = [
        Route("/", static("index.html")),
        Route("/static/page.js", static("page.js")),
        Route("/static/page.css", static("page.css")),
        Route("/api/complete", service.endpoint("complete", "completions", 0, _complete)),
        Route("/api/suggest", service.endpoint("suggest", "suggestions", 2, _suggest)),
        Route("/api/videos", service.endpoint("videos", "videos", 1, _videos)),
        Route("/api/typeahead", service.typeahead),
        Route("/api/page", page_settings),
        Route("/healthz", service.healthz),
        Route("/stats", service.stats_page),
    ]
    app = Starlette(routes=routes, lifespan=lifespan)
    app.state.holder = holder
    app.state.service = service
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
    return create_app(config["index"], max_text=config["max_text"], max_dist=config["max_dist"],
                      snapshot_dir=config["snapshot_dir"], map_in_place=config["map_in_place"],
                      search_url=config.get("search_url"))


def serve(index_path: str, *, host: str = "127.0.0.1", port: int = 8000, workers: int = 1,
          max_text: int = 256, max_dist: int = 2, snapshot_dir: str | None = None,
          map_in_place: bool = False, search_url: str | None = None) -> None:
    """Runs the service under uvicorn until interrupted. Its snapshots go to a folder made
    under `snapshot_dir` (the system's temporary folder by default) and removed when it stops;
    every worker maps the same snapshot, so they share its pages. `map_in_place` maps the file
    itself instead (a worker dies if the file is rewritten in place)."""
    import uvicorn

    _log_to_stderr()
    path = os.path.abspath(index_path)
    folder: str | None = None
    try:
        if not map_in_place:
            try:
                folder = tempfile.mkdtemp(prefix="torrelm-serve-", dir=snapshot_dir)
                # The first snapshot, taken once here: every worker finds it, rather than each
                # copying the file as it starts.
                Snapshots(folder).take(path)
            except (OSError, ValueError, FileChanged) as error:
                raise SystemExit(f"torrelm serve: {index_path}: no snapshot could be taken "
                                 f"(--snapshot-dir picks the folder, --map-in-place does "
                                 f"without): {error}") from None
            logger.info("snapshots of %s in %s", path, folder)
        os.environ[CONFIG_VARIABLE] = json.dumps({"index": path, "snapshot_dir": folder,
                                                  "map_in_place": map_in_place,
                                                  "max_text": max_text, "max_dist": max_dist,
                                                  "search_url": search_url})
        uvicorn.run("torrelm._serve:app_from_environment", factory=True, host=host, port=port,
                    workers=workers, log_level="warning", access_log=False)
    finally:
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)

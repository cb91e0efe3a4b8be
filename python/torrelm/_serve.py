"""The search service: python -m torrelm serve INDEX.

A Starlette app answering the search box's three queries as JSON, with a page at / that uses
them. Each worker process maps the index file with torrelm.open, so all workers share one copy
of its pages, and picks up a newer file (replaced by torrelm.save) between requests.
"""

from __future__ import annotations

import asyncio

import json
import math
import os
import re
import time
from collections import deque
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from importlib import resources
from typing import Any

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from ._native import Index
from ._storage import open as open_index

# Larger pages of results are no search box's; the bound keeps one request's work small.
MAX_LIMIT = 100
# How often a worker looks at the index file, at most: a stat() costs microseconds, but there is
# no point in doing one per request under load.
RELOAD_INTERVAL = 0.5
# Latencies kept per endpoint for the percentiles: recent enough to follow a change of load.
LATENCY_WINDOW = 4096

# What the environment carries to the worker processes uvicorn starts (see app_from_environment).
CONFIG_VARIABLE = "TORRELM_SERVE_CONFIG"

_INTEGER = re.compile(r"-?[0-9]{1,18}")


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


@dataclass(frozen=True)
class Served:
    """An open index and the file it came from. Replaced whole on reload, never changed, so a
    request that took it keeps a consistent view while a newer one is swapped in."""

    index: Index
    identity: FileIdentity
    opened_at: float


def _open(path: str) -> Served:
    # The identity is taken before opening: if the file is replaced between the two, the next
    # check sees a different identity and opens the newer file, rather than never noticing it.
    identity = FileIdentity.of(os.stat(path))
    index = open_index(path)
    # The first completion derives what the queries are led by (the search counts, and the walk
    # table with its records: passes over the index): done here, before the index is served, and
    # not by the request that comes first.
    index.complete("", limit=1)
    return Served(index, identity, time.time())


class IndexHolder:
    """The index a worker serves, reopened when its file is replaced.

    Runs on the event loop only: the checks and the swap happen between awaits, so they need no
    lock. A replaced file is opened (verified, in a thread) by a task of its own, and swapped in
    when it is ready: no request waits for it, every request meanwhile gets the index in service.
    """

    def __init__(self, path: str, *, interval: float = RELOAD_INTERVAL,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.path = path
        self.interval = interval
        self.clock = clock
        self.served = _open(path)
        self.reloads = 0
        self.last_check = clock()
        self.last_error: dict[str, Any] | None = None
        self._failed: FileIdentity | None = None
        self._reloading = False
        self._task: asyncio.Task[None] | None = None

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
        try:
            self.served = await run_in_threadpool(_open, self.path)
            self.reloads += 1
            self._failed = None
            self.last_error = None
        except Exception as error:  # noqa: BLE001 - any failure keeps the index that works
            # Remembered so that the same bad file is not verified again on every check.
            self._failed = identity
            self._report(error, identity)
        finally:
            self._reloading = False

    def _report(self, error: BaseException, identity: FileIdentity | None) -> None:
        self.last_error = {"message": f"{type(error).__name__}: {error}", "at": time.time(),
                           "file": identity.as_json() if identity else None}


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
                        for name in ("complete", "suggest", "videos")},
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
               clock: Callable[[], float] = time.monotonic) -> Starlette:
    """The service over the index file `index_path`, opened (mapped and verified) at once so that
    a bad file fails here rather than at the first request. `max_text` bounds the characters of
    q, `max_dist` the edit distance a request may ask for; the file is looked at for a newer
    build at most every `reload_interval` seconds of `clock`."""
    if max_text < 0 or max_dist < 0:
        raise ValueError("max_text and max_dist cannot be negative")
    holder = IndexHolder(os.fspath(index_path), interval=reload_interval, clock=clock)
    service = _Service(holder, max_text, max_dist)
    files = _static_files()

    def static(name: str) -> Callable[[Request], Awaitable[Response]]:
        body, kind = files[name]

        async def send(request: Request) -> Response:
            # no-cache: after an upgrade the browser asks again rather than run an old script.
            return Response(body, media_type=kind, headers={"Cache-Control": "no-cache"})

        return send

    routes = [
        Route("/", static("index.html")),
        Route("/static/page.js", static("page.js")),
        Route("/static/page.css", static("page.css")),
        Route("/api/complete", service.endpoint("complete", "completions", 0, _complete)),
        Route("/api/suggest", service.endpoint("suggest", "suggestions", 2, _suggest)),
        Route("/api/videos", service.endpoint("videos", "videos", 1, _videos)),
        Route("/healthz", service.healthz),
        Route("/stats", service.stats_page),
    ]
    app = Starlette(routes=routes)
    app.state.holder = holder
    app.state.service = service
    return app


def app_from_environment() -> Starlette:
    """The app of a worker process uvicorn started: its settings come from the environment,
    where serve() put them, since uvicorn starts workers from an import string."""
    config = json.loads(os.environ[CONFIG_VARIABLE])
    return create_app(config["index"], max_text=config["max_text"], max_dist=config["max_dist"])


def serve(index_path: str, *, host: str = "127.0.0.1", port: int = 8000, workers: int = 1,
          max_text: int = 256, max_dist: int = 2) -> None:
    """Runs the service under uvicorn until interrupted. Every worker opens the file itself
    (torrelm.open maps it, so they share its pages)."""
    import uvicorn

    os.environ[CONFIG_VARIABLE] = json.dumps({"index": os.path.abspath(index_path),
                                              "max_text": max_text, "max_dist": max_dist})
    uvicorn.run("torrelm._serve:app_from_environment", factory=True, host=host, port=port,
                workers=workers, log_level="warning", access_log=False)

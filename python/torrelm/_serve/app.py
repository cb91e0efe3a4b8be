"""The service's app: a Starlette app answering the search box's queries as JSON over one or
more indexes, with a page at / that uses them.

Each index is served from a private snapshot of its file (holders), which every worker maps:
they share one copy of its pages, and none dies when the file is rewritten in place. A task of
each worker looks at the files between requests and without them, and swaps a newer build in.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import math
import os
import re
import shutil
import tempfile
import time
import weakref
from collections import deque
from collections.abc import AsyncIterator, Awaitable, Callable, Mapping, Sequence
from importlib import resources
from typing import Any
from urllib.parse import parse_qsl

from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from .._native import Index
from .holders import (RELOAD_INTERVAL, BlockHolder, FileHolder, IndexHolder, PathLike,
                      Snapshots, TitleFiles, VideoHolder, _jsonable, named_indexes)
from .observe import RESULTS_KEY, AccessLog, Metrics, Observed

# Larger pages of results are no search box's; the bound keeps one request's work small.
MAX_LIMIT = 100
# Latencies kept per endpoint for the percentiles: recent enough to follow a change of load.
LATENCY_WINDOW = 4096

_INTEGER = re.compile(r"-?[0-9]{1,18}")

logger = logging.getLogger("torrelm.serve")


class BadParameter(Exception):
    """A query parameter the service refuses, answered by a 400 naming it."""

    def __init__(self, parameter: str, message: str) -> None:
        super().__init__(message)
        self.parameter = parameter
        self.message = message


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
                 max_text: int, max_dist: int, blocks: BlockHolder | None = None) -> None:
        self.holders = holders
        self.blocks = blocks
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
        table = self.videos_holder.current().table if self.videos_holder is not None else None
        if not table:
            return [{"id": video, "share": share} for video, share in found]
        answer = []
        for (video, share), known in zip(found, table.lookup([video for video, _ in found])):
            entry: dict[str, Any] = {"id": video, "share": share}
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
        first = b'{"id":' if key == "videos" else b'{"term":'

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
                # Each result is an object starting with its first key, which no string in the
                # answer can hold unescaped.
                request.scope[RESULTS_KEY] = found.count(first)
                return Response(b'{"q":' + _encode(q).encode() + b',"' + name + b'":' + found
                                + b"}", media_type="application/json")
            request.scope[RESULTS_KEY] = len(found)
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
            # What the drop-down shows: completions and corrections (the videos are theirs).
            request.scope[RESULTS_KEY] = body.count(b'{"term":')
            return Response(b'{"q":' + _encode(q).encode() + b"," + body[1:],
                            media_type="application/json")
        found = index.typeahead(q, limit=limit, videos=videos)
        request.scope[RESULTS_KEY] = len(found.completions) + len(found.corrections)
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
                       "incomplete": holder.incomplete, "last_error": holder.public_error()},
            "queries": {name: statistics.counts.get(name, 0) for name in QUERIES},
            "latency_ms": statistics.percentiles(),
        }

    def videos_stats(self) -> dict[str, Any] | None:
        holder = self.videos_holder
        if holder is None:
            return None
        table = holder.current()
        return {"rows": len(table.table), "file": table.identity.as_json(),
                "reloads": holder.reloads, "incomplete": holder.incomplete,
                "last_error": holder.public_error()}

    def block_stats(self) -> dict[str, Any] | None:
        holder = self.blocks
        if holder is None:
            return None
        blocks = holder.current()
        return {"terms": len(blocks.terms), "words": len(blocks.words),
                "file": blocks.identity.as_json(), "reloads": holder.reloads,
                "last_error": holder.public_error()}

    async def stats_page(self, request: Request) -> Response:
        return Json({
            "default_index": self.default.name,
            "indexes": {name: self.index_stats(holder) for name, holder in self.holders.items()},
            "videos": self.videos_stats(),
            "block": self.block_stats(),
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


class _Owner:
    """Something for a finalizer to watch."""


def create_app(indexes: PathLike | Mapping[str, PathLike], *, max_text: int = 256,
               max_dist: int = 2, reload_interval: float = RELOAD_INTERVAL,
               clock: Callable[[], float] = time.monotonic,
               snapshot_dir: PathLike | None = None, map_in_place: bool = False,
               search_url: str | None = None, videos: PathLike | None = None,
               access_log: PathLike | None = None,
               cors_origins: Sequence[str] = (), block: PathLike | None = None) -> Starlette:
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
    whose pages may call the service from a browser. `block` is a block list (a line a term,
    `~word` a word, `#` a comment) that no completion, suggestion or correction answered may
    match, read again when the file is replaced."""
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
        # The snapshots' folder, which also holds the videos' titles as the workers map them.
        if snapshot_dir is None:
            folder = tempfile.mkdtemp(prefix="torrelm-serve-")
            cleanups.append(weakref.finalize(owner, shutil.rmtree, folder, True))
        else:
            folder = os.fspath(snapshot_dir)
        blocks = (BlockHolder(os.fspath(block), interval=reload_interval, clock=clock)
                  if block is not None else None)
        holders: dict[str, IndexHolder] = {}
        for name, path in named.items():
            snapshots = None
            if not map_in_place:
                # A folder per index: a worker starting while a file is written falls back on
                # the latest snapshot in the folder, which must be of the same index.
                os.makedirs(os.path.join(folder, name), exist_ok=True)
                snapshots = Snapshots(os.path.join(folder, name))
            holders[name] = IndexHolder(path, name=name, interval=reload_interval, clock=clock,
                                        snapshots=snapshots, blocks=blocks)
        video_holder = (VideoHolder(os.fspath(videos), TitleFiles(folder),
                                    interval=reload_interval, clock=clock)
                        if videos is not None else None)
        log = AccessLog.open(os.fspath(access_log)) if access_log is not None else None
        if log is not None:
            cleanups.append(log.close)
    except BaseException:
        for cleanup in cleanups:
            cleanup()
        raise
    service = _Service(holders, video_holder, max_text, max_dist, blocks)
    metrics = Metrics(holders, video_holder, log)
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

    # The block list first: a list replaced with an index is applied as the index opens.
    watched: list[FileHolder[Any]] = [*([blocks] if blocks is not None else []),
                                      *holders.values()]
    if video_holder is not None:
        watched.append(video_holder)

    async def reloaded() -> None:
        for holder in watched:
            await holder.reloaded()

    async def watch() -> None:
        """Looks at the files whether or not requests come: an idle worker takes a new build
        as soon as a busy one does, and its /stats and metrics tell the truth."""
        while True:
            for holder in watched:
                holder.current()
            metrics.sample()
            await asyncio.sleep(reload_interval)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        watcher = asyncio.get_running_loop().create_task(watch())
        try:
            yield
        finally:
            watcher.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await watcher
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
    app.state.blocks = blocks
    app.state.service = service
    app.state.metrics = metrics
    app.state.reloaded = reloaded
    app.state.owner = owner
    return app



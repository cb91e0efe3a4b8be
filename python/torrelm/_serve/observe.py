"""What the service tells its operators: Prometheus metrics, an access log in JSON lines, and
answers scrubbed of the file system's paths."""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import queue
import re
import select
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from starlette.types import ASGIApp, Message, Receive, Scope, Send


class _Identity(Protocol):
    @property
    def mtime_ns(self) -> int: ...


class _Served(Protocol):
    """What the metrics read of an index in service (the holders' Served)."""

    @property
    def index(self) -> Any: ...
    @property
    def identity(self) -> _Identity: ...
    @property
    def build_id(self) -> str: ...
    @property
    def shape(self) -> tuple[tuple[str, int | str], ...]: ...


class _Holder(Protocol):
    """A holder of what a file holds, told of each reload and fault through these callbacks."""

    on_reload: Callable[[], None]
    on_failure: Callable[[], None]
    on_incomplete: Callable[[], None]


class _IndexHolder(_Holder, Protocol):
    @property
    def served(self) -> _Served: ...


class _Table(Protocol):
    def __len__(self) -> int: ...


class _VideoHolder(_Holder, Protocol):
    @property
    def served(self) -> Any: ...


# Where a handler leaves how many results it answered, for the access log and the metrics.
RESULTS_KEY = "torrelm.results"

# Query latencies run from microseconds to, under load, tens of milliseconds; few buckets keep
# each observation cheap (it walks them) and each scrape small.
LATENCY_BUCKETS = (0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.1, 0.5)

# An absolute path in a message: quoted, as OSError shows one (spaces and all), or bare.
_QUOTED_PATH = re.compile(r"""(['"])/.*?\1""")
_ABSOLUTE_PATH = re.compile(r"(?<![\w.~-])/[^\s'\"]+")


def scrubbed(message: str, *known: str) -> str:
    """`message` without the paths in it, for answers a client reads: the `known` ones (the
    file's, its snapshots' folder) wherever they are, whatever they hold, then any absolute
    path left, quoted or not."""
    for path in sorted(known, key=len, reverse=True):
        if path:
            message = message.replace(path, "<path>")
    message = _QUOTED_PATH.sub(lambda found: f"{found[1]}<path>{found[1]}", message)
    return _ABSOLUTE_PATH.sub("<path>", message)


# The most of a request's path or query string that the access log keeps.
_LONGEST = 1024
# What one write to a pipe keeps whole, however many processes write to it.
PIPE_BUF = select.PIPE_BUF
# Lines waiting for the writer: a log whose reader stops draining it loses lines past these,
# counted, and never holds up an answer.
LOG_QUEUE = 10_000


def _nothing() -> None:
    pass


class AccessLog:
    """One JSON line per request, written with one write() to a file opened for appending (or a
    pipe): the workers of a service share it, and the kernel keeps each line whole and in place,
    since none is longer than PIPE_BUF.

    Lines are written by a thread of their own from a bounded queue: a full disk or a pipe that
    nobody reads blocks that thread, never a request; lines it cannot queue are dropped and
    counted (`dropped`, and `on_drop` for the metrics)."""

    def __init__(self, descriptor: int, owned: bool) -> None:
        self.descriptor = descriptor
        self.owned = owned
        self.dropped = 0
        self.on_drop: Callable[[], None] = _nothing
        self._lines: queue.Queue[bytes | None] = queue.Queue(LOG_QUEUE)
        self._writer: threading.Thread | None = None

    @staticmethod
    def open(path: str) -> AccessLog:
        """The log at `path`, "-" for standard output. Raises OSError if it cannot be opened."""
        if path == "-":
            return AccessLog(1, False)
        flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC
        return AccessLog(os.open(path, flags, 0o640), True)

    def write(self, scope: Scope, index: str | None, status: int, size: int,
              seconds: float, results: int | None = None) -> None:
        line = self.line(scope, index, status, size, seconds, results)
        if self._writer is None:
            self._writer = threading.Thread(target=self._drain, name="torrelm access log",
                                            daemon=True)
            self._writer.start()
        try:
            self._lines.put_nowait(line)
        except queue.Full:
            self.dropped += 1
            self.on_drop()

    @staticmethod
    def line(scope: Scope, index: str | None, status: int, size: int, seconds: float,
             results: int | None = None) -> bytes:
        """The request's line, at most PIPE_BUF bytes: the path and query string are cut, as
        often as it takes, where escapes or UTF-8 would make them longer than that."""
        client = scope.get("client")
        now = time.time()
        moment = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now))
        path, query = scope["path"], scope["query_string"].decode("latin-1")
        longest = _LONGEST
        while True:
            line = (json.dumps({
                "time": f"{moment}.{int(now % 1 * 1000):03d}Z",
                "method": str(scope["method"])[:16], "path": path[:longest],
                "query": query[:longest], "index": index, "status": status,
                "duration_ms": round(seconds * 1000, 3), "bytes": size, "results": results,
                "client": client[0] if client else None}, ensure_ascii=False) + "\n").encode()
            if len(line) <= PIPE_BUF or longest == 0:
                return line
            longest //= 2

    def _drain(self) -> None:
        while (line := self._lines.get()) is not None:
            try:
                os.write(self.descriptor, line)
            except OSError:
                pass  # a full disk or a closed pipe loses log lines, never answers

    def close(self, timeout: float = 1.0) -> None:
        """Writes what is queued, waiting at most `timeout` seconds for a reader that does not
        drain (its lines are then lost), and closes the file."""
        if self._writer is not None:
            with contextlib.suppress(queue.Full):
                self._lines.put(None, timeout=timeout)
            self._writer.join(timeout)
            if self._writer.is_alive():
                return  # the thread still writes to the descriptor: left open, as it is
            self._writer = None
        if self.owned and self.descriptor >= 0:
            os.close(self.descriptor)
            self.descriptor = -1


class Metrics:
    """The service's metrics in Prometheus's text format.

    Counters and histograms are prometheus_client's: with PROMETHEUS_MULTIPROC_DIR set (serve()
    sets it, to a folder of the service), each worker writes its own to files there and a
    scrape, whichever worker takes it, sums those of all of them. The state of the indexes
    (terms, bytes, the age of the build) is read at the scrape from the answering worker's own
    view, which is every worker's once they have checked their files."""

    def __init__(self, holders: Mapping[str, _IndexHolder], videos: _VideoHolder | None,
                 log: AccessLog | None = None) -> None:
        # Imported here, not with the module: prometheus_client picks its mode at import, from
        # the environment serve() sets up first.
        from prometheus_client import (CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Gauge,
                                       Histogram)
        from prometheus_client.values import ValueClass

        self.content_type = CONTENT_TYPE_LATEST
        # By the mode prometheus_client took, not the environment: one imported before the
        # folder was set counts in memory, and its counters must be registered here to show.
        self.multiprocess = ("PROMETHEUS_MULTIPROC_DIR" in os.environ
                             and "Mutex" not in getattr(ValueClass, "__name__", "Mutex"))
        # Unregistered in multiprocess mode (the scrape reads the files); else an app's own,
        # so that several apps in one process each count their own requests.
        self._registry = None if self.multiprocess else CollectorRegistry(auto_describe=True)
        registry = self._registry
        self.requests = Counter("torrelm_requests", "Requests answered, by endpoint and index",
                                ["endpoint", "index"], registry=registry)
        self.latency = Histogram("torrelm_request_duration_seconds",
                                 "Time from a request's arrival to the end of its answer",
                                 ["endpoint", "index"], buckets=LATENCY_BUCKETS,
                                 registry=registry)
        self.errors = Counter("torrelm_request_errors", "Answers with a 4xx or 5xx status",
                              ["endpoint", "status"], registry=registry)
        reloads = Counter("torrelm_index_reloads", "Newer builds taken, counted by each worker",
                          ["index"], registry=registry)
        failures = Counter("torrelm_index_reload_failures",
                           "Files refused (damaged, unreadable, missing), counted by each worker "
                           "once per fault", ["index"], registry=registry)
        incomplete = Counter("torrelm_index_reloads_incomplete",
                             "Files met while still being written (taken once complete), "
                             "counted by each worker at each check", ["index"],
                             registry=registry)
        self.empty = Counter("torrelm_empty_answers", "Answers with no result, by endpoint and "
                             "index", ["endpoint", "index"], registry=registry)
        self.resident = Gauge("torrelm_worker_resident_bytes",
                              "Resident memory of each worker process (shared pages included)",
                              registry=registry, multiprocess_mode="liveall")
        if log is not None:
            log.on_drop = Counter("torrelm_access_log_dropped",
                                  "Access-log lines dropped, their reader not keeping up",
                                  registry=registry).inc
        for name, holder in holders.items():
            holder.on_reload = reloads.labels(name).inc
            holder.on_failure = failures.labels(name).inc
            holder.on_incomplete = incomplete.labels(name).inc
        if videos is not None:
            videos.on_reload = Counter("torrelm_videos_reloads", "Newer videos files taken",
                                       registry=registry).inc
            videos.on_failure = Counter("torrelm_videos_reload_failures",
                                        "Videos files refused, once per fault",
                                        registry=registry).inc
            videos.on_incomplete = Counter("torrelm_videos_reloads_incomplete",
                                           "Videos files met while still being written",
                                           registry=registry).inc
        self.state = _State(holders, videos)
        if registry is not None:
            registry.register(self.state)
        # The labelled children of each (endpoint, index), looked up once: labels() takes a
        # lock and checks its arguments on every call.
        self._children: dict[tuple[str, str], tuple[Any, Any, Any]] = {}

    def observe(self, endpoint: str, index: str, status: int, seconds: float,
                results: int | None = None) -> None:
        children = self._children.get((endpoint, index))
        if children is None:
            children = (self.requests.labels(endpoint, index), self.latency.labels(endpoint, index),
                        self.empty.labels(endpoint, index))
            self._children[endpoint, index] = children
        children[0].inc()
        children[1].observe(seconds)
        if results == 0:
            children[2].inc()
        if status >= 400:
            self.errors.labels(endpoint, str(status)).inc()

    def sample(self) -> None:
        """Takes what is measured rather than counted: this worker's resident memory."""
        try:
            with open("/proc/self/statm", "rb") as file:
                pages = int(file.read().split()[1])
        except (OSError, ValueError, IndexError):
            return
        self.resident.set(pages * os.sysconf("SC_PAGE_SIZE"))

    def exposition(self) -> bytes:
        from prometheus_client import CollectorRegistry, generate_latest
        from prometheus_client.multiprocess import MultiProcessCollector

        registry = self._registry
        self.sample()
        if registry is None:
            registry = CollectorRegistry(auto_describe=False)
            MultiProcessCollector(registry)  # type: ignore[no-untyped-call]
            registry.register(self.state)
        return generate_latest(registry)


def _build_time(metadata: Mapping[str, Any] | None) -> float | None:
    """The build time recorded in an index's metadata, in seconds since the epoch."""
    recorded = (metadata or {}).get("build_time")
    if isinstance(recorded, (int, float)) and not isinstance(recorded, bool):
        return float(recorded)
    if isinstance(recorded, str):
        try:
            moment = datetime.datetime.fromisoformat(recorded)
        except ValueError:
            return None
        if moment.tzinfo is None:
            moment = moment.replace(tzinfo=datetime.UTC)
        return moment.timestamp()
    return None


class _State:
    """A collector of the indexes served: what each holds, and how old its build is."""

    def __init__(self, holders: Mapping[str, _IndexHolder], videos: _VideoHolder | None) -> None:
        self.holders = holders
        self.videos = videos

    def describe(self) -> Iterable[Any]:
        return []  # nothing to check against other collectors' names at registration

    def collect(self) -> Iterator[Any]:
        from prometheus_client.core import GaugeMetricFamily

        now = time.time()
        families = {
            "terms": GaugeMetricFamily("torrelm_index_terms", "Terms of the index served",
                                       labels=["index"]),
            "nodes": GaugeMetricFamily("torrelm_index_nodes", "Trie nodes of the index served",
                                       labels=["index"]),
            "bytes": GaugeMetricFamily("torrelm_index_bytes",
                                       "Bytes of the index served's arrays", labels=["index"]),
            "age": GaugeMetricFamily("torrelm_index_build_age_seconds",
                                     "Seconds since the index served was built (its metadata's "
                                     "build_time, else its file's mtime)", labels=["index"]),
            "info": GaugeMetricFamily("torrelm_index_build_info", "The build served: always 1",
                                      labels=["index", "build_id"]),
        }
        for name, holder in self.holders.items():
            served = holder.served
            built = _build_time(served.index.metadata)
            if built is None:
                built = served.identity.mtime_ns / 1e9
            families["terms"].add_metric([name], len(served.index))
            nodes = dict(served.shape).get("nodes")
            if isinstance(nodes, int):
                families["nodes"].add_metric([name], nodes)
            families["bytes"].add_metric([name], served.index.memory_bytes())
            families["age"].add_metric([name], max(0.0, now - built))
            families["info"].add_metric([name, served.build_id], 1)
        yield from families.values()
        if self.videos is not None:
            rows = GaugeMetricFamily("torrelm_videos_rows", "Videos with a title in the table")
            rows.add_metric([], len(self.videos.served.table))
            yield rows


class Observed:
    """Middleware timing, counting and logging every request, whatever answers it."""

    def __init__(self, app: ASGIApp, *, metrics: Metrics, log: AccessLog | None,
                 record: Callable[[str, str, float], None], paths: Sequence[str],
                 queries: Sequence[str]) -> None:
        self.app = app
        self.metrics = metrics
        self.log = log
        self.record = record
        # A label per route and one for all else: no client makes a series by asking a path.
        self.paths = frozenset(paths)
        self.queries = {f"/api/{name}": name for name in queries}

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        status = 500  # what the server answers for an exception that escapes
        size = 0

        async def sending(message: Message) -> None:
            nonlocal status, size
            if message["type"] == "http.response.start":
                status = message["status"]
            else:
                size += len(message.get("body", b""))
            await send(message)

        try:
            await self.app(scope, receive, sending)
        finally:
            seconds = time.perf_counter() - started
            path = scope["path"]
            index: str | None = scope.get("torrelm.index")
            results: int | None = scope.get(RESULTS_KEY)
            self.metrics.observe(path if path in self.paths else "other", index or "", status,
                                 seconds, results)
            query = self.queries.get(path)
            if query is not None and index is not None and status < 400:
                self.record(query, index, seconds)
            if self.log is not None:
                self.log.write(scope, index, status, size, seconds, results)

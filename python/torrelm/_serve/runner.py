"""Running the service: its port, its worker processes, and stops that lose no request.

serve() binds the port before anything else, so that a service whose port is taken fails at
once, before it copies an index. One worker serves in serve()'s own process. With more, a
supervisor holds one listening socket per worker (SO_REUSEPORT: the kernel spreads new
connections evenly among them, where workers sharing one socket take whatever each accepts
first, and one can end up with every keep-alive connection) and hands each to its worker. It
keeps its own copy of each: connections queued on the socket of a worker that died wait for its
replacement rather than being reset. Workers die with the supervisor (PR_SET_PDEATHSIG).

A stop (SIGTERM, SIGINT) stops accepting, answers every request already sent (those queued on
the listening socket, and the next one on each open keep-alive connection, which is then
closed), removes the snapshots and returns: exit status 0.
"""

from __future__ import annotations

import asyncio
import contextlib
import ctypes
import json
import logging
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Generator, Mapping, Sequence
from types import FrameType
from typing import Any

import uvicorn

from .._storage import open as open_index
from .app import create_app
from .holders import BlockList, FileChanged, Snapshots, TitleFiles, named_indexes
from .titles import Titles

# What the environment carries to the worker processes (see _worker_main).
CONFIG_VARIABLE = "TORRELM_SERVE_CONFIG"
# How long a connection may wait for its first request, or between the bytes of one: a client
# that connects and sends nothing holds a descriptor, and a thousand of them a worker.
IDLE_TIMEOUT = 10
# How long a keep-alive connection may wait for its next request (uvicorn's own default).
KEEP_ALIVE = 5
# At a stop, how long an idle keep-alive connection is kept for a request that may already be
# on its way (a client on a busy machine may take a while to send it); answered, with the
# connection closed after it.
LINGER = 2.0
# At a stop, how long the listening socket must stay without a new connection before it is
# closed: more than a round trip, for the handshakes under way to complete.
DRAIN_QUIET = 0.3
# Connections a worker keeps open at most; lowered to fit the descriptors it may open.
MAX_CONNECTIONS = 10_000
# Descriptors a worker keeps for other uses than connections: files, pipes, the event loop.
_SPARE_DESCRIPTORS = 128
# Workers that exit before they serve, one after another, before the supervisor gives up.
FAILED_STARTS = 3
_PR_SET_PDEATHSIG = 1
_WORKER = "from torrelm._serve.runner import _worker_main; _worker_main()"

logger = logging.getLogger("torrelm.serve")


def _log_to_stderr() -> None:
    """Reloads, refused files, starts and stops in the service's log (uvicorn's logging leaves
    other loggers alone), once per process."""
    if not logger.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter(
            "%(asctime)s torrelm serve[%(process)d] %(levelname)s: %(message)s"))
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        logger.propagate = False


def _raise_file_limit() -> int:
    """Raises this process's limit of open descriptors to the most it may (its workers inherit
    it); returns the limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = hard if hard != resource.RLIM_INFINITY else max(soft, 1 << 20)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        with contextlib.suppress(ValueError, OSError):
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
            soft = wanted
    return soft if soft != resource.RLIM_INFINITY else 1 << 20


def connection_cap(wanted: int, descriptors: int) -> int:
    """The connections a worker keeps at most: `wanted`, within the descriptors it may open."""
    return max(1, min(wanted, descriptors - _SPARE_DESCRIPTORS))


def _protocol(idle_timeout: float, most: int) -> type[asyncio.Protocol]:
    """uvicorn's HTTP protocol (httptools) with bounded connections and a stop that loses
    nothing: a connection with no request is closed after `idle_timeout`; past `most`, the
    connection idle longest makes room for a new one; at a stop, an idle connection is kept
    LINGER seconds for a request already on its way, then closed."""
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

    class Protocol(HttpToolsProtocol):
        def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
            super().connection_made(transport)
            self.closing = False
            self.since = self.loop.time()
            if len(self.connections) > most:
                self._make_room()
            if getattr(self.server_state, "stopping", False):
                self.shutdown()
            elif not self.transport.is_closing():
                self._wait(idle_timeout)

        def _idle(self) -> bool:
            return self.cycle is None or (self.cycle.response_complete and not self.pipeline)

        def _wait(self, seconds: float) -> None:
            self._unset_keepalive_if_required()
            self.timeout_keep_alive_task = self.loop.call_later(
                seconds, self.timeout_keep_alive_handler)

        def _make_room(self) -> None:
            idle = [c for c in self.connections if isinstance(c, Protocol) and c is not self
                    and c._idle() and not c.transport.is_closing()]
            if idle:
                min(idle, key=lambda c: c.since).transport.close()
            else:
                self.transport.close()  # every other one is answering: this one waits its turn

        def data_received(self, data: bytes) -> None:
            super().data_received(data)
            # A request still incomplete (headers sent a byte at a time) holds the connection
            # no longer than an idle one.
            if (self.parser is not None and self._idle() and not self.transport.is_closing()
                    and self.timeout_keep_alive_task is None):
                self._wait(LINGER if self.closing else idle_timeout)

        def on_headers_complete(self) -> None:
            super().on_headers_complete()
            if self.closing and self.cycle is not None:
                self.cycle.keep_alive = False

        def on_response_complete(self) -> None:
            self.since = self.loop.time()
            super().on_response_complete()

        def shutdown(self) -> None:
            self.closing = True
            if self._idle():
                self._wait(LINGER)
            else:
                self.cycle.keep_alive = False
                for cycle, _ in self.pipeline:
                    cycle.keep_alive = False

    return Protocol


class _Server(uvicorn.Server):
    """uvicorn's server with a stop of our own: the queued connections drained and answered,
    idle ones given LINGER, no signal raised again at the end (the exit status stays 0)."""

    def __init__(self, config: uvicorn.Config, listeners: Sequence[socket.socket],
                 on_ready: Callable[[], None] | None) -> None:
        super().__init__(config)
        self.listeners = list(listeners)
        self.on_ready = on_ready
        self.signal: int | None = None

    @contextlib.contextmanager
    def capture_signals(self) -> Generator[None, None, None]:
        handlers = {number: signal.signal(number, self.handle_exit)
                    for number in (signal.SIGINT, signal.SIGTERM)}
        while _pending:
            self.handle_exit(_pending.pop(0), None)
        try:
            yield
        finally:
            for number, handler in handlers.items():
                signal.signal(number, handler)

    def handle_exit(self, sig: int, frame: FrameType | None) -> None:
        self.signal = self.signal or sig
        super().handle_exit(sig, frame)

    async def startup(self, sockets: list[socket.socket] | None = None) -> None:
        await super().startup(sockets=sockets)
        if self.started and self.on_ready is not None:
            self.on_ready()

    async def shutdown(self, sockets: list[socket.socket] | None = None) -> None:
        logger.info("stopping: answering the %d connection(s) open and those queued",
                    len(self.server_state.connections))
        self.server_state.stopping = True  # type: ignore[attr-defined]
        # No new handshakes: what is queued, and the handshakes under way, are drained below;
        # a client whose SYN is dropped is refused once the socket is closed, before it sent
        # anything.
        for listener in self.listeners:
            _refuse_new_connections(listener)
        for server in self.servers:
            server.close()
        loop = asyncio.get_running_loop()
        config = self.config

        def protocol() -> asyncio.Protocol:
            return config.http_protocol_class(  # type: ignore[call-arg]
                config=config, server_state=self.server_state, app_state=self.lifespan.state)

        for listener in self.listeners:
            with contextlib.suppress(OSError):
                listener.setblocking(False)
        # A handshake under way completes when the client's last ACK comes, a round trip after
        # its SYN: the queue is drained until it has been empty that long and no handshake on
        # the port is half done (within the graceful timeout).
        ports = {listener.getsockname()[1] for listener in self.listeners}
        quiet_since = loop.time()
        deadline = quiet_since + (config.timeout_graceful_shutdown or 0)
        while (loop.time() - quiet_since < DRAIN_QUIET or _half_open(ports)) \
                and loop.time() < deadline:
            for listener in self.listeners:
                while True:
                    try:
                        connection, _ = listener.accept()
                    except OSError:
                        break
                    quiet_since = loop.time()
                    await loop.connect_accepted_socket(protocol, connection)
            await asyncio.sleep(0.01)
        for listener in self.listeners:
            listener.close()
        for open_connection in list(self.server_state.connections):
            open_connection.shutdown()
        try:
            async with asyncio.timeout(config.timeout_graceful_shutdown):
                await self._wait_tasks_to_complete()
        except TimeoutError:
            logger.error("%d request(s) still running after the graceful timeout: cancelled",
                         len(self.server_state.tasks))
            for task in self.server_state.tasks:
                task.cancel()
        if not self.force_exit:
            await self.lifespan.shutdown()


class _SocketFilter(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8),
                ("k", ctypes.c_uint32)]


class _SocketFilterProgram(ctypes.Structure):
    _fields_ = [("len", ctypes.c_uint16), ("filter", ctypes.POINTER(_SocketFilter))]


# A classic BPF program run on each TCP segment a listening socket gets, from the TCP header
# on: it drops the SYNs (SYN set, ACK not) and lets the rest through, so that handshakes under
# way complete and new ones never start.
_DROP_SYN = [(0x30, 0, 0, 13),           # A = the TCP flags
             (0x54, 0, 0, 0x12),         # A &= SYN | ACK
             (0x15, 0, 1, 0x02),         # if A == SYN
             (0x06, 0, 0, 0),            #     drop
             (0x06, 0, 0, 0xFFFFFFFF)]   # else keep
_SO_ATTACH_FILTER = 26


def _refuse_new_connections(listener: socket.socket) -> None:
    """Stops new handshakes on `listener`, which stays open for those under way. Where the
    kernel takes no socket filter, the queue is cut to what it holds."""
    if sys.platform == "linux":
        program = (_SocketFilter * len(_DROP_SYN))(*(_SocketFilter(*op) for op in _DROP_SYN))
        header = _SocketFilterProgram(len(_DROP_SYN), program)
        with contextlib.suppress(OSError):
            listener.setsockopt(socket.SOL_SOCKET, _SO_ATTACH_FILTER, bytes(header))
            return
    with contextlib.suppress(OSError):
        listener.listen(0)


def _half_open(ports: set[int]) -> bool:
    """Whether a handshake to one of `ports` is half done (SYN received, ACK awaited)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as file:
                next(file, None)
                for line in file:
                    fields = line.split()
                    # local address "ADDR:PORT" in hex, state 03 = SYN_RECV
                    if len(fields) > 3 and fields[3] == "03" and \
                            int(fields[1].rpartition(":")[2], 16) in ports:
                        return True
        except OSError:
            continue
    return False


def _run(listeners: Sequence[socket.socket], settings: Mapping[str, Any],
         on_ready: Callable[[], None] | None = None) -> int | None:
    """Serves on `listeners` in this process until a signal stops it; returns the signal."""
    app = create_app(dict(settings["indexes"]), max_text=settings["max_text"],
                     max_dist=settings["max_dist"], snapshot_dir=settings["snapshot_dir"],
                     map_in_place=settings["map_in_place"], search_url=settings["search_url"],
                     videos=settings["videos"], access_log=settings["access_log"],
                     cors_origins=settings["cors_origins"], block=settings["block"])
    most = connection_cap(settings["max_connections"], _raise_file_limit())
    # httptools and uvloop named rather than left to uvicorn's choice, which falls back on
    # pure-Python parsing and asyncio's loop without a word when either is missing; that costs
    # three times the server's time per request (docs/performance.md).
    config = uvicorn.Config(app, loop="uvloop", http=_protocol(settings["idle_timeout"], most),
                            log_level="warning", access_log=False, timeout_keep_alive=KEEP_ALIVE,
                            timeout_graceful_shutdown=settings["graceful_timeout"])
    server = _Server(config, listeners, on_ready)
    # uvicorn closes the sockets it is given when it stops accepting; its own copies, so that
    # ours stay open for the drain.
    server.run(sockets=[listener.dup() for listener in listeners])
    return server.signal


def _bind(host: str, port: int, workers: int) -> list[socket.socket]:
    """The listening sockets of the service: one, or one per worker joined by SO_REUSEPORT.
    Raises OSError if the port is taken, by this service or any other, whatever either's
    number of workers: a plain bind comes first, which fails against any socket already on
    the port, SO_REUSEPORT or not."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    probe = socket.socket(family, socket.SOCK_STREAM)
    try:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.bind((host, port))
        if workers == 1:
            probe.listen(2048)
            return [probe]
        port = probe.getsockname()[1]
    except BaseException:
        probe.close()
        raise
    probe.close()
    listeners: list[socket.socket] = []
    try:
        for _ in range(workers):
            sock = socket.socket(family, socket.SOCK_STREAM)
            listeners.append(sock)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            sock.bind((host, port))
            sock.listen(2048)
    except BaseException:
        for sock in listeners:
            sock.close()
        raise
    return listeners


# Signals that came while a process was starting: it starts, then stops at once as it stops
# at any other time, answering the connections queued meanwhile rather than resetting them.
_pending: list[int] = []


def _defer_signals() -> dict[int, Any]:
    def defer(signum: int, frame: object) -> None:
        _pending.append(signum)

    return {number: signal.signal(number, defer) for number in (signal.SIGINT, signal.SIGTERM)}


def serve(indexes: str | Mapping[str, str], *, host: str = "127.0.0.1", port: int = 8000,
          workers: int = 1, max_text: int = 256, max_dist: int = 2,
          snapshot_dir: str | None = None, map_in_place: bool = False,
          search_url: str | None = None, videos: str | None = None,
          access_log: str | None = None, cors_origins: Sequence[str] = (),
          graceful_timeout: int = 10, idle_timeout: float = IDLE_TIMEOUT,
          max_connections: int = MAX_CONNECTIONS, block: str | None = None,
          announce: Callable[[str], None] | None = None) -> None:
    """Runs the service until SIGINT or SIGTERM, then stops without losing a request: requests
    in flight and queued get `graceful_timeout` seconds to be answered. It binds the port
    first (SystemExit if it is taken), then makes a folder under `snapshot_dir` (the system's
    temporary folder by default), removed when it stops, for the snapshots of each index, which
    every worker maps, so they share its pages, and for the metrics files of the workers.
    `map_in_place` maps the files themselves instead (a worker dies if a file is rewritten in
    place). `block` is a block list, read again when it is replaced. `announce` is told what
    is served, once it is ready to be."""
    _log_to_stderr()
    named = {name: os.path.abspath(path) for name, path in named_indexes(indexes).items()}
    _raise_file_limit()
    previous = _defer_signals()
    try:
        try:
            listeners = _bind(host, port, workers)
        except OSError as error:
            raise SystemExit(f"torrelm serve: cannot listen on {host}:{port}: "
                             f"{error.strerror or error}") from None
        folder = tempfile.mkdtemp(prefix="torrelm-serve-", dir=snapshot_dir)
        try:
            # The videos file is converted while the indexes are copied and, with several
            # workers, while they start (they wait for it on the titles' lock).
            titles = _Converting(videos, folder) if videos is not None else None
            shown = _prepare(named, folder, map_in_place)
            if block is not None:
                shown.append(_prepare_block(block))
            settings = {
                "indexes": list(named.items()), "snapshot_dir": folder,
                "map_in_place": map_in_place, "max_text": max_text, "max_dist": max_dist,
                "search_url": search_url, "videos": videos and os.path.abspath(videos),
                "access_log": access_log if access_log in (None, "-") else
                os.path.abspath(access_log), "cors_origins": list(cors_origins),
                "graceful_timeout": graceful_timeout, "idle_timeout": idle_timeout,
                "max_connections": max_connections, "folder": folder,
                "block": block and os.path.abspath(block)}
            if workers > 1:
                # Counters and histograms of every worker, each in files of its own, summed by
                # the worker a scrape reaches. Set before any worker imports
                # prometheus_client, which reads it once.
                os.mkdir(os.path.join(folder, ".metrics"))
                os.environ["PROMETHEUS_MULTIPROC_DIR"] = os.path.join(folder, ".metrics")
            bound = listeners[0].getsockname()
            where = f"[{bound[0]}]" if ":" in bound[0] else bound[0]
            address = (f"http://{where}:{bound[1]}/ ({workers} worker"
                       f"{'s' if workers != 1 else ''}; Ctrl-C stops)")

            def ready() -> None:
                if titles is not None:
                    shown.append(titles.result())
                if announce is not None:
                    for line in [*shown, address]:
                        announce(line)

            if workers == 1:
                ready()
                stopped_by = _run(listeners, settings)
            else:
                os.environ[CONFIG_VARIABLE] = json.dumps(settings)
                stopped_by = _supervise(listeners, workers, graceful_timeout, ready)
            logger.info("stopped%s", f" by {signal.Signals(stopped_by).name}"
                        if stopped_by else "")
        finally:
            for listener in listeners:
                listener.close()
            shutil.rmtree(folder, ignore_errors=True)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def _prepare(named: Mapping[str, str], folder: str, map_in_place: bool) -> list[str]:
    """Takes the first snapshot of each index, once here: every worker finds it rather than
    each copying and checking the file as it starts. Returns a line about each."""
    shown = []
    for name, path in named.items():
        try:
            if map_in_place:
                index = open_index(path)
            else:
                os.mkdir(os.path.join(folder, name))
                _, snapshot, _ = Snapshots(os.path.join(folder, name)).take(path)
                index = open_index(snapshot, verify=False)  # checked as it was taken
        except ValueError as error:
            raise SystemExit(f"torrelm serve: {path}: {error}") from None
        except (OSError, FileChanged) as error:
            hint = "" if map_in_place else (" (--snapshot-dir picks the folder of the copies, "
                                            "--map-in-place does without)")
            message = error.strerror if isinstance(error, OSError) and error.strerror else error
            raise SystemExit(f"torrelm serve: {path}: cannot be served{hint}: {message}") from None
        shown.append(f"{name}: {re.sub(r' path=.*>$', '>', repr(index))}")
        del index
    return shown


def _prepare_block(block: str) -> str:
    try:
        blocks = BlockList.read(block)
    except OSError as error:
        raise SystemExit(f"torrelm serve: --block {block}: {error.strerror or error}") from None
    except ValueError as error:
        raise SystemExit(f"torrelm serve: --block {block}: {error}") from None
    return f"blocking {len(blocks.terms):,} term(s) and {len(blocks.words):,} word(s) of {block}"


class _Converting:
    """The videos file converted once, in a thread of the command, for every worker to map."""

    def __init__(self, videos: str, folder: str) -> None:
        self.videos = videos
        self.files = TitleFiles(folder)
        self.outcome: str | BaseException = "not converted"
        self.thread = threading.Thread(target=self._convert, name="titles", daemon=True)
        self.thread.start()

    def _convert(self) -> None:
        try:
            rows = len(Titles.open(self.files.take(self.videos)))
            self.outcome = f"titles of {rows:,} videos from {self.videos}"
        except BaseException as error:  # noqa: BLE001 - told by result()
            self.outcome = error

    def result(self) -> str:
        """A line about the titles; SystemExit if they could not be converted."""
        self.thread.join()
        error = self.outcome
        if isinstance(error, OSError):
            raise SystemExit(f"torrelm serve: --videos {self.videos}: "
                             f"{error.strerror or error}")
        if isinstance(error, BaseException):
            raise SystemExit(f"torrelm serve: --videos {self.videos}: {error}")
        return error


def _supervise(listeners: Sequence[socket.socket], workers: int, graceful_timeout: int,
               started: Callable[[], None]) -> int | None:
    """Runs a worker per listening socket, replacing any that dies, until SIGINT or SIGTERM;
    then closes its own copies of the sockets and tells every worker to stop as one worker
    alone stops, and waits for them. Raises SystemExit if workers keep exiting before they
    serve (a damaged index mapped in place, say): FAILED_STARTS of them running, or if
    `started`, called once the workers are started, raises it."""
    stopped_by: int | None = _pending.pop(0) if _pending else None

    def stop(signum: int, frame: object) -> None:
        nonlocal stopped_by
        stopped_by = stopped_by or signum

    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, stop)
    slots: list[_Worker] = [_Worker(listener) for listener in listeners]
    failed = 0
    failure: str | None = None
    try:
        for slot in slots:
            slot.start()
        started()
        while stopped_by is None and failure is None:
            time.sleep(0.1)
            for slot in slots:
                if slot.poll_ready():
                    failed = 0
                status = slot.process.poll() if slot.process is not None else 0
                if status is None or stopped_by is not None:
                    continue
                slot.forget()
                failed = 0 if slot.ready else failed + 1
                if failed >= FAILED_STARTS:
                    failure = (f"torrelm serve: workers exited before they could serve, "
                               f"{failed} times running (the last with status {status}): "
                               "stopping")
                    break
                logger.warning("a worker exited with status %s; starting another", status)
                slot.start()
    finally:
        for listener in listeners:
            listener.close()  # the workers' own copies are drained, then closed, by them
        for slot in slots:
            slot.signal(signal.SIGTERM)
        deadline = time.monotonic() + graceful_timeout + 5
        for slot in slots:
            slot.wait(deadline)
    if failure is not None:
        logger.error("%s", failure.removeprefix("torrelm serve: "))
        raise SystemExit(failure)
    return stopped_by


class _Worker:
    """A worker process and the pipe on which it says it serves."""

    def __init__(self, listener: socket.socket) -> None:
        self.listener = listener
        self.process: subprocess.Popen[bytes] | None = None
        self.ready = False
        self._pipe = -1

    def start(self) -> None:
        read, write = os.pipe()
        os.set_blocking(read, False)
        descriptor = self.listener.fileno()
        try:
            self.process = subprocess.Popen(
                [sys.executable, "-c", _WORKER, str(descriptor), str(write), str(os.getpid())],
                pass_fds=(descriptor, write))
        except BaseException:
            os.close(read)
            raise
        finally:
            os.close(write)
        self._pipe = read
        self.ready = False

    def poll_ready(self) -> bool:
        """Whether the worker said, since the last call, that it serves."""
        if self.ready or self._pipe < 0:
            return False
        try:
            said = os.read(self._pipe, 1)
        except BlockingIOError:
            return False
        self.ready = said == b"r"
        return self.ready

    def forget(self) -> None:
        """Lets go of a worker that exited: its pipe, and its live metrics."""
        self.poll_ready()
        if self._pipe >= 0:
            os.close(self._pipe)
            self._pipe = -1
        if self.process is not None and "PROMETHEUS_MULTIPROC_DIR" in os.environ:
            from prometheus_client import multiprocess

            multiprocess.mark_process_dead(self.process.pid)  # type: ignore[no-untyped-call]

    def signal(self, number: int) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(number)

    def wait(self, deadline: float) -> None:
        if self.process is None:
            return
        try:
            self.process.wait(max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self._pipe >= 0:
            os.close(self._pipe)
            self._pipe = -1


def _die_with(parent: int) -> bool:
    """Asks the kernel for SIGTERM when the supervisor dies; False if it already has."""
    if sys.platform == "linux":
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    return os.getppid() == parent


def _worker_main() -> None:
    """A worker process the supervisor started: LISTENER READY PARENT on its command line, the
    descriptors of its listening socket and of the pipe on which it says it serves, and the
    supervisor's process id; its settings in the environment."""
    listener_fd, ready, parent = (int(argument) for argument in sys.argv[1:4])
    _defer_signals()
    if not _die_with(parent):
        return
    _log_to_stderr()
    settings = json.loads(os.environ[CONFIG_VARIABLE])
    listener = socket.socket(fileno=listener_fd)

    def on_ready() -> None:
        with contextlib.suppress(OSError):
            os.write(ready, b"r")
            os.close(ready)

    try:
        _run([listener], settings, on_ready)
    finally:
        if os.getppid() != parent:
            # The supervisor was killed before it could clean up: its workers do.
            shutil.rmtree(settings["folder"], ignore_errors=True)

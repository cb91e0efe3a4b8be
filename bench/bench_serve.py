"""Serving benchmark: the search service (`python -m torrelm serve`) under a load of keystrokes.

The index: the words of wamerican-insane with one to three random videos each and a count per
row drawn from int(random.paretovariate(1.2)) (seeded; heavy-tailed, as in real search logs),
saved with torrelm.save into --workdir and reused by later runs. A second build, which leaves out
one word in 97 and draws other counts, is kept beside it for the reload section.

The service runs as a process of its own, with 2 workers on a free port of 127.0.0.1. The load
comes from another process: users typing words drawn by their counts (popular words more often,
half of them with a typo after the first letter), each keystroke, the prefixes 1 to len of the
word, being one GET /api/complete and one GET /api/videos (both limit=10, max_dist=1). The load
is open-loop: requests leave on a schedule of Poisson arrivals at the target rate whether or not
earlier answers have come back, over as many keep-alive connections as that takes, and a
latency runs from the request's scheduled time to the end of its response, so that queueing in
the generator, the kernel or the service shows.

The generator speaks HTTP/1.1 over asyncio itself, a request line out and a Content-Length body
in, rather than through aiohttp or httpx: on two cores it competes with the service for the
CPU, and a client library would spend several times more of it per request than the service
under test is asked to. Its own CPU time is measured and reported beside the service's.

Sections (--only picks some; all by default):
  rates    runs at each of --rates requests per second (default 250, 500, 1000, 1500, 2000):
           achieved requests per second, p50/p90/p99/max latency per endpoint, errors, the CPU
           the service and the generator used, and the service's own handler times from /stats
  reload   1,000 requests per second while the index file is replaced by torrelm.save with the
           other build a few times: errors, requests over 50 ms, and how long until /stats
           shows every worker serving the new file
  closed   a closed loop under wrk (-t2, Lua script rotating through the paths): --closed N
           keep-alive clients (16 and 64 by default) each sending its next request as soon as
           the last is answered, --closed-seconds per endpoint: /healthz (the floor: a tiny JSON
           answer on the same stack), /api/complete over the keystroke prefixes and on "vid",
           /api/videos?q=vid&max_dist=1, /api/suggest?q=vidoe&max_dist=2, /api/typeahead over
           the prefixes. Per endpoint: req/s, time a request relative to /healthz, p50/p99, the
           server's CPU a request and how it fell on the workers, wrk's CPU. Each --stack serves
           the same app (bench/serve_app.py, the index mapped in place) with --workers:
             uvicorn-h11        uvicorn --workers 2 --loop asyncio --http h11
             uvicorn-httptools  uvicorn --workers 2 --loop uvloop --http httptools
             uvicorn-reuseport  2 uvicorn processes (httptools, uvloop), each on a socket of its
                                own bound with SO_REUSEPORT: the kernel spreads the connections
             granian            granian --interface asgi --factory --workers 2 --loop uvloop
             torrelm-serve      python -m torrelm serve --workers 2 --map-in-place: the service
                                as it ships (httptools, uvloop, a SO_REUSEPORT socket a worker)
           A name with +inline runs the queries on the event loop instead of the thread pool.
           --repeats rounds over the stacks give medians. Also: the app alone per endpoint, called
           in this process with no server, with the queries in the thread pool and inline.
  start    a service as an operator starts one: `torrelm serve` on a big index (--start-terms
           random terms, about 212 MiB) with --videos, a Parquet file of --start-titles titles,
           2 workers: seconds from the command to the first answer with titles; each worker's
           private memory (smaps_rollup) with and without the titles; with no traffic at all,
           how long after a new build is renamed in, and after one is copied in place, each
           worker serves it (its log's "now serving" line) and how far apart the workers
           switch; and how long SIGTERM takes to stop it, with its exit status

--quick runs short phases on every tenth word, in under a minute. Prints one line per measurement
and a summary against the targets (p99 <= 10 ms for both endpoints at 1,000 requests per second;
no errors and no request over 50 ms during reloads; in the closed loop, every query endpoint whose
query takes under 20 µs at most 1.25x the time a request of /healthz, and p99 <= 20 ms at 64
clients); --json keeps the figures, --markdown prints
the report section of a --json file, --plot draws latency against rate. Not a test: figures vary
with the machine, and on a machine of two cores the generator's share of the CPU counts.

Needs at run time: starlette and uvicorn (the service's own needs), matplotlib for --plot; for
the closed section wrk, httptools and uvloop, and granian for its stack (tools/dev.sh bench
installs them; a stack whose packages are missing is skipped, and the section without wrk).
"""

from __future__ import annotations

import argparse
import asyncio
import datetime
import gc
import json
import math
import multiprocessing
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from collections import deque
from pathlib import Path

from figures import add_report_options, cached_index, chosen_sections, print_figure_rows

ROOT = Path(__file__).resolve().parents[1]
WORDS = Path("/usr/share/dict/american-english-insane")
SECTIONS = ("rates", "reload", "closed", "start")
ENDPOINTS = ("complete", "videos")
TARGET_RATE = 1000
TARGET_P99_MS = 10.0
SLOW_MS = 50.0
LIMIT = 10
MAX_DIST = 1
# More keep-alive connections than this and a request waits for one to come free (its latency
# counts the wait): a client that has that many requests in flight has lost anyway.
MAX_CONNECTIONS = 512
# Answers still missing this long after the last scheduled request count as errors.
DRAIN_SECONDS = 10.0


def log(text: str = "") -> None:
    print(text, flush=True)


# -- indexes -------------------------------------------------------------------------------------

def read_words(quick: bool) -> list[str]:
    words = WORDS.read_text(encoding="utf-8", errors="replace").split("\n")
    words = sorted({w.strip() for w in words if w.strip() and "\0" not in w})
    return words[::10] if quick else words


def counts_of(words: list[str], seed: int) -> list[int]:
    rng = random.Random(seed)
    return [int(rng.paretovariate(1.2)) for _ in words]


def build_index(words: list[str], variant: int):
    """Variant 0 holds every word; variant 1 leaves out one word in 97 and draws other counts and
    videos, so that a reload to it shows in the number of terms."""
    import numpy as np
    import torrelm

    if variant:
        words = [w for i, w in enumerate(words) if i % 97 != 1]
    rng = np.random.default_rng(2026 + variant)
    per_word = rng.integers(1, 4, len(words))
    terms = np.repeat(np.array(words, dtype=object), per_word)
    pareto = random.Random(2026 + variant)
    counts = np.array([int(pareto.paretovariate(1.2)) for _ in range(len(terms))], dtype=np.int64)
    videos = rng.integers(0, 200_000, len(terms)).astype(np.uint32)
    return torrelm.build({"term": terms.tolist(), "video": videos, "count": counts}, video_top_n=10)


def cached_build(path: Path, words: list[str], variant: int) -> Path:
    return cached_index(path, lambda: build_index(words, variant), log)


def keystrokes(words: list[str], counts: list[int], n_words: int, seed: int) -> list[str]:
    """The texts typed into the box: words drawn by count, every prefix of each in turn."""
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    out = []
    for i, word in enumerate(rng.choices(words, weights=counts, k=n_words)):
        if i % 2 and len(word) > 2:
            at = rng.randrange(1, len(word))
            word = word[:at] + rng.choice(letters) + word[at + 1:]
        out += [word[:end] for end in range(1, len(word) + 1)]
    return out


def request_lines(texts: list[str]) -> list[tuple[int, bytes]]:
    """(endpoint number, the request's bytes): for each keystroke a completion, then videos."""
    out = []
    for text in texts:
        q = urllib.parse.quote(text, safe="")
        for number, endpoint in enumerate(ENDPOINTS):
            target = f"/api/{endpoint}?q={q}&limit={LIMIT}&max_dist={MAX_DIST}"
            out.append((number, f"GET {target} HTTP/1.1\r\nHost: bench\r\n\r\n".encode()))
    return out


def query_costs(path: Path, texts: list[str]) -> dict[str, float]:
    """µs of CPU a call of each query takes in this process on the same texts, results turned into
    the dicts the service answers with: what a request costs the service before HTTP, routing,
    threads and JSON."""
    import torrelm

    index = torrelm.open(path)
    calls = {
        "complete": lambda q: [{"term": c.term, "count": c.count}
                               for c in index.complete(q, limit=LIMIT, max_dist=MAX_DIST)],
        "videos": lambda q: [{"id": v.id, "share": v.share}
                             for v in index.videos(q, max_dist=MAX_DIST, limit=LIMIT)],
    }
    out = {}
    for name, call in calls.items():
        for q in texts[:500]:
            call(q)
        start = time.process_time()
        for q in texts:
            call(q)
        out[name] = (time.process_time() - start) / len(texts) * 1e6
    return out


# -- the load generator (a process of its own) ---------------------------------------------------

_HEAD_END = b"\r\n\r\n"
_LENGTH = re.compile(rb"(?i)\r\ncontent-length:\s*(\d+)")


class _Connection(asyncio.Protocol):
    """One keep-alive connection carrying one request at a time."""

    def __init__(self, generator: "_Generator") -> None:
        self.generator = generator
        self.transport: asyncio.Transport | None = None
        self.buffer = bytearray()
        self.current: tuple[int, int, float] | None = None  # (request number, endpoint, due)
        self.heard = False  # any byte of the current request's answer

    def connection_made(self, transport) -> None:
        self.transport = transport
        transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send(self, number: int, endpoint: int, due: float, data: bytes) -> None:
        self.current = (number, endpoint, due)
        self.heard = False
        self.transport.write(data)

    def data_received(self, data: bytes) -> None:
        self.buffer += data
        self.heard = True
        end = self.buffer.find(_HEAD_END)
        if end < 0 or self.current is None:
            return
        match = _LENGTH.search(self.buffer, 0, end + 2)
        if match is None:  # every answer of the service has a length: anything else is an error
            self.fail()
            return
        total = end + 4 + int(match.group(1))
        if len(self.buffer) < total:
            return
        status = int(self.buffer[9:12])
        del self.buffer[:total]
        number, endpoint, due = self.current
        self.current = None
        self.generator.answered(self, number, endpoint, due, status)

    def fail(self) -> None:
        if self.transport is not None:
            self.transport.close()

    def connection_lost(self, exc) -> None:
        self.generator.lost(self)


class _Generator:
    def __init__(self, port: int, requests: list[tuple[int, bytes]], schedule: list[float]) -> None:
        self.port = port
        self.requests = requests
        self.schedule = schedule
        self.loop = asyncio.get_running_loop()
        self.idle: list[_Connection] = []
        self.all: set[_Connection] = set()
        self.opening = 0
        self.waiting: deque[tuple[int, float]] = deque()  # due, with no connection free
        self.latency: list[list[float]] = [[] for _ in ENDPOINTS]
        self.due_offset: list[list[float]] = [[] for _ in ENDPOINTS]
        self.lag: list[float] = []
        self.errors: dict[str, int] = {}
        self.outstanding = 0
        self.done = asyncio.Event()
        self.start = 0.0
        self.first_answer = math.inf
        self.last_answer = 0.0
        self.peak_connections = 0
        self.retried = 0
        self.sent_all = False

    async def connect(self) -> None:
        self.opening += 1
        try:
            _, connection = await self.loop.create_connection(
                lambda: _Connection(self), "127.0.0.1", self.port)
        except OSError as error:
            self.error(f"connect: {type(error).__name__}")
            return
        finally:
            self.opening -= 1
        self.all.add(connection)
        self.peak_connections = max(self.peak_connections, len(self.all))
        self.free(connection)

    def error(self, kind: str) -> None:
        self.errors[kind] = self.errors.get(kind, 0) + 1

    def free(self, connection: _Connection) -> None:
        if self.waiting:
            number, due = self.waiting.popleft()
            self.dispatch(connection, number, due)
        else:
            self.idle.append(connection)

    def dispatch(self, connection: _Connection, number: int, due: float) -> None:
        endpoint, data = self.requests[number]
        self.lag.append(self.loop.time() - due)
        connection.send(number, endpoint, due, data)

    def submit(self, number: int, due: float) -> None:
        self.outstanding += 1
        self.place(number, due)

    def place(self, number: int, due: float) -> None:
        # The most recently freed connection first: the ones left idle longest are those the
        # service closes at its keep-alive timeout, and they stay unused.
        if self.idle:
            self.dispatch(self.idle.pop(), number, due)
            return
        self.waiting.append((number, due))
        if len(self.all) + self.opening < MAX_CONNECTIONS:
            self.loop.create_task(self.connect())

    def answered(self, connection, number: int, endpoint: int, due: float, status: int) -> None:
        now = self.loop.time()
        self.first_answer = min(self.first_answer, now)
        self.last_answer = now
        if status == 200:
            self.latency[endpoint].append(now - due)
            self.due_offset[endpoint].append(due - self.start)
        else:
            self.error(f"HTTP {status}")
        self.finish_one()
        self.free(connection)

    def lost(self, connection: _Connection) -> None:
        self.all.discard(connection)
        if connection in self.idle:
            self.idle.remove(connection)
        if connection.current is not None:
            number, _, due = connection.current
            if not connection.heard:
                # The service closed an idle keep-alive connection as the request went out on
                # it: sent again on another, as browsers do with a request that is safe to repeat.
                self.retried += 1
                self.place(number, due)
                return
            self.error("connection lost")
            self.finish_one()
        if self.waiting and len(self.all) + self.opening < MAX_CONNECTIONS:
            self.loop.create_task(self.connect())

    def finish_one(self) -> None:
        self.outstanding -= 1
        if self.outstanding == 0 and self.sent_all:
            self.done.set()

    async def run(self, warm_connections: int) -> None:
        await asyncio.gather(*(self.connect() for _ in range(warm_connections)))
        self.start = self.loop.time() + 0.1
        schedule, n = self.schedule, len(self.schedule)
        i = 0
        while i < n:
            now = self.loop.time()
            while i < n and self.start + schedule[i] <= now:
                self.submit(i, self.start + schedule[i])
                i += 1
            if i < n:
                await asyncio.sleep(max(0.0, self.start + schedule[i] - self.loop.time()))
        self.sent_all = True
        if self.outstanding:
            try:
                await asyncio.wait_for(self.done.wait(), DRAIN_SECONDS)
            except TimeoutError:
                pass
        if self.outstanding:
            self.errors["no answer"] = self.errors.get("no answer", 0) + self.outstanding
        for connection in list(self.all):
            connection.transport.close()


def generate(port: int, requests, schedule, warm_connections: int, results) -> None:
    """The generator process: runs the schedule and sends back what it measured."""
    gc.disable()  # a collection pause would land on the requests due meanwhile

    async def main():
        generator = _Generator(port, requests, schedule)
        before = os.times()
        wall = time.perf_counter()
        await generator.run(warm_connections)
        after = os.times()
        return generator, (after.user + after.system - before.user - before.system,
                           time.perf_counter() - wall)

    generator, (cpu, wall) = asyncio.run(main())
    answered = sum(len(x) for x in generator.latency)
    span = generator.last_answer - generator.start if answered else 0.0
    results.put({
        "latency": generator.latency, "due": generator.due_offset, "lag": generator.lag,
        "errors": generator.errors, "answered": answered, "span": span,
        "cpu_seconds": cpu, "wall_seconds": wall, "peak_connections": generator.peak_connections,
        "retried": generator.retried,
    })


# -- the service ---------------------------------------------------------------------------------

def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get_json(port: int, path: str, timeout: float = 5.0) -> dict:
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=timeout) as answer:
        return json.loads(answer.read())


def worker_of(stats: dict):
    """The worker a /stats answer came from: its pid, or the id that later services name it by."""
    worker = stats["worker"]
    return worker["pid"] if "pid" in worker else worker["id"]


def index_of(stats: dict) -> dict:
    """What a /stats answer says of the served index (of the default index, with several)."""
    return stats["index"] if "index" in stats else stats["indexes"][stats["default_index"]]["index"]


def same_file(shown: dict, status: os.stat_result) -> bool:
    """Whether the file /stats shows is the one of `status`: by inode where it shows one, else by
    size and modification time."""
    if "inode" in shown:
        return shown["inode"] == status.st_ino
    return shown["size"] == status.st_size and abs(shown["mtime"] - status.st_mtime_ns / 1e9) < 1e-6


class Service:
    """`python -m torrelm serve` as a child process, stopped by its own process id."""

    def __init__(self, index: Path, workers: int) -> None:
        self.port = free_port()
        self.process = subprocess.Popen(
            [sys.executable, "-m", "torrelm", "serve", str(index), "--workers", str(workers),
             "--host", "127.0.0.1", "--port", str(self.port)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        deadline = time.monotonic() + 60
        while True:
            if self.process.poll() is not None:
                raise RuntimeError("the service exited: " + self.process.stderr.read().decode()[-2000:])
            try:
                if get_json(self.port, "/healthz", 1.0).get("status") == "ok":
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the service did not answer /healthz within 60 s")
            time.sleep(0.1)
        self.workers = workers
        self.wait_for_workers()

    def pids(self) -> list[int]:
        """The service's process and its descendants (its workers)."""
        return descendants([self.process.pid])

    def cpu_seconds(self) -> float:
        total = 0
        for pid in self.pids():
            try:
                fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            total += int(fields[11]) + int(fields[12])  # utime, stime
        return total / os.sysconf("SC_CLK_TCK")

    def worker_stats(self, tries: int = 40) -> dict[int, dict]:
        """/stats of each worker: every request is a new connection, and whichever worker accepts
        it answers, so asking a few times reaches them all."""
        seen: dict[int, dict] = {}
        for _ in range(tries):
            stats = get_json(self.port, "/stats")
            seen[worker_of(stats)] = stats
            if len(seen) >= self.workers:
                break
        return seen

    def wait_for_workers(self) -> None:
        deadline = time.monotonic() + 30
        while len(self.worker_stats(10)) < self.workers and time.monotonic() < deadline:
            time.sleep(0.2)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)  # uvicorn stops its workers on an interrupt
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def start_files(workdir: Path, terms: int, titles: int) -> tuple[Path, Path, Path]:
    """A big index of random terms (and a second build of it), and a Parquet file of titles for
    its videos; kept in `workdir` between runs."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq
    import torrelm

    index, other = (workdir / f"start-{terms}-{v}.trl" for v in (0, 1))
    table = workdir / f"titles-{titles}.parquet"
    rng = np.random.default_rng(2026)
    if not table.exists():
        ids = [f"v{i}" for i in range(titles)]
        pq.write_table(pa.table({
            "id": ids, "title": [f"Video {i}: " + "how to " * (1 + i % 8) + "cook" for i in range(titles)],
            "thumbnail": [f"https://img.example/{i}.jpg" for i in range(titles)],
            "url": [f"https://videos.example/watch/{i}" for i in range(titles)]}), table)
    for path, variant in ((index, 0), (other, 1)):
        if path.exists():
            continue
        letters = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz", dtype="S1")
        lengths = rng.integers(5, 20, terms)
        flat = rng.choice(letters, lengths.sum()).tobytes().decode()
        ends = np.cumsum(lengths)
        words = [flat[e - n:e] for e, n in zip(ends, lengths)]
        videos = [f"v{i}" for i in rng.integers(0, titles, terms)]
        counts = [int(c) for c in rng.integers(1, 100, terms)]
        rows = list(zip(words, videos, counts)) + [("how to cook", "v1", 10_000 + variant)]
        torrelm.save(torrelm.build(rows), path)
    return index, other, table


def private_mib(pid: int) -> float:
    fields = dict(line.split(":", 1) for line in Path(f"/proc/{pid}/smaps_rollup").read_text()
                  .splitlines()[1:])
    return sum(int(fields[k].split()[0]) for k in ("Private_Clean", "Private_Dirty")) / 1024


def logged_switches(log: Path, after: float) -> list[float]:
    """The times, in seconds since the epoch, of the "now serving" lines logged after `after`."""
    found = []
    for line in log.read_text().splitlines():
        if "now serving" not in line:
            continue
        moment = datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S,%f").timestamp()
        if moment >= after:
            found.append(moment)
    return found


def start_section(options, workdir: Path, figures: dict) -> None:
    import torrelm

    index, other, table = start_files(workdir, options.start_terms, options.start_titles)
    served = workdir / "start-served.trl"
    shutil.copyfile(index, served)
    result: dict = {"index_mib": served.stat().st_size / 2**20, "titles": options.start_titles,
                    "terms": len(torrelm.open(served))}
    log(f"start: an index of {result['terms']:,} terms ({result['index_mib']:.0f} MiB), "
        f"{options.start_titles:,} titles")
    for titled in (False, True):
        port = free_port()
        log_file = workdir / f"start-{port}.log"
        begun = time.perf_counter()
        with open(log_file, "w") as output:
            process = subprocess.Popen(
                [sys.executable, "-m", "torrelm", "serve", str(served), "--workers", "2",
                 "--port", str(port), "--snapshot-dir", str(workdir),
                 *(["--videos", str(table)] if titled else [])],
                stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            while True:
                try:
                    answer = get_json(port, "/api/videos?q=how+to+cook&limit=3", 5.0)
                    if not titled or answer["videos"] and "title" in answer["videos"][0]:
                        break
                except OSError:
                    pass
                if process.poll() is not None:
                    raise RuntimeError(log_file.read_text()[-2000:])
                time.sleep(0.01)
            first = time.perf_counter() - begun
            workers = descendants([process.pid])[1:]
            time.sleep(1)
            for _ in range(200):  # a few lookups in each worker
                get_json(port, "/api/videos?q=how+to+cook&limit=10")
            private = [private_mib(pid) for pid in workers]
            key = "titles" if titled else "plain"
            result[f"first_answer_s_{key}"] = first
            result[f"private_mib_{key}"] = private
            log(f"  {'with' if titled else 'without'} titles: first answer {first:.2f} s after "
                f"the command; private memory per worker "
                f"{', '.join(f'{m:.1f}' for m in private)} MiB")
            if titled:
                # No request from here on: the workers notice new builds by themselves.
                for how, replace in (("renamed in", lambda source: torrelm.save(
                        torrelm.open(source), served)),
                        ("copied in place", lambda source: shutil.copyfile(source, served))):
                    source = other if how == "renamed in" else index
                    replace(source)
                    complete = time.time()
                    time.sleep(4)
                    switches = logged_switches(log_file, complete)
                    result[f"reload_{how}"] = [t - complete for t in switches]
                    log(f"  no traffic, a build {how}: the workers serve it "
                        f"{', '.join(f'{t - complete:.2f}' for t in switches) or 'never'} s "
                        f"after it is complete")
                stopping = time.perf_counter()
                process.send_signal(signal.SIGTERM)
                status = process.wait(30)
                result["stop_s"] = time.perf_counter() - stopping
                result["stop_status"] = status
                log(f"  SIGTERM: stopped in {result['stop_s']:.2f} s, exit status {status}, "
                    f"snapshots left: {len(list(workdir.glob('torrelm-serve-*')))}")
        finally:
            if process.poll() is None:
                process.terminate()
                process.wait(30)
    figures["start"] = result


def machine_busy() -> tuple[float, float]:
    """(busy, all) jiffies of the whole machine so far."""
    fields = [int(x) for x in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields) - idle, sum(fields)


# -- phases --------------------------------------------------------------------------------------

def quantile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[max(0, math.ceil(q * len(ordered)) - 1)] if ordered else math.nan


def poisson_schedule(rate: float, seconds: float, seed: int) -> list[float]:
    rng = random.Random(seed)
    out, t = [], rng.expovariate(rate)
    while t < seconds:
        out.append(t)
        t += rng.expovariate(rate)
    return out


def run_phase(service: Service, lines, rate: float, seconds: float, seed: int, during=None) -> dict:
    """Sends `rate` requests a second for `seconds` from a generator process; `during`, if given,
    runs in this process meanwhile and its result is kept under 'during'."""
    schedule = poisson_schedule(rate, seconds, seed)
    offset = random.Random(seed).randrange(len(lines) // 2) & ~1  # start on a keystroke
    requests = [lines[(offset + i) % len(lines)] for i in range(len(schedule))]
    context = multiprocessing.get_context("spawn")
    results = context.Queue()
    warm = min(MAX_CONNECTIONS, max(8, int(rate * 0.004)))
    process = context.Process(target=generate, args=(service.port, requests, schedule, warm, results))
    before_stats = {pid: s["queries"] for pid, s in service.worker_stats().items()}
    load_before = os.getloadavg()[0]
    service_cpu, busy = service.cpu_seconds(), machine_busy()
    process.start()
    extra = during() if during else None
    out = results.get(timeout=seconds + DRAIN_SECONDS + 120)
    process.join()
    service_cpu = service.cpu_seconds() - service_cpu
    busy_after = machine_busy()
    machine = (busy_after[0] - busy[0]) / max(1, busy_after[1] - busy[1]) * (os.cpu_count() or 1)
    after_stats = service.worker_stats()
    wall = out["wall_seconds"]
    figures = {
        "target_rate": rate, "seconds": seconds, "sent": len(schedule),
        "achieved_rate": out["answered"] / out["span"] if out["span"] else 0.0,
        "answered": out["answered"], "errors": out["errors"],
        "error_count": sum(out["errors"].values()),
        "peak_connections": out["peak_connections"], "retried": out["retried"],
        "generator_cores": out["cpu_seconds"] / wall, "service_cores": service_cpu / wall,
        "machine_cores": machine,
        # What the rest of the machine took meanwhile: this process and anything else running.
        "other_cores": max(0.0, machine - service_cpu / wall - out["cpu_seconds"] / wall),
        "service_cpu_us_per_request": service_cpu / max(1, out["answered"]) * 1e6,
        "generator_cpu_us_per_request": out["cpu_seconds"] / max(1, out["answered"]) * 1e6,
        "load_average_before": load_before,
        "lag_p99_ms": quantile(out["lag"], 0.99) * 1e3, "lag_max_ms": max(out["lag"], default=0) * 1e3,
        "endpoints": {},
        "workers": {str(pid): {"handled": {k: s["queries"].get(k, 0) - before_stats.get(pid, {}).get(k, 0)
                                           for k in ENDPOINTS},
                               "handler_ms": s["latency_ms"]}
                    for pid, s in after_stats.items()},
    }
    for number, endpoint in enumerate(ENDPOINTS):
        lat = out["latency"][number]
        figures["endpoints"][endpoint] = {
            "answered": len(lat),
            **{f"p{p}_ms": quantile(lat, p / 100) * 1e3 for p in (50, 90, 99)},
            "max_ms": max(lat, default=math.nan) * 1e3,
            "over_slow": sum(1 for x in lat if x * 1e3 > SLOW_MS),
        }
    figures["slow"] = sorted((round(out["due"][n][i], 3), ENDPOINTS[n], round(x * 1e3, 1))
                             for n in range(len(ENDPOINTS))
                             for i, x in enumerate(out["latency"][n]) if x * 1e3 > SLOW_MS)
    if extra is not None:
        figures["during"] = extra
    return figures


def phase_line(f: dict) -> str:
    parts = [f"  {f['target_rate']:6,.0f}/s: achieved {f['achieved_rate']:7,.0f}/s"]
    for endpoint, e in f["endpoints"].items():
        parts.append(f"{endpoint} p50 {e['p50_ms']:.2f} p90 {e['p90_ms']:.2f} p99 {e['p99_ms']:.2f} "
                     f"max {e['max_ms']:.1f} ms")
    parts.append(f"errors {f['error_count']}")
    parts.append(f"CPU: service {f['service_cores']:.2f}, generator {f['generator_cores']:.2f}, "
                 f"other {f['other_cores']:.2f} of the machine's {f['machine_cores']:.2f} cores busy")
    return "; ".join(parts)


def rates_section(options, service: Service, lines, figures: dict) -> None:
    seconds = options.seconds
    log(f"rates: {seconds:g} s at each of {', '.join(f'{r:g}' for r in options.rates)} requests/s "
        f"(Poisson arrivals), half /api/complete and half /api/videos")
    run_phase(service, lines, 250, 2 if options.quick else 5, seed=1)  # warms pages and pools
    figures["rates"] = []
    for k, rate in enumerate(options.rates):
        f = run_phase(service, lines, rate, seconds, seed=100 + k)
        figures["rates"].append(f)
        log(phase_line(f))
        handler = []
        for pid, w in f["workers"].items():
            ms = w["handler_ms"]
            handler.append(f"worker {pid}: {sum(w['handled'].values()):,} requests, handler p50/p99 "
                           + ", ".join(f"{k} {ms[k]['p50']:.2f}/{ms[k]['p99']:.2f} ms"
                                       for k in ENDPOINTS if k in ms))
        log("          " + "; ".join(handler))
        log(f"          CPU a request: service {f['service_cpu_us_per_request']:.0f} µs, generator "
            f"{f['generator_cpu_us_per_request']:.0f} µs; load average before {f['load_average_before']:.2f}")
        log(f"          generator: dispatch lag p99 {f['lag_p99_ms']:.2f} ms, max "
            f"{f['lag_max_ms']:.1f} ms; {f['peak_connections']} connections at most, "
            f"{f['retried']} requests sent again after an idle connection closed")


def reload_section(options, service: Service, lines, figures: dict, served: Path, builds) -> None:
    import torrelm

    seconds = options.reload_seconds
    times = [seconds * (i + 1) / (options.reloads + 1) for i in range(options.reloads)]
    log(f"reload: {TARGET_RATE:,} requests/s for {seconds:g} s; the served file replaced by "
        f"torrelm.save {options.reloads} times, alternating two builds")
    indexes = [torrelm.load(path) for path in builds]
    terms = [len(index) for index in indexes]

    def replace_meanwhile():
        events = []
        start = time.monotonic() + 0.6  # the generator process starts and connects meanwhile
        for i, at in enumerate(times):
            time.sleep(max(0.0, start + at - time.monotonic()))
            which = (i + 1) % 2
            began = time.monotonic()
            torrelm.save(indexes[which], served)
            saved = time.monotonic()
            status = served.stat()
            # Every worker serves the new file once its /stats shows the file's identity.
            pending = set(service.worker_stats())
            seen_at: dict[int, float] = {}
            deadline = saved + 10
            while pending - set(seen_at) and time.monotonic() < deadline:
                for pid, stats in service.worker_stats(4).items():
                    if same_file(index_of(stats)["file"], status) and index_of(stats)["terms"] == terms[which]:
                        seen_at.setdefault(pid, time.monotonic())
                time.sleep(0.05)
            events.append({"at": round(began - start, 2), "save_seconds": saved - began,
                           "build": which, "terms": terms[which], "workers": len(pending),
                           "workers_serving": len(set(seen_at) & pending),
                           "seconds_to_all": (max(seen_at.values()) - saved)
                           if pending <= set(seen_at) else None})
        return events

    f = run_phase(service, lines, TARGET_RATE, seconds, seed=7, during=replace_meanwhile)
    figures["reload"] = f
    log(phase_line(f))
    for e in f["during"]:
        log(f"  at {e['at']:5.1f} s: saved build {e['build']} ({e['terms']:,} terms) in "
            f"{e['save_seconds'] * 1e3:.0f} ms; {e['workers_serving']} of {e['workers']} workers "
            f"served it" + (f" within {e['seconds_to_all']:.2f} s" if e["seconds_to_all"] is not None
                            else " within 10 s: NOT ALL"))
    over = sum(e["over_slow"] for e in f["endpoints"].values())
    log(f"  requests over {SLOW_MS:g} ms: {over}" + (
        " (scheduled at, endpoint, ms: " + ", ".join(f"{t} s {n} {ms}" for t, n, ms in f["slow"][:12])
        + ("..." if len(f["slow"]) > 12 else "") + ")" if over else ""))
    # Leave the service on the build it began with, for any later phase.
    torrelm.save(indexes[0], served)


# -- closed loop and server stacks ---------------------------------------------------------------

# Each stack serves the same app, serve_app:app (bench/serve_app.py), with 2 workers by default.
# A stack's start command is a list of processes (argv lists), all started side by side.
BENCH = Path(__file__).resolve().parent
STACKS = ("uvicorn-h11", "uvicorn-httptools", "uvicorn-reuseport", "granian", "torrelm-serve")
CLOSED_SECTION_CLIENTS = (16, 64)
CLOSED_TARGET_RATIO = 1.25  # time per request of a query endpoint over the trivial endpoint's
CLOSED_CHEAP_US = 20.0  # ... for the endpoints whose query takes less than this
CLOSED_TARGET_P99_MS = 20.0  # at the most clients of the reference runs
CLOSED_TARGET_CLIENTS = 64
WRK_SCRIPT = r"""
-- Rotates through the request paths of the file named after --, one request at a time per
-- connection; each thread starts at a place of its own. Prints the figures as one JSON line.
local requests = {}
local i = 0
function init(args)
  for line in io.lines(args[1]) do requests[#requests + 1] = wrk.format("GET", line) end
  math.randomseed(os.time() + tonumber(tostring({}):sub(8), 16))
  i = math.random(#requests) - 1
end
function request()
  i = i % #requests + 1
  return requests[i]
end
function done(summary, latency, _)
  local e = summary.errors
  io.write(string.format('WRK {"requests": %d, "duration_us": %d, "p50_us": %d, "p90_us": %d, ' ..
    '"p99_us": %d, "max_us": %d, "connect": %d, "read": %d, "write": %d, "status": %d, ' ..
    '"timeout": %d}\n', summary.requests, summary.duration, latency:percentile(50),
    latency:percentile(90), latency:percentile(99), latency.max, e.connect, e.read, e.write,
    e.status, e.timeout))
end
"""


def stack_commands(stack: str, port: int, workers: int, index: str = "INDEX") -> list[list[str]]:
    """The processes a stack runs, started in bench/ with the index in the environment."""
    python = sys.executable
    name = stack.removesuffix("+inline")
    uvicorn = [python, "-m", "uvicorn", "serve_app:app", "--factory", "--host", "127.0.0.1",
               "--port", str(port), "--workers", str(workers), "--log-level", "warning",
               "--no-access-log"]
    if name == "uvicorn-h11":
        return [uvicorn + ["--loop", "asyncio", "--http", "h11"]]
    if name == "uvicorn-httptools":
        return [uvicorn + ["--loop", "uvloop", "--http", "httptools"]]
    if name == "uvicorn-reuseport":
        return [[python, "serve_app.py", "127.0.0.1", str(port)] for _ in range(workers)]
    if name == "torrelm-serve":  # the service as it ships: python -m torrelm serve
        return [[python, "-m", "torrelm", "serve", index, "--port",
                 str(port), "--workers", str(workers), "--map-in-place"]]
    if name == "granian":
        granian = str(Path(python).parent / "granian")
        return [[granian, "--interface", "asgi", "--factory", "--host", "127.0.0.1", "--port",
                 str(port), "--workers", str(workers), "--loop", "uvloop", "--http", "1",
                 "--no-ws", "--log-level", "warning", "serve_app:app"]]
    raise ValueError(f"unknown stack {stack!r}; choose from {', '.join(STACKS)} (+inline)")


def stack_missing(stack: str) -> str | None:
    """What a stack lacks on this machine, if anything."""
    import importlib

    def installed(module: str) -> bool:
        try:
            importlib.import_module(module)
        except ImportError:
            return False
        return True

    name = stack.removesuffix("+inline")
    needs = {"uvicorn-h11": ["uvicorn", "h11"], "uvicorn-httptools": ["uvicorn", "httptools", "uvloop"],
             "uvicorn-reuseport": ["uvicorn", "httptools", "uvloop"], "granian": ["granian", "uvloop"],
             "torrelm-serve": ["uvicorn", "httptools", "uvloop"]}
    lacking = [m for m in needs[name] if not installed(m)]
    return ", ".join(lacking) or None


def descendants(roots: list[int]) -> list[int]:
    """The processes `roots` and all their descendants."""
    parents: dict[int, int] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                fields = Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            parents[int(entry)] = int(fields[1])
    out, frontier = list(roots), list(roots)
    while frontier:
        frontier = [p for p, parent in parents.items() if parent in frontier]
        out += frontier
    return out


def process_cpu(pids: list[int]) -> dict[int, float]:
    out = {}
    for pid in pids:
        try:
            fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        out[pid] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return out


class StackService:
    """One stack serving the index, as processes of its own, each stopped by its own id."""

    def __init__(self, stack: str, index: Path, workers: int) -> None:
        self.stack = stack
        self.port = free_port()
        self.index = str(index)
        self.commands = stack_commands(stack, self.port, workers, self.index)
        env = dict(os.environ, TORRELM_BENCH_INDEX=str(index),
                   TORRELM_BENCH_INLINE="1" if stack.endswith("+inline") else "0",
                   PYTHONPATH=os.pathsep.join([str(BENCH)] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
        self.processes = [subprocess.Popen(command, cwd=BENCH, env=env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.PIPE, start_new_session=True)
                          for command in self.commands]
        deadline = time.monotonic() + 60
        seen: set[int] = set()
        while len(seen) < workers:
            for process in self.processes:
                if process.poll() is not None:
                    self.stop()
                    raise RuntimeError(f"{stack} exited: " + process.stderr.read().decode()[-2000:])
            try:
                seen.add(worker_of(get_json(self.port, "/stats", 1.0)))
            except (OSError, ValueError, KeyError):
                time.sleep(0.1)
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"{stack}: {len(seen)} of {workers} workers answered within 60 s")
        self.workers = workers

    def command_line(self) -> str:
        shown = [" ".join(Path(c[0]).name if i == 0 else "PORT" if c_ == str(self.port)
                          else "INDEX" if c_ == self.index else c_ for i, c_ in enumerate(c))
                 for c in self.commands]
        if len(shown) > 1 and len(set(shown)) == 1:
            return f"{len(shown)} × {shown[0]}"
        return " & ".join(shown)

    def cpu(self) -> dict[int, float]:
        return process_cpu(descendants([p.pid for p in self.processes]))

    def stop(self) -> None:
        for process in self.processes:
            if process.poll() is None:
                process.send_signal(signal.SIGINT)
        for process in self.processes:
            try:
                process.wait(15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def closed_paths(texts: list[str]) -> dict[str, list[str]]:
    """The endpoints of the closed loop: the trivial one, then the queries; the keystroke mixes
    rotate through the prefixes typed (typos included)."""
    typed = [urllib.parse.quote(t, safe="") for t in texts[:2000]]
    return {
        "healthz": ["/healthz"],
        "complete mix": [f"/api/complete?q={q}&limit={LIMIT}" for q in typed],
        "complete vid": [f"/api/complete?q=vid&limit={LIMIT}"],
        "videos vid": [f"/api/videos?q=vid&max_dist=1&limit={LIMIT}"],
        "suggest vidoe": [f"/api/suggest?q=vidoe&max_dist=2&limit={LIMIT}"],
        "typeahead mix": [f"/api/typeahead?q={q}&limit={LIMIT}&videos={LIMIT}" for q in typed],
    }


def closed_query_costs(path: Path, texts: list[str]) -> dict[str, float]:
    """µs of CPU a call of each closed-loop endpoint's query takes in one process, results turned
    into dicts as the service does: which endpoints count as cheap."""
    import torrelm

    index = torrelm.open(path)
    mix = texts[:2000]

    def complete(q):
        return [{"term": c.term, "count": c.count} for c in index.complete(q, limit=LIMIT, max_dist=0)]

    def typeahead(q):
        found = index.typeahead(q, limit=LIMIT, videos=LIMIT)
        return ([{"term": c.term, "count": c.count} for c in found.completions],
                [{"id": v.id, "share": v.share} for v in found.videos])

    calls = {
        "complete mix": (complete, mix),
        "complete vid": (complete, ["vid"] * 2000),
        "videos vid": (lambda q: [{"id": v.id, "share": v.share}
                                  for v in index.videos(q, max_dist=1, limit=LIMIT)], ["vid"] * 2000),
        "suggest vidoe": (lambda q: [{"term": s.term, "distance": s.distance, "count": s.count}
                                     for s in index.suggest(q, max_dist=2, limit=LIMIT)], ["vidoe"] * 300),
        "typeahead mix": (typeahead, mix),
    }
    out = {"healthz": 0.0}
    for name, (call, qs) in calls.items():
        for q in qs[:200]:
            call(q)
        best = math.inf
        for _ in range(3):  # the best of three: the machine is shared
            start = time.process_time()
            for q in qs:
                call(q)
            best = min(best, (time.process_time() - start) / len(qs) * 1e6)
        out[name] = best
    return out


def app_costs(served: Path, paths: dict[str, list[str]], inline: bool) -> dict[str, float]:
    """µs of CPU a request of each endpoint takes the app alone, called in this process as an
    ASGI server would call it but with no server, sockets or HTTP parsing: what the stacks add
    is the rest of the server's CPU a request."""
    import torrelm._serve.holders

    original = torrelm._serve.holders.run_in_threadpool
    os.environ["TORRELM_BENCH_INDEX"] = str(served)
    os.environ["TORRELM_BENCH_INLINE"] = "1" if inline else "0"
    import serve_app

    try:
        app = serve_app.app()

        async def receive():
            return {"type": "http.request", "body": b"", "more_body": False}

        async def send(message):
            pass

        scopes = {}
        for endpoint, ps in paths.items():
            scopes[endpoint] = []
            for target in ps:
                path, _, query = target.partition("?")
                scopes[endpoint].append({
                    "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
                    "method": "GET", "scheme": "http", "path": urllib.parse.unquote(path),
                    "raw_path": path.encode(), "query_string": query.encode(), "root_path": "",
                    "headers": [(b"host", b"bench")], "client": ("127.0.0.1", 1),
                    "server": ("127.0.0.1", 80)})

        async def measure():
            out = {}
            for endpoint, ss in scopes.items():
                ss = (ss * (2000 // len(ss) + 1))[:2000]
                for scope in ss[:200]:
                    await app(dict(scope), receive, send)
                best = math.inf
                for _ in range(3):
                    start = time.process_time()
                    for scope in ss:
                        await app(dict(scope), receive, send)
                    best = min(best, (time.process_time() - start) / len(ss) * 1e6)
                out[endpoint] = best
            return out

        return asyncio.run(measure())
    finally:
        torrelm._serve.holders.run_in_threadpool = original


def run_wrk(service: StackService, paths_file: Path, script: Path, clients: int, seconds: float) -> dict:
    import resource

    threads = min(2, clients)
    command = ["wrk", f"-t{threads}", f"-c{clients}", f"-d{max(1, round(seconds))}s", "--timeout", "5s",
               "-s", str(script), f"http://127.0.0.1:{service.port}", "--", str(paths_file)]
    cpu_before, busy = service.cpu(), machine_busy()
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, timeout=seconds + 60)
    wall = time.perf_counter() - wall
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu_after, busy_after = service.cpu(), machine_busy()
    line = next((x for x in done.stdout.splitlines() if x.startswith("WRK ")), None)
    if line is None:
        raise RuntimeError(f"wrk gave no figures: {done.stdout[-1000:]} {done.stderr[-1000:]}")
    w = json.loads(line[4:])
    used = {pid: cpu_after[pid] - cpu_before.get(pid, 0.0) for pid in cpu_after}
    service_cpu = sum(used.values())
    busiest = sorted(used.values(), reverse=True)[:service.workers]
    wrk_cpu = after.ru_utime + after.ru_stime - children.ru_utime - children.ru_stime
    machine = (busy_after[0] - busy[0]) / max(1, busy_after[1] - busy[1]) * (os.cpu_count() or 1)
    errors = w["connect"] + w["read"] + w["write"] + w["status"] + w["timeout"]
    return {
        "rps": w["requests"] / (w["duration_us"] / 1e6), "requests": w["requests"],
        "p50_ms": w["p50_us"] / 1e3, "p90_ms": w["p90_us"] / 1e3, "p99_ms": w["p99_us"] / 1e3,
        "max_ms": w["max_us"] / 1e3, "errors": errors,
        "service_cores": service_cpu / wall, "wrk_cores": wrk_cpu / wall,
        # CPU of the server's processes a request: unlike req/s, hardly moved by what else the
        # machine runs meanwhile (a share of the cores taken elsewhere lowers both alike).
        "service_us": service_cpu / max(1, w["requests"]) * 1e6,
        "wrk_us": wrk_cpu / max(1, w["requests"]) * 1e6,
        "other_cores": max(0.0, machine - (service_cpu + wrk_cpu) / wall),
        "worker_split": [round(x / service_cpu * 100) if service_cpu else 0 for x in busiest],
    }


def median(values: list[float]) -> float:
    ordered = sorted(values)
    n = len(ordered)
    return (ordered[n // 2] if n % 2 else (ordered[n // 2 - 1] + ordered[n // 2]) / 2) if n else math.nan


def closed_line(stack: str, clients: int, endpoint: str, r: dict, floor: dict | None) -> str:
    ratio = f"{floor['rps'] / r['rps']:5.2f}x" if floor and r["rps"] else "     "
    cpu_ratio = f" ({r['service_us'] / floor['service_us']:.2f}x)" if floor and floor["service_us"] else ""
    return (f"  {stack:<24} {clients:3d} clients  {endpoint:<14} {r['rps']:8,.0f} req/s {ratio}  "
            f"p50 {r['p50_ms']:6.2f}  p99 {r['p99_ms']:6.2f} ms  errors {r['errors']}  "
            f"service CPU {r['service_us']:4.0f} µs/request{cpu_ratio}, wrk {r['wrk_us']:3.0f}; cores: "
            f"service {r['service_cores']:.2f} (workers {'/'.join(map(str, r['worker_split']))} %), "
            f"wrk {r['wrk_cores']:.2f}, other {r['other_cores']:.2f}")


def closed_section(options, served: Path, texts: list[str], figures: dict) -> None:
    import shutil

    if shutil.which("wrk") is None:
        log("closed: skipped, wrk is not installed (apt-get install wrk)")
        return
    stacks = []
    for stack in options.stack:
        missing = stack_missing(stack)
        if missing:
            log(f"closed: {stack} skipped, {missing} not installed")
        else:
            stacks.append(stack)
    clients = options.closed
    seconds = options.closed_seconds
    paths = closed_paths(texts)
    costs = closed_query_costs(served, texts)
    log(f"closed: {len(clients)} client counts ({', '.join(map(str, clients))}) × {len(paths)} endpoints × "
        f"{len(stacks)} stacks, {seconds:g} s each, {options.repeats} time(s); {options.workers} workers; "
        f"wrk on the same {os.cpu_count()} cores")
    log("  the queries alone, in one process: " + ", ".join(
        f"{k} {v:.1f} µs" for k, v in costs.items() if k != "healthz"))
    # "as is": the app as torrelm._serve makes it; "inline": with run_in_threadpool, as it imported
    # it, calling directly (a service that hands its queries to the thread pool, as earlier ones
    # did, then runs them on the event loop; one that runs them inline already changes little).
    apps = {"as is": app_costs(served, paths, False), "inline": app_costs(served, paths, True)}
    for variant, us in apps.items():
        log(f"  the app alone ({variant}), CPU a request: " + ", ".join(f"{k} {v:.1f} µs" for k, v in us.items()))
    result = {"app_us": apps, "clients": clients, "seconds": seconds, "repeats": options.repeats,
              "workers": options.workers, "query_us": costs, "paths": {k: v[0] for k, v in paths.items()},
              "mix_size": len(paths["complete mix"]), "stacks": {}}
    figures["closed"] = result
    with tempfile.TemporaryDirectory(prefix="torrelm-bench-closed-") as scratch:
        script = Path(scratch) / "rotate.lua"
        script.write_text(WRK_SCRIPT)
        files = {}
        for k, (name, ps) in enumerate(paths.items()):
            files[name] = Path(scratch) / f"paths-{k}.txt"
            files[name].write_text("\n".join(ps) + "\n")
        samples: dict[str, dict[int, dict[str, list[dict]]]] = {s: {} for s in stacks}
        for repeat in range(options.repeats):
            # Every stack in turn on each round, so that what else the machine runs meanwhile
            # falls on them alike.
            for stack in stacks:
                service = StackService(stack, served, options.workers)
                try:
                    entry = result["stacks"].setdefault(stack, {"command": service.command_line(), "runs": {}})
                    run_wrk(service, files["complete mix"], script, max(clients), options.warm_seconds)
                    for n in clients:
                        floor = None
                        for endpoint in paths:
                            r = run_wrk(service, files[endpoint], script, n, seconds)
                            samples[stack].setdefault(n, {}).setdefault(endpoint, []).append(r)
                            floor = floor or r
                            log(closed_line(stack, n, endpoint, r, floor))
                finally:
                    service.stop()
        for stack in stacks:
            for n, by_endpoint in samples[stack].items():
                runs = {}
                for endpoint, rs in by_endpoint.items():
                    runs[endpoint] = {key: median([r[key] for r in rs])
                                      for key in ("rps", "p50_ms", "p90_ms", "p99_ms", "max_ms",
                                                  "service_us", "wrk_us",
                                                  "service_cores", "wrk_cores", "other_cores")}
                    runs[endpoint]["errors"] = sum(r["errors"] for r in rs)
                    runs[endpoint]["rps_all"] = [round(r["rps"]) for r in rs]
                    runs[endpoint]["worker_split"] = rs[len(rs) // 2]["worker_split"]
                floor = runs["healthz"]
                for endpoint, r in runs.items():
                    r["ratio"] = floor["rps"] / r["rps"] if r["rps"] else math.inf
                    r["cpu_ratio"] = r["service_us"] / floor["service_us"] if floor["service_us"] else math.inf
                result["stacks"][stack]["runs"][str(n)] = runs
    if options.repeats > 1:
        log(f"closed: medians of {options.repeats} runs")
        for stack, s in result["stacks"].items():
            for n, runs in s["runs"].items():
                for endpoint, r in runs.items():
                    log(closed_line(stack, int(n), endpoint, r, runs["healthz"]))


def closed_rows(figures: dict) -> list[tuple[str, str, str, bool | None]]:
    c = figures.get("closed")
    if not c:
        return []
    rows = []
    cheap = [e for e, us in c["query_us"].items() if e != "healthz" and us < CLOSED_CHEAP_US]
    for stack, s in c["stacks"].items():
        for endpoint in cheap:
            worst = max((runs[endpoint]["ratio"], n, runs[endpoint]["cpu_ratio"])
                        for n, runs in s["runs"].items())
            rows.append((f"{stack}: {endpoint} time/request vs healthz (worst, {worst[1]} clients; "
                         f"CPU/request {worst[2]:.2f}x)",
                         f"{worst[0]:.2f}x", f"<= {CLOSED_TARGET_RATIO:g}x",
                         round(worst[0], 2) <= CLOSED_TARGET_RATIO))
        runs = s["runs"].get(str(CLOSED_TARGET_CLIENTS))
        if runs:
            worst = max((r["p99_ms"], e) for e, r in runs.items())
            rows.append((f"{stack}: worst p99 at {CLOSED_TARGET_CLIENTS} clients ({worst[1]})",
                         f"{worst[0]:.2f} ms", f"<= {CLOSED_TARGET_P99_MS:g} ms",
                         worst[0] <= CLOSED_TARGET_P99_MS))
    return rows


APP_VARIANTS = {
    "as is": "as is, the app as torrelm._serve makes it",
    "inline": "inline, with run_in_threadpool as torrelm._serve imported it made to call directly",
    "threadpool": "thread pool, the queries handed to Starlette's thread pool as the service then did",
}


def closed_report_lines(c: dict) -> list[str]:
    lines = ["### Closed loop and server stacks", "",
             f"`bench/bench_serve.py --only closed --closed {' --closed '.join(map(str, c['clients']))} "
             f"--repeats {c['repeats']} --stack {','.join(c['stacks'])}`: N keep-alive clients (wrk -t2 -cN, a Lua script rotating "
             f"through the paths) each sending its next request as soon as the answer to the last "
             f"arrives, {c['seconds']:g} s per endpoint, medians of {c['repeats']} runs; the server "
             f"with {c['workers']} workers on the same {os.cpu_count()} cores as wrk. The mixes rotate "
             f"through {c['mix_size']:,} keystroke prefixes (typos included). × healthz is the time "
             "per request relative to `/healthz` on the same stack (healthz req/s over the "
             "endpoint's). The query alone is µs of CPU a call in one process, results as dicts.", ""]
    for stack, s in c["stacks"].items():
        lines.append(f"- `{stack}`: `{s['command']}`")
    lines.append("")
    if c.get("app_us"):
        apps = c["app_us"]
        variants = list(apps)
        lines += ["CPU a request in one process, µs: the query alone (results as dicts), and the app "
                  "alone (the Starlette app called as an ASGI server calls it, no server, socket or "
                  "HTTP parsing): " + "; ".join(APP_VARIANTS.get(v, v) for v in variants) + ".", "",
                  "| endpoint | path | query alone | " + " | ".join(f"app, {v}" for v in variants) + " |",
                  "|---|---|---|" + "---|" * len(variants)]
        for endpoint, path in c["paths"].items():
            us = c["query_us"].get(endpoint, 0.0)
            lines.append(f"| {endpoint} | `{path}`{' …' if 'mix' in endpoint else ''} | "
                         f"{'–' if endpoint == 'healthz' else f'{us:.1f}'} | "
                         + " | ".join(f"{apps[v][endpoint]:.1f}" for v in variants) + " |")
        lines.append("")
    endpoints = list(c["paths"])
    head = ["| stack | " + " | ".join(endpoints) + " |", "|---|" + "---|" * len(endpoints)]
    tables = [("req/s (time a request × healthz's)", lambda r: f"{r['rps']:,.0f} ({r['ratio']:.2f}x)"),
              ("p50 / p99 ms", lambda r: f"{r['p50_ms']:.2f} / {r['p99_ms']:.2f}"),
              ("the server's CPU a request, µs (× healthz's)",
               lambda r: f"{r['service_us']:.0f} ({r['cpu_ratio']:.2f}x)")]
    for n in map(str, c["clients"]):
        stacks = [s for s in c["stacks"] if n in c["stacks"][s]["runs"]]
        if not stacks:
            continue
        for title, cell in tables:
            lines += [f"{n} clients: {title}", ""] + head
            for stack in stacks:
                runs = c["stacks"][stack]["runs"][n]
                lines.append(f"| {stack} | " + " | ".join(cell(runs[e]) for e in endpoints) + " |")
            lines.append("")
        cores = [f"{stack} {statistics_cores(c['stacks'][stack]['runs'][n])}" for stack in stacks]
        lines += [f"{n} clients, CPU in cores (the server / wrk / other, medians over the endpoints): "
                  + "; ".join(cores) + ".", ""]
    rows = closed_rows({"closed": c})
    if rows:
        lines += [f"Targets: each query endpoint whose query takes under {CLOSED_CHEAP_US:g} µs at most "
                  f"{CLOSED_TARGET_RATIO:g}x the time per request of `/healthz`, and p99 at most "
                  f"{CLOSED_TARGET_P99_MS:g} ms at {CLOSED_TARGET_CLIENTS} clients:", ""]
        lines += [f"- {label}: {value} ({'met' if met else 'missed'})" for label, value, _, met in rows]
        lines.append("")
    return lines


def statistics_cores(runs: dict) -> str:
    return " / ".join(f"{median([r[k] for r in runs.values()]):.2f}"
                      for k in ("service_cores", "wrk_cores", "other_cores"))


# -- summary and report --------------------------------------------------------------------------

def at_target(figures: dict) -> dict | None:
    return next((f for f in figures.get("rates", []) if f["target_rate"] == TARGET_RATE), None)


def summary_rows(figures: dict) -> list[tuple[str, str, str, bool | None]]:
    rows = []
    f = at_target(figures)
    if f:
        for endpoint in ENDPOINTS:
            e = f["endpoints"][endpoint]
            rows.append((f"/api/{endpoint} p99 at {TARGET_RATE:,}/s", f"{e['p99_ms']:.2f} ms",
                         f"<= {TARGET_P99_MS:g} ms", e["p99_ms"] <= TARGET_P99_MS))
        rows.append((f"achieved rate at {TARGET_RATE:,}/s", f"{f['achieved_rate']:,.0f}/s", "", None))
        rows.append((f"errors at {TARGET_RATE:,}/s", str(f["error_count"]), "0", f["error_count"] == 0))
    for g in figures.get("rates", []):
        if g is not f:
            worst = max(g["endpoints"][e]["p99_ms"] for e in ENDPOINTS)
            rows.append((f"worst p99 at {g['target_rate']:,.0f}/s (achieved {g['achieved_rate']:,.0f}/s)",
                         f"{worst:.2f} ms", "", None))
    r = figures.get("reload")
    if r:
        over = sum(e["over_slow"] for e in r["endpoints"].values())
        served = all(e["seconds_to_all"] is not None for e in r["during"])
        rows.append(("errors during reloads", str(r["error_count"]), "0", r["error_count"] == 0))
        rows.append((f"requests over {SLOW_MS:g} ms during reloads", str(over), "0", over == 0))
        rows.append(("every worker serves each new build", "yes" if served else "no", "yes", served))
    return rows + closed_rows(figures)


def print_summary(figures: dict) -> None:
    print_figure_rows(summary_rows(figures), log, value_width=12, target_width=10)


def plot(figures: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    rates = figures["rates"]
    xs = [f["target_rate"] for f in rates]
    figure, axis = plt.subplots(figsize=(7, 4.5))
    styles = {"p50": ":", "p90": "--", "p99": "-"}
    for endpoint, marker, colour in zip(ENDPOINTS, ("o", "s"), ("tab:blue", "tab:orange")):
        for name, style in styles.items():
            axis.plot(xs, [f["endpoints"][endpoint][f"{name}_ms"] for f in rates], style,
                      marker=marker, color=colour, label=f"/api/{endpoint} {name}")
    axis.axhline(TARGET_P99_MS, color="grey", linewidth=0.8)
    axis.annotate(f"p99 target {TARGET_P99_MS:g} ms", (xs[0], TARGET_P99_MS), textcoords="offset points",
                  xytext=(0, 4), color="grey", fontsize=8)
    axis.set_yscale("log")
    axis.yaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
    axis.set_xlabel("requests per second sent (open loop, Poisson arrivals)")
    axis.set_ylabel("latency from scheduled send (ms, log scale)")
    axis.set_title("python -m torrelm serve --workers 2, keystroke replay")
    axis.set_xticks(xs)
    axis.legend(fontsize=8, ncol=2)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)
    plt.close(figure)


def report_lines(figures: dict, plot_name: str = "plots/serve_latency.png") -> list[str]:
    """The figures as a section of docs/performance.md."""
    lines = ["## Serving: keystrokes per second", "",
             "`bench/bench_serve.py`" + (" --quick" if figures.get("quick") else "") +
             f": `python -m torrelm serve INDEX --workers 2` on {figures.get('index_terms', 0):,} "
             "terms of wamerican-insane (one to three videos a word, counts from "
             "`int(random.paretovariate(1.2))`), loaded from another process on the same "
             f"{figures.get('cores', 2)}-core machine. Each keystroke of a word (drawn by count, half "
             f"with a typo) is a GET of `/api/complete` and of `/api/videos` (limit {LIMIT}, max_dist "
             f"{MAX_DIST}), sent open-loop on a Poisson schedule at the target rate over keep-alive "
             "connections; a latency runs from the scheduled time to the end of the answer, so "
             "queueing counts. CPU is in cores: the service's processes, the generator's, and "
             "whatever else the machine ran meanwhile (other CPU).", ""]
    if figures.get("rates"):
        lines += ["| sent /s | achieved /s | complete p50 / p90 / p99 / max ms | videos p50 / p90 / p99 / max ms "
                  "| errors | service CPU | generator CPU | other CPU |", "|---|---|---|---|---|---|---|---|"]
        for f in figures["rates"]:
            cells = [f"{f['endpoints'][e]['p50_ms']:.2f} / {f['endpoints'][e]['p90_ms']:.2f} / "
                     f"**{f['endpoints'][e]['p99_ms']:.2f}** / {f['endpoints'][e]['max_ms']:.0f}"
                     for e in ENDPOINTS]
            lines.append(f"| {f['target_rate']:,.0f} | {f['achieved_rate']:,.0f} | {cells[0]} | {cells[1]} | "
                         f"{f['error_count']} | {f['service_cores']:.2f} | {f['generator_cores']:.2f} | "
                         f"{f['other_cores']:.2f} |")
        f = at_target(figures)
        if f:
            worst = max(f["endpoints"][e]["p99_ms"] for e in ENDPOINTS)
            lines += ["", f"Target: p99 ≤ {TARGET_P99_MS:g} ms for both endpoints at {TARGET_RATE:,} "
                      f"requests per second: measured {worst:.2f} ms at worst, "
                      f"{'met' if worst <= TARGET_P99_MS else 'missed'}."]
            handler = [f"{k} p50 {w['handler_ms'][k]['p50']:.2f} ms, p99 {w['handler_ms'][k]['p99']:.2f} ms"
                       for w in list(f["workers"].values())[:1] for k in ENDPOINTS if k in w["handler_ms"]]
            if handler:
                lines += ["", f"Inside the service at {TARGET_RATE:,}/s (a worker's `/stats`: from the "
                          "handler's start to its answer, parsing and queueing before it not counted): "
                          + "; ".join(handler) + "."]
        if f and "query_us" in figures:
            q = figures["query_us"]
            lines += ["", f"CPU a request at {TARGET_RATE:,}/s: the service's processes "
                      f"{f['service_cpu_us_per_request']:.0f} µs, of which the query itself (complete "
                      f"{q['complete']:.0f} µs, videos {q['videos']:.0f} µs a call from Python, results "
                      f"as dicts) is the small part; the generator {f['generator_cpu_us_per_request']:.0f} µs."]
        lines += ["", f"![latency percentiles against request rate]({plot_name})", ""]
    r = figures.get("reload")
    if r:
        over = sum(e["over_slow"] for e in r["endpoints"].values())
        saves = ", ".join(f"{e['save_seconds'] * 1e3:.0f} ms" for e in r["during"])
        waits = ", ".join("never" if e["seconds_to_all"] is None else f"{e['seconds_to_all']:.2f} s"
                          for e in r["during"])
        worst = max(r["endpoints"][e]["p99_ms"] for e in ENDPOINTS)
        lines += [f"Reloads under load: {TARGET_RATE:,} requests per second for {r['seconds']:g} s while "
                  f"the served file was replaced {len(r['during'])} times by `torrelm.save` (two builds "
                  f"in turn, {r['during'][0]['terms']:,} and {r['during'][1]['terms'] if len(r['during']) > 1 else 0:,} "
                  f"terms; saves took {saves}): {r['error_count']} errors (target 0), {over} requests "
                  f"over {SLOW_MS:g} ms (target 0), p99 {worst:.2f} ms, max "
                  f"{max(r['endpoints'][e]['max_ms'] for e in ENDPOINTS):.0f} ms. Every worker's "
                  f"`/stats` showed the new file and its number of terms after {waits}.", ""]
    if figures.get("closed"):
        lines += closed_report_lines(figures["closed"])
    return lines


# -- main ----------------------------------------------------------------------------------------

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="every tenth word, short phases (< 1 minute)")
    parser.add_argument("--rates", type=float, nargs="+", help="requests per second to run at")
    parser.add_argument("--seconds", type=float, help="seconds at each rate (20; 4 quick)")
    parser.add_argument("--reload-seconds", type=float, help="seconds of the reload run (30; 8 quick)")
    parser.add_argument("--reloads", type=int, help="files saved during it (5; 2 quick)")
    parser.add_argument("--workers", type=int, default=2, help="the service's worker processes")
    parser.add_argument("--workdir", type=Path,
                        default=Path(tempfile.gettempdir()) / "torrelm-bench-serve",
                        help="where the built indexes are kept between runs")
    parser.add_argument("--plot", type=Path, help="draw latency against rate into this image")
    parser.add_argument("--closed", type=int, nargs="+", action="append", metavar="N",
                        help="closed section: N keep-alive clients (may be given several times; "
                             "16 and 64 by default)")
    parser.add_argument("--stack", help="closed section: comma-separated server stacks, of "
                        f"{','.join(STACKS)}, each optionally with +inline (queries run on the event "
                        "loop, not in the thread pool); all four by default, uvicorn-httptools quick")
    parser.add_argument("--closed-seconds", type=float, help="closed section: whole seconds per endpoint (3; 1 quick)")
    parser.add_argument("--repeats", type=int, default=1,
                        help="closed section: rounds over the stacks, medians reported")
    parser.add_argument("--start-terms", type=int, default=280_000,
                        help="start section: random terms of its index (280,000: about 212 MiB)")
    parser.add_argument("--start-titles", type=int, default=497_489,
                        help="start section: titles in its videos file")
    add_report_options(parser, SECTIONS)
    options = parser.parse_args()
    chosen = chosen_sections(parser, options, SECTIONS, report_lines)
    if chosen is None:
        return
    quick = options.quick
    options.rates = options.rates or ([250, 1000] if quick else [250, 500, 1000, 1500, 2000])
    options.seconds = options.seconds or (4 if quick else 20)
    options.reload_seconds = options.reload_seconds or (8 if quick else 30)
    options.reloads = options.reloads or (2 if quick else 5)
    options.closed = sorted({n for ns in options.closed for n in ns}) if options.closed \
        else list(CLOSED_SECTION_CLIENTS)
    options.stack = [x.strip() for x in options.stack.split(",") if x.strip()] if options.stack \
        else (["uvicorn-httptools"] if quick else list(STACKS))
    for stack in options.stack:
        try:
            stack_commands(stack, 0, 1)  # an unknown name fails here, before anything is built
        except ValueError as error:
            parser.error(str(error))
    options.closed_seconds = options.closed_seconds or (1 if quick else 3)
    options.warm_seconds = 1
    workdir = options.workdir / ("quick" if quick else "full")
    workdir.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()

    if set(chosen) == {"start"}:
        figures: dict = {"quick": quick, "cores": os.cpu_count()}
        start_section(options, options.workdir, figures)
        if options.json:
            options.json.write_text(json.dumps(figures, indent=1))
        return
    words = read_words(quick)
    log(f"indexes: {len(words):,} words of {WORDS.name}")
    builds = [cached_build(workdir / f"words-{v}.trl", words, v) for v in (0, 1)]
    served = workdir / "served.trl"
    served.write_bytes(builds[0].read_bytes())  # the file the service watches, replaced later
    texts = keystrokes(words, counts_of(words, 2026), 4000, seed=11)
    lines = request_lines(texts)
    import torrelm

    figures: dict = {"quick": quick, "cores": os.cpu_count(), "workers": options.workers,
                     "index_terms": len(torrelm.open(served)), "keystrokes": len(texts)}
    figures["query_us"] = query_costs(served, texts[:4000])
    log("the queries alone, in one process: " + ", ".join(
        f"{k} {v:.1f} µs a call" for k, v in figures["query_us"].items()))
    if "rates" in chosen or "reload" in chosen:
        service = Service(served, options.workers)
        try:
            log(f"service: pid {service.process.pid}, port {service.port}, {options.workers} workers "
                f"(pids {', '.join(map(str, service.pids()[1:]))})")
            if "rates" in chosen:
                rates_section(options, service, lines, figures)
            if "reload" in chosen:
                reload_section(options, service, lines, figures, served, builds)
        finally:
            service.stop()
    if "start" in chosen:
        start_section(options, options.workdir, figures)
    if "closed" in chosen:
        # The build the service started on, which nothing rewrites: the stacks map it in place.
        closed_section(options, builds[0], texts, figures)
    print_summary(figures)
    log(f"({time.perf_counter() - started:.0f} s in all)")
    if options.plot and figures.get("rates"):
        plot(figures, options.plot)
        log(f"plot: {options.plot}")
    if options.json:
        options.json.write_text(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()

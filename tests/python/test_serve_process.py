"""The service as processes: one per port, workers that die with their supervisor, stops that
lose no request, reloads without traffic, bounded connections, metrics for any worker count.
Each service runs in a child process, with timeouts bounding every wait (never measuring)."""

import ast
import contextlib
import http.client
import os
import pathlib
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import torrelm

pytestmark = pytest.mark.no_sanitizer  # processes and sockets; the queries are tested elsewhere


def rows(marker, terms=2000):
    return [(f"term{i:05d}", f"v{i % 300}", i % 97 + 1) for i in range(terms)] + [(marker, "m", 1)]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def get(port, path, timeout=10):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


class Service:
    def __init__(self, folder, *options, workers=1, index=None, port=None):
        self.folder = pathlib.Path(folder)
        self.index = index or self.folder / "index.idx"
        if not self.index.exists():
            torrelm.save(torrelm.build(rows("first")), self.index)
        self.port = port or free_port()
        self.log = self.folder / f"service-{self.port}-{time.monotonic_ns()}.log"
        package_root = os.path.dirname(os.path.dirname(torrelm.__file__))
        env = {**os.environ, "PYTHONPATH": package_root}
        with open(self.log, "w") as output:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "torrelm", "serve", str(self.index), "--port",
                 str(self.port), "--workers", str(workers), *options,
                 *([] if "--map-in-place" in options else ["--snapshot-dir", str(self.folder)])], stdout=output, stderr=subprocess.STDOUT, env=env)

    def up(self, seconds=60):
        deadline = time.monotonic() + seconds
        while True:
            assert self.process.poll() is None, self.text()
            with contextlib.suppress(OSError, http.client.HTTPException):
                if get(self.port, "/healthz", timeout=2)[0] == 200:
                    return self
            assert time.monotonic() < deadline, self.text()
            time.sleep(0.05)

    def text(self):
        return self.log.read_text()

    def stop(self, number=signal.SIGTERM, seconds=30):
        if self.process.poll() is None:
            self.process.send_signal(number)
        try:
            return self.process.wait(seconds)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()

    def workers(self):
        alive = set()
        pid = self.process.pid
        with contextlib.suppress(FileNotFoundError):
            for child in open(f"/proc/{pid}/task/{pid}/children").read().split():
                with contextlib.suppress(FileNotFoundError):
                    if b"_worker_main" in open(f"/proc/{child}/cmdline", "rb").read():
                        alive.add(int(child))
        return alive

    def snapshots(self):
        return list(self.folder.glob("torrelm-serve-*"))


def wait(condition, what, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"no {what} in {seconds} s"
        time.sleep(0.05)


@pytest.mark.parametrize("first", [1, 2])
def test_a_port_serves_one_service(tmp_path, first):
    service = Service(tmp_path, workers=first).up()
    try:
        for second in (1, 2):
            other = tmp_path / f"other{second}"
            other.mkdir()
            late = Service(other, workers=second, port=service.port)
            assert late.process.wait(30) == 1, late.text()
            lines = late.text().strip().splitlines()
            assert len(lines) == 1 and "cannot listen" in lines[0], lines
            assert not late.snapshots(), "copied an index before finding the port taken"
    finally:
        assert service.stop() == 0, service.text()


def test_workers_die_with_their_supervisor(tmp_path):
    service = Service(tmp_path, workers=2).up()
    wait(lambda: len(service.workers()) == 2, "two workers")
    workers = service.workers()
    service.process.kill()
    service.process.wait()

    def gone():
        return not any(os.path.exists(f"/proc/{pid}") and
                       open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] not in "ZX"
                       for pid in workers)

    wait(gone, "workers gone", seconds=30)
    # The port is free for the next service, and nothing of the old one is left behind.
    assert Service(tmp_path, port=service.port).up().stop() == 0
    wait(lambda: not service.snapshots(), "snapshots removed")


def load(port, keep_alive, stop, outcomes):
    """Requests until `stop`, each counted as answered, refused (never sent: the connection
    was refused) or lost (sent, then no whole answer)."""
    connection = None
    while not stop.is_set():
        if connection is None or not keep_alive:
            if connection is not None:
                connection.close()
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            try:
                connection.connect()
            except ConnectionRefusedError:
                outcomes.append("refused")
                connection = None
                time.sleep(0.01)
                continue
        try:
            connection.request("GET", "/api/complete?q=term0", headers={} if keep_alive else
                               {"Connection": "close"})
            response = connection.getresponse()
            body = response.read()
            outcomes.append("answered" if response.status == 200 and body.endswith(b"}")
                            else f"status {response.status}")
            if response.will_close:
                connection.close()
                connection = None
        except (OSError, http.client.HTTPException) as error:
            outcomes.append(f"lost: {error!r}")
            connection.close()
            connection = None


@pytest.mark.parametrize("run", range(int(os.environ.get("TORRELM_STOP_RUNS", "10"))))
@pytest.mark.parametrize("workers,keep_alive,number", [
    (1, True, signal.SIGTERM), (1, False, signal.SIGINT),
    (2, True, signal.SIGINT), (2, False, signal.SIGTERM)])
def test_a_stop_loses_no_request(tmp_path, workers, keep_alive, number, run):
    service = Service(tmp_path, workers=workers).up()
    if workers > 1:
        wait(lambda: len(service.workers()) == workers, "every worker")
    stop, outcomes = threading.Event(), []
    clients = [threading.Thread(target=load, args=(service.port, keep_alive, stop, outcomes))
               for _ in range(8)]
    for client in clients:
        client.start()
    try:
        wait(lambda: len(outcomes) > 200, "answers")
        status = service.stop(number)
    finally:
        stop.set()
        for client in clients:
            client.join(60)
    text = service.text()
    assert status == 0, text
    lost = [outcome for outcome in outcomes if outcome not in ("answered", "refused")]
    assert not lost, (lost[:5], text)
    assert not service.snapshots(), text
    assert "stopped by" in text, text


def test_a_service_of_any_worker_count(tmp_path):
    """Idle workers take a new build, metrics are all there with one worker as with two, idle
    connections are closed and capped."""
    for workers in (1, 2):
        folder = tmp_path / str(workers)
        folder.mkdir()
        service = Service(folder, "--idle-timeout", "1", "--max-connections", "40",
                          workers=workers).up()
        try:
            wait(lambda: len(service.workers()) == (workers if workers > 1 else 0), "workers")
            assert get(service.port, "/api/complete?q=term0")[0] == 200
            assert get(service.port, "/api/suggest?q=zzzzzz")[0] == 200  # no result
            # A new build, renamed in, with no request for a while: every worker has it at
            # its first answer after.
            torrelm.save(torrelm.build(rows("second", 2500)), service.index)
            time.sleep(2.5)
            assert all(b'"terms":2501' in get(service.port, "/stats")[1] for _ in range(12)), \
                service.text()

            # Connections that never send a request: capped, then closed once idle.
            idle = [socket.create_connection(("127.0.0.1", service.port)) for _ in range(60)]
            assert get(service.port, "/healthz")[0] == 200
            time.sleep(2.5)
            for sock in idle:
                sock.settimeout(5)
                assert sock.recv(1) == b"", "an idle connection was kept"
                sock.close()

            metrics = get(service.port, "/metrics")[1].decode()
            samples = dict(re.findall(r"^([a-z_]+(?:\{[^}]*\})?) (\S+)$", metrics, re.M))
            for name in ('torrelm_requests_total{endpoint="/api/complete",index="default"}',
                         'torrelm_request_duration_seconds_count{endpoint="/api/suggest",'
                         'index="default"}',
                         'torrelm_empty_answers_total{endpoint="/api/suggest",index="default"}',
                         'torrelm_index_nodes{index="default"}',
                         'torrelm_index_terms{index="default"}'):
                assert float(samples[name]) >= 1, (name, metrics)
            resident = [float(v) for k, v in samples.items()
                        if k.startswith("torrelm_worker_resident_bytes")]
            assert len(resident) == workers and min(resident) > 1e6, metrics
        finally:
            assert service.stop() == 0, service.text()


def test_workers_that_die_as_they_start_stop_the_service(tmp_path):
    service = Service(tmp_path, "--map-in-place", workers=2).up()
    wait(lambda: len(service.workers()) == 2, "two workers")
    replacement = tmp_path / "damaged.idx"
    replacement.write_bytes(b"not an index" * 100)
    os.replace(replacement, service.index)
    for pid in service.workers():
        os.kill(pid, signal.SIGKILL)
    assert service.process.wait(60) == 1, service.text()
    assert "workers exited before they could serve" in service.text().strip().splitlines()[-1]


def test_the_service_modules_import_one_way():
    """Each module of the service imports only those after it in this order, and nothing
    outside the service imports it but the command line's serve command."""
    order = ["options", "runner", "app", "holders", "observe", "titles", "names"]
    folder = pathlib.Path(torrelm.__file__).parent
    for name in order:
        tree = ast.parse((folder / "_serve" / f"{name}.py").read_text())
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                # From the package itself: its lazy names, the runner's serve().
                imported = [node.module] if node.module else ["runner"]
                for module in imported:
                    assert order.index(module) > order.index(name), (name, module)
    for path in folder.glob("*.py"):
        text = path.read_text()
        allowed = {"_cli.py": {"._serve.options"}}.get(path.name, set())
        found = set(re.findall(r"from (\.+_serve[.\w]*) import", text))
        assert found <= allowed, (path.name, found)

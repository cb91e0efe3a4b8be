"""The HTTP service (torrelm._serve) through Starlette's test client: every endpoint answers
what the library answers for the same text and bounds, bad parameters are refused with a 400
naming them before any query runs, and a worker reopens its index file when a newer build
replaces it, keeping the old one when the new file is damaged. Then `torrelm serve` itself, in
a process of its own, while its file is rewritten and truncated in place under load."""

import contextlib
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request

import pytest
from starlette.testclient import TestClient

import torrelm
from torrelm._serve import MAX_LIMIT, RELOAD_INTERVAL, _nearest_rank, create_app

ROWS = [("music", "m1", 90), ("music", "m2", 30), ("musical", "m3", 12), ("museum", "x1", 30),
        ("mustard", "x2", 7), ("muse", "m2", 25), ("hello", "h1", 88), ("help", "h2", 40),
        ("helmet", "h3", 9), ("café", "c1", 40), ("cafeteria", "c2", 11), ("cat", "c3", 60)]
# A later build: other terms and counts, so that which build answers shows in every list.
NEWER_ROWS = [("music", "n1", 5), ("mushroom", "n2", 70), ("helium", "n3", 15)]


class Clock:
    """Time that moves only when the test says so: reload timing without sleeping."""

    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.fixture
def index_file(tmp_path):
    path = tmp_path / "videos.idx"
    torrelm.save(torrelm.build(ROWS), path)
    return path


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def client(index_file, clock):
    with TestClient(create_app(index_file, clock=clock)) as test_client:
        yield test_client


def marks(answer):
    return [list(r) for r in answer.highlight]


def completions(index, q, limit=10, max_dist=0):
    return [{"term": c.term, "count": c.count, "highlight": marks(c)}
            for c in index.complete(q, limit=limit, max_dist=max_dist)]


def suggestions(index, q, limit=10, max_dist=2):
    return [{"term": s.term, "distance": s.distance, "count": s.count, "highlight": marks(s)}
            for s in index.suggest(q, max_dist=max_dist, limit=limit)]


def videos(index, q, limit=10, max_dist=1):
    return [{"id": v.id, "share": v.share}
            for v in index.videos(q, max_dist=max_dist, limit=limit)]


def typeahead(index, q, limit=10, videos=10):
    found = index.typeahead(q, limit=limit, videos=videos)
    return {"completions": [{"term": c.term, "count": c.count, "highlight": marks(c)}
                            for c in found.completions],
            "corrections": [{"term": c.term, "distance": c.distance, "count": c.count,
                             "highlight": marks(c)} for c in found.corrections],
            "videos": [{"id": v.id, "share": v.share} for v in found.videos]}


ENDPOINTS = {"complete": ("completions", completions), "suggest": ("suggestions", suggestions),
             "videos": ("videos", videos)}


@pytest.mark.parametrize("endpoint,params,library_args", [
    # Omitted parameters take the library's own defaults.
    ("complete", {"q": "mus"}, {}),
    ("complete", {"q": "mus", "limit": "2"}, {"limit": 2}),
    ("complete", {"q": "msu", "max_dist": "1"}, {"max_dist": 1}),
    ("complete", {"q": ""}, {}),
    ("complete", {"q": "zzz"}, {}),
    ("suggest", {"q": "helo"}, {}),
    ("suggest", {"q": "helo", "max_dist": "1", "limit": "1"}, {"max_dist": 1, "limit": 1}),
    ("suggest", {"q": "cafe", "max_dist": "0"}, {"max_dist": 0}),
    ("videos", {"q": "mus"}, {}),
    ("videos", {"q": "musc", "max_dist": "2", "limit": "1"}, {"max_dist": 2, "limit": 1}),
    ("videos", {"q": "café"}, {}),
    ("videos", {"q": "hel", "max_dist": "0", "limit": str(MAX_LIMIT)},
     {"max_dist": 0, "limit": MAX_LIMIT}),
    ("typeahead", {"q": "musci"}, {}),
    ("typeahead", {"q": "he", "limit": "2", "videos": "0"}, {"limit": 2, "videos": 0}),
])
def test_endpoints_answer_as_the_library(client, index_file, endpoint, params, library_args):
    response = client.get(f"/api/{endpoint}", params=params)
    assert response.status_code == 200, response.text
    index = torrelm.open(index_file)
    if endpoint == "typeahead":
        wanted = typeahead(index, params["q"], **library_args)
    else:
        key, expected = ENDPOINTS[endpoint]
        wanted = {key: expected(index, params["q"], **library_args)}
    assert response.json() == {"q": params["q"], **wanted}


@pytest.mark.parametrize("ids", [None, "str", "int64", "uint64"])
def test_answers_written_by_the_index_read_as_the_library_answers(ids):
    # The service's answers come as JSON from the index: escapes, the spellings that folding
    # kept, every kind of video id and the shares must read back as the library gives them.
    rng = random.Random(9)
    alphabet = ['a', 'b', '"', '\\', '\n', '\x01', 'é', '\u2028', '😀', ' ']
    terms = sorted({"".join(rng.choice(alphabet) for _ in range(rng.randint(1, 6)))
                    for _ in range(300)})
    rows = [(t if rng.random() < 0.8 else t.upper(), rng.randrange(40), rng.randint(1, 10**6))
            for t in terms for _ in range(rng.randint(1, 3))]
    video_ids = {"str": [f"v-{i}-\"é\\" for i in range(40)],
                 "int64": [-(2**63) + 3 * i for i in range(40)],
                 "uint64": [2**64 - 1 - i for i in range(40)]}.get(ids)
    if video_ids:
        rows = [(t, video_ids[v], c) for t, v, c in rows]
    index = torrelm.build(rows, normalize="casefold")
    videos = lambda found: [{"id": v, "share": s} for v, s in found]
    for q in [t[:k] for t in rng.sample(terms, 60) for k in (1, 3)] + ["", "zz"]:
        for limit, dist in [(1, 0), (10, 1), (5, 2)]:
            assert json.loads(index._complete_json(q, limit, dist)) == completions(
                index, q, limit, dist)
            assert json.loads(index._suggest_json(q, limit, dist)) == suggestions(
                index, q, limit, dist)
            assert json.loads(index._videos_json(q, limit, dist)) == videos(
                index.videos(q, limit=limit, max_dist=dist))
        assert json.loads(index._typeahead_json(q, 4, 3)) == typeahead(index, q, 4, 3)


@pytest.mark.parametrize("endpoint", sorted(ENDPOINTS))
@pytest.mark.parametrize("params,parameter", [
    ({}, "q"),
    ({"q": "mus", "limit": "ten"}, "limit"),
    ({"q": "mus", "limit": "1.5"}, "limit"),
    ({"q": "mus", "limit": ""}, "limit"),
    ({"q": "mus", "limit": " 3"}, "limit"),
    ({"q": "mus", "limit": "-1"}, "limit"),
    ({"q": "mus", "limit": "0"}, "limit"),
    ({"q": "mus", "limit": str(MAX_LIMIT + 1)}, "limit"),
    ({"q": "mus", "limit": "9" * 5000}, "limit"),
    ({"q": "mus", "max_dist": "-1"}, "max_dist"),
    ({"q": "mus", "max_dist": "3"}, "max_dist"),
    ({"q": "mus", "max_dist": "1e3"}, "max_dist"),
    ({"q": "x" * 257}, "q"),
])
def test_bad_parameters_are_refused_before_any_query(client, endpoint, params, parameter):
    response = client.get(f"/api/{endpoint}", params=params)
    assert response.status_code == 400
    body = response.json()
    assert body["parameter"] == parameter and body["error"]
    assert index_stats(client)["queries"][endpoint] == 0


@pytest.mark.parametrize("max_text,max_dist,params,status", [
    (5, 2, {"q": "hello"}, 200),
    (5, 2, {"q": "hello!"}, 400),
    (4, 2, {"q": "café"}, 200),  # characters, not bytes of UTF-8
    (0, 2, {"q": ""}, 200),
    (0, 2, {"q": "a"}, 400),
    (256, 1, {"q": "helo", "max_dist": "1"}, 200),
    (256, 1, {"q": "helo", "max_dist": "2"}, 400),
    (256, 0, {"q": "helo", "max_dist": "1"}, 400),
])
def test_the_bounds_given_to_the_app(index_file, max_text, max_dist, params, status):
    with TestClient(create_app(index_file, max_text=max_text, max_dist=max_dist)) as client:
        assert client.get("/api/suggest", params=params).status_code == status


def test_default_distance_never_exceeds_the_bound(index_file):
    # suggest's default distance is 2: a service bounded at 1 asks for 1, rather than refusing
    # the requests that name no distance.
    with TestClient(create_app(index_file, max_dist=1)) as client:
        response = client.get("/api/suggest", params={"q": "hxllp"})
        assert response.status_code == 200
        assert response.json()["suggestions"] == suggestions(torrelm.open(index_file), "hxllp",
                                                             max_dist=1)


def test_health_and_the_page(client):
    assert client.get("/healthz").json() == {"status": "ok"}
    page = client.get("/")
    assert page.status_code == 200 and page.headers["content-type"].startswith("text/html")
    for needed in ('id="q"', 'id="suggestions"', 'id="videos"', "/static/page.js",
                   "/static/page.css"):
        assert needed in page.text
    for asset, kind in [("/static/page.js", "text/javascript"), ("/static/page.css", "text/css")]:
        response = client.get(asset)
        assert response.status_code == 200 and response.headers["content-type"].startswith(kind)
    assert client.get("/static/nothing.js").status_code == 404


def test_stats_tell_the_build_and_the_queries(client, index_file):
    asked = {"complete": 3, "suggest": 1, "videos": 2, "typeahead": 1}
    for endpoint, times in asked.items():
        for _ in range(times):
            assert client.get(f"/api/{endpoint}", params={"q": "he"}).status_code == 200
    whole = client.get("/stats").json()
    stats = whole["indexes"]["default"]
    index = torrelm.open(index_file)
    assert whole["default_index"] == "default"
    assert stats["queries"] == whole["queries"] == asked
    assert stats["index"]["terms"] == len(index)
    assert stats["index"]["metadata"] == index.metadata
    assert stats["index"]["build_time"] == index.metadata["build_time"]
    # The repr less the path of the snapshot mapped.
    assert stats["index"]["repr"] == repr(index).replace(f" path={str(index_file)!r}", "")
    assert f"nodes={stats['index']['shape']['nodes']} " in repr(index)
    assert stats["index"]["file"]["mtime"] == os.stat(index_file).st_mtime_ns / 1e9
    assert stats["reload"]["last_error"] is None
    for endpoint, times in asked.items():
        assert stats["latency_ms"][endpoint] == whole["latency_ms"][endpoint]
        latency = stats["latency_ms"][endpoint]
        assert latency["samples"] == times
        assert 0 <= latency["p50"] <= latency["p90"] <= latency["p99"]
    json.dumps(stats, allow_nan=False)  # plain JSON, whatever the metadata held


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("samples", [[4.0], [3.0, 1.0], list(range(1, 101)), list(range(7, 0, -1))])
def test_percentiles_are_nearest_rank(samples):
    ordered = sorted(samples)
    for fraction in (0.5, 0.9, 0.99):
        found = _nearest_rank(ordered, fraction)
        # The nearest-rank definition: the smallest sample with at least that share at or below.
        below = sum(1 for s in ordered if s <= found)
        assert below >= fraction * len(ordered)
        assert all(sum(1 for s in ordered if s <= smaller) < fraction * len(ordered)
                   for smaller in ordered if smaller < found)


def settle(client):
    """Lets a reload that a request started finish: it runs as a task of its own."""
    client.portal.call(client.app.state.reloaded)


def index_stats(client, name="default"):
    return client.get("/stats").json()["indexes"][name]


def served_terms(client, q="mu"):
    return [c["term"] for c in client.get("/api/complete", params={"q": q}).json()["completions"]]


def test_a_replaced_file_is_served_after_the_check_interval(client, index_file, clock):
    old = torrelm.open(index_file)
    assert served_terms(client) == [c["term"] for c in completions(old, "mu")]
    torrelm.save(torrelm.build(NEWER_ROWS), index_file)
    new = torrelm.open(index_file)
    assert completions(new, "mu") != completions(old, "mu")

    clock.now += RELOAD_INTERVAL / 2  # too soon: not looked at yet
    assert served_terms(client) == [c["term"] for c in completions(old, "mu")]
    clock.now += RELOAD_INTERVAL
    # The request that finds the new file is answered by the old index, without waiting.
    assert served_terms(client) == [c["term"] for c in completions(old, "mu")]
    settle(client)
    assert served_terms(client) == [c["term"] for c in completions(new, "mu")]
    stats = index_stats(client)
    assert stats["reload"]["reloads"] == 1
    assert stats["index"]["file"]["size"] == os.stat(index_file).st_size
    assert stats["index"]["terms"] == len(new)


def test_requests_holding_the_old_index_keep_it(index_file, clock):
    app = create_app(index_file, clock=clock)
    with TestClient(app) as client:
        before = app.state.holder.served
        torrelm.save(torrelm.build(NEWER_ROWS), index_file)
        clock.now += RELOAD_INTERVAL
        client.get("/healthz")
        client.get("/api/complete", params={"q": "mu"})
        settle(client)
        assert app.state.holder.served is not before
        # What an in-flight request took still answers from the old build: its mapping keeps
        # the replaced file's pages.
        assert completions(before.index, "mu") == completions(torrelm.build(ROWS), "mu")


def garbage(path):
    path.write_bytes(b"not an index" * 100)


def truncated(path):
    data = torrelm.build(NEWER_ROWS).to_container()
    path.write_bytes(data[: len(data) // 2])


def flipped(path):
    data = bytearray(torrelm.build(NEWER_ROWS).to_container())
    data[len(data) // 2] ^= 0xFF
    path.write_bytes(bytes(data))


def zeros(path):
    path.write_bytes(bytes(8))  # reads as an index without even a root


def deep_metadata(path):
    # Fresh checksums over metadata that a reader recursing into it could not read.
    index = torrelm.build(NEWER_ROWS)._with_extras(None, '{"pad": "' + "x" * 200 + '"}')
    data = bytearray(index.to_container())
    at = data.index(b'{"pad"')
    data[at:at + 210] = (b'{"a": ' + b"[" * 100 + b"]" * 100 + b"}").ljust(210)
    torrelm.save(torrelm.Index.from_bytes(bytes(data), verify=False), path)


@pytest.mark.parametrize("damage", [garbage, truncated, flipped, zeros, deep_metadata])
def test_a_damaged_replacement_keeps_the_old_index(client, index_file, clock, damage):
    old_terms = served_terms(client)
    replacement = index_file.with_name("incoming.idx")
    damage(replacement)
    os.replace(replacement, index_file)
    clock.now += RELOAD_INTERVAL
    assert served_terms(client) == old_terms
    settle(client)
    assert served_terms(client) == old_terms
    stats = index_stats(client)
    assert stats["reload"]["reloads"] == 0
    assert stats["reload"]["last_error"]["file"]["size"] == os.stat(index_file).st_size
    assert stats["reload"]["last_error"]["message"]
    assert stats["index"]["file"]["mtime"] != os.stat(index_file).st_mtime_ns / 1e9

    # A good build written over the bad one is taken, and the error is cleared.
    torrelm.save(torrelm.build(NEWER_ROWS), index_file)
    clock.now += RELOAD_INTERVAL
    client.get("/stats")  # the check comes with any request that serves the index
    settle(client)
    assert served_terms(client) == [c["term"] for c in
                                    completions(torrelm.build(NEWER_ROWS), "mu")]
    assert index_stats(client)["reload"]["last_error"] is None


def test_a_missing_file_keeps_the_old_index(client, index_file, clock):
    old_terms = served_terms(client)
    index_file.unlink()
    clock.now += RELOAD_INTERVAL
    assert served_terms(client) == old_terms
    assert "FileNotFoundError" in index_stats(client)["reload"]["last_error"]["message"]


def test_a_bad_file_fails_at_creation(tmp_path):
    garbage(tmp_path / "bad.idx")
    with pytest.raises(ValueError):
        create_app(tmp_path / "bad.idx")
    with pytest.raises(FileNotFoundError):
        create_app(tmp_path / "missing.idx")


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("arguments,message", [
    (["--workers", "0"], "--workers must be at least 1"),
    (["--port", "70000"], "--port must be between 0 and 65535"),
    (["--max-text", "-1"], "cannot be negative"),
    (["--max-dist-limit", "-2"], "cannot be negative"),
    (["--snapshot-dir", "/nonexistent/folder"], "--snapshot-dir /nonexistent/folder: no such"),
    (["--snapshot-dir", "/tmp", "--map-in-place"], "not allowed with argument"),
])
def test_the_command_refuses_bad_options(index_file, capsys, arguments, message):
    from torrelm._cli import main

    with pytest.raises(SystemExit) as stopped:
        main(["serve", str(index_file), *arguments])
    assert stopped.value.code == 2
    assert message in capsys.readouterr().err


def test_the_command_refuses_a_bad_file_before_serving(tmp_path):
    from torrelm._cli import main

    garbage(tmp_path / "bad.idx")
    with pytest.raises(SystemExit) as stopped:
        main(["serve", str(tmp_path / "bad.idx")])
    assert str(stopped.value).startswith(f"torrelm serve: {tmp_path / 'bad.idx'}: ")


def big_rows(marker, terms=5000):
    """An index of many pages (a mapping faults only on whole pages past the end of a shortened
    file), with a term of its own telling which build answers."""
    return [(f"term{i:05d}", f"v{i % 500}", i % 97 + 1) for i in range(terms)] + [(marker, "m", 1)]


def fetch(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return response.status, json.load(response)


def workers_of(pid):
    """The live worker processes the service started under `pid`."""
    alive = set()
    for child in open(f"/proc/{pid}/task/{pid}/children").read().split():
        with contextlib.suppress(FileNotFoundError):
            state = open(f"/proc/{child}/stat").read().rsplit(")", 1)[1].split()[0]
            if state not in "ZX" and b"_worker_main" in open(f"/proc/{child}/cmdline", "rb").read():
                alive.add(int(child))
    return alive


def wait_for(condition, what, process, seconds=30):
    # A bound on waiting for the service, not a measure of it.
    deadline = time.monotonic() + seconds
    while not condition():
        assert process.poll() is None, f"the service stopped while waiting for {what}"
        assert time.monotonic() < deadline, f"no {what} in {seconds} s"
        time.sleep(0.05)


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    folder = tmp_path_factory.mktemp("serve")
    path = folder / "videos.idx"
    torrelm.save(torrelm.build(big_rows("first")), path)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    package_root = os.path.dirname(os.path.dirname(torrelm.__file__))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        [package_root, *filter(None, [os.environ.get("PYTHONPATH")])])}
    log = folder / "service.log"
    with open(log, "w") as output:
        process = subprocess.Popen(
            [sys.executable, "-m", "torrelm", "serve", str(path), "--port", str(port),
             "--workers", "2", "--snapshot-dir", str(folder)],
            stdout=output, stderr=subprocess.STDOUT, env=env)
    base = f"http://127.0.0.1:{port}"

    def up():
        with contextlib.suppress(OSError):
            return fetch(f"{base}/healthz")[0] == 200 and len(workers_of(process.pid)) == 2

    try:
        wait_for(up, "service", process, seconds=60)
        yield process, path, base, log
    finally:
        process.terminate()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    assert not list(folder.glob("torrelm-serve-*")), "the snapshots outlived the service"


def test_a_worker_that_dies_is_replaced(service):
    process, path, base, log = service
    victim = min(workers_of(process.pid))
    os.kill(victim, signal.SIGKILL)
    wait_for(lambda: len(workers_of(process.pid)) == 2 and victim not in workers_of(process.pid),
             "a new worker", process, seconds=30)
    for _ in range(10):  # new connections, to either worker
        assert fetch(f"{base}/api/complete?q=term1")[0] == 200


def test_metrics_sum_every_worker(service):
    from prometheus_client.parser import text_string_to_metric_families

    process, path, base, log = service

    def completes():
        with urllib.request.urlopen(f"{base}/metrics", timeout=10) as response:
            text = response.read().decode()
        return sum(s.value for family in text_string_to_metric_families(text)
                   for s in family.samples if s.name == "torrelm_requests_total"
                   and s.labels == {"endpoint": "/api/complete", "index": "default"})

    before = completes()
    for _ in range(40):  # new connections: both workers take some
        fetch(f"{base}/api/complete?q=term1")
    assert completes() - before == 40


def load(base, stop, answers):
    """Requests one after another until `stop`: each one's status, or the error it met."""
    while not stop.wait(0.01):
        for url in ("complete?q=term1", "videos?q=term2&max_dist=1", "suggest?q=trm03"):
            try:
                answers.append(fetch(f"{base}/api/{url}")[0])
            except Exception as error:  # noqa: BLE001 - a dead worker shows as any of them
                answers.append(repr(error))


def pause():
    # Long enough for a worker to check the file while it is in this state.
    time.sleep(RELOAD_INTERVAL * 1.5)


def copied_over(path, data):
    incoming = path.with_name("incoming.idx")
    incoming.write_bytes(data)
    subprocess.run(["cp", str(incoming), str(path)], check=True)  # in place: same inode


def truncated(path, data):
    os.truncate(path, path.stat().st_size // 2)
    pause()
    os.truncate(path, 0)
    pause()
    path.write_bytes(data)


def written_slowly(path, data):
    with open(path, "wb") as file:
        file.write(data[: len(data) // 2])
        file.flush()
        pause()
        file.write(data[len(data) // 2:])


@pytest.mark.parametrize("rewrite,terms,refused", [
    (copied_over, 2000, False),  # a smaller index: the old one's last pages are gone
    (truncated, 5000, True),
    (written_slowly, 5000, True),
])
def test_the_service_survives_its_file_rewritten_in_place(service, rewrite, terms, refused):
    process, path, base, log = service
    marker = rewrite.__name__
    data = torrelm.build(big_rows(marker, terms)).to_container()
    workers = workers_of(process.pid)
    refusals = log.read_text().count("still being written")

    def serves_new():
        # A run of answers, from both workers, all of the new build.
        return all(fetch(f"{base}/api/complete?q={marker}")[1]["completions"] ==
                   [{"term": marker, "count": 1, "highlight": [[0, len(marker)]]}]
                   for _ in range(20))

    assert not serves_new()
    stop, answers = threading.Event(), []
    loader = threading.Thread(target=load, args=(base, stop, answers), daemon=True)
    loader.start()
    try:
        rewrite(path, data)
        wait_for(serves_new, "answer from the new build", process)
    finally:
        stop.set()
        loader.join(timeout=30)
    text = log.read_text()
    assert answers and set(answers) == {200}, text
    assert workers_of(process.pid) == workers, text
    # The partial file, logged as a copy in progress, never as a refused file.
    assert text.count("still being written") > refusals or not refused, text
    assert "not served" not in text, text
    # The replaced snapshots are gone: only the one of the file served is left.
    status = path.stat()
    assert [p.name for p in path.parent.glob("torrelm-serve-*/default/[0-9]*")] == [
        f"{status.st_dev}-{status.st_ino}-{status.st_size}-{status.st_mtime_ns}.idx"]


# Several indexes, metrics, CORS, the videos table, the config file: the service at scale.

OTHER_ROWS = [("musik", "d1", 50), ("museum", "d2", 20), ("hallo", "d3", 70), ("katze", 9, 3)]


@pytest.fixture
def two_indexes(tmp_path):
    torrelm.save(torrelm.build(ROWS), tmp_path / "en.idx")
    # int ids here, str ids in the other: the videos file names both by their text.
    torrelm.save(torrelm.build([(t, i if isinstance(i, int) else 100 + n, c)
                                for n, (t, i, c) in enumerate(OTHER_ROWS)]), tmp_path / "de.idx")
    return {"en": tmp_path / "en.idx", "de": tmp_path / "de.idx"}


@pytest.mark.parametrize("endpoint,params", [
    ("complete", {"q": "mu"}), ("suggest", {"q": "musk"}), ("videos", {"q": "mu"}),
    ("typeahead", {"q": "hal"}), ("complete", {"q": "h", "max_dist": "1", "limit": "2"}),
])
def test_each_index_answers_as_the_library(two_indexes, endpoint, params):
    with TestClient(create_app(two_indexes)) as client:
        for chosen in (None, "en", "de"):
            index = torrelm.open(two_indexes[chosen or "en"])  # the first is the default
            asked = {**params, **({"index": chosen} if chosen else {})}
            args = {k: int(v) for k, v in params.items() if k != "q"}
            if endpoint == "typeahead":
                wanted = typeahead(index, params["q"], **args)
            else:
                key, expected = ENDPOINTS[endpoint]
                wanted = {key: expected(index, params["q"], **args)}
            assert client.get(f"/api/{endpoint}", params=asked).json() == \
                {"q": params["q"], **wanted}
        refused = client.get(f"/api/{endpoint}", params={**params, "index": "fr"})
        assert refused.status_code == 400 and refused.json()["parameter"] == "index"
        assert client.get("/api/page").json() == {"search_url": None, "indexes": ["en", "de"],
                                                  "default_index": "en"}


def samples(client):
    from prometheus_client.parser import text_string_to_metric_families

    response = client.get("/metrics")
    assert response.headers["content-type"].startswith("text/plain")
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(response.text) for s in family.samples}


def test_metrics_count_each_request_by_endpoint_and_index(two_indexes, clock):
    app = create_app(two_indexes, clock=clock)
    with TestClient(app) as client:
        asked = [("/api/complete", "en", 3), ("/api/complete", "de", 2),
                 ("/api/typeahead", "de", 1)]
        for path, name, times in asked:
            for _ in range(times):
                client.get(path, params={"q": "mu", "index": name})
        client.get("/api/videos", params={"q": "mu", "limit": "0"})
        client.get("/nowhere")
        found = samples(client)
        for path, name, times in asked:
            labels = (("endpoint", path), ("index", name))
            assert found["torrelm_requests_total", labels] == times
            assert found["torrelm_request_duration_seconds_count", labels] == times
            assert found["torrelm_request_duration_seconds_bucket", (*labels, ("le", "+Inf"))] \
                == times
        assert found["torrelm_request_errors_total",
                     (("endpoint", "/api/videos"), ("status", "400"))] == 1
        assert found["torrelm_request_errors_total", (("endpoint", "other"), ("status", "404"))] \
            == 1
        for name, path in two_indexes.items():
            index = torrelm.open(path)
            assert found["torrelm_index_terms", (("index", name),)] == len(index)
            assert f"nodes={found['torrelm_index_nodes', (('index', name),)]:.0f} " in repr(index)
            assert found["torrelm_index_bytes", (("index", name),)] == index.memory_bytes()
            assert 0 <= found["torrelm_index_build_age_seconds", (("index", name),)] < 600
        # A reload, and a file still being written (in place, just now), are counted for their
        # index only, and the latter is no failure.
        torrelm.save(torrelm.build(NEWER_ROWS), two_indexes["de"])
        garbage(two_indexes["en"])
        clock.now += RELOAD_INTERVAL
        client.get("/metrics")
        settle(client)
        found = samples(client)
        assert [found["torrelm_index_reloads_total", (("index", n),)] for n in ("en", "de")] \
            == [0, 1]
        assert [found["torrelm_index_reloads_incomplete_total", (("index", n),)]
                for n in ("en", "de")] == [1, 0]
        assert [found["torrelm_index_reload_failures_total", (("index", n),)]
                for n in ("en", "de")] == [0, 0]
        assert found["torrelm_index_terms", (("index", "de"),)] == len(torrelm.build(NEWER_ROWS))


@pytest.mark.parametrize("origins,origin,allowed", [
    ((), "https://a.example", None),
    (("https://a.example", "https://b.example"), "https://b.example", "https://b.example"),
    (("https://a.example",), "https://evil.example", None),
])
def test_cors_headers_only_for_the_origins_given(index_file, origins, origin, allowed):
    with TestClient(create_app(index_file, cors_origins=origins)) as client:
        answer = client.get("/api/complete", params={"q": "mu"}, headers={"Origin": origin})
        assert answer.status_code == 200
        assert answer.headers.get("access-control-allow-origin") == allowed
        preflight = client.options("/api/complete", headers={
            "Origin": origin, "Access-Control-Request-Method": "GET"})
        assert preflight.headers.get("access-control-allow-origin") == allowed
        assert (preflight.status_code == 200) == (allowed is not None)


def write_videos(path, rows, columns=("id", "title", "thumbnail", "url")):
    """A videos file: Parquet for a .parquet path (written by DuckDB), else CSV."""
    import duckdb

    values = ", ".join("(" + ", ".join("NULL" if v is None else repr(str(v)) for v in row) + ")"
                       for row in rows)
    query = f"select * from (values {values}) as t({', '.join(columns)})"
    kind = "parquet" if path.suffix == ".parquet" else "csv, header true"
    incoming = path.with_name("incoming" + path.suffix)
    duckdb.sql(f"copy ({query}) to '{incoming}' (format {kind})")
    os.replace(incoming, path)


def test_videos_get_their_titles_and_a_new_file_is_read_again(two_indexes, tmp_path, clock):
    table = tmp_path / "titles.parquet"
    write_videos(table, [("m1", "Music one", "https://i.example/m1.jpg", None),
                         ("9", "Katze", None, "https://v.example/9"), ("x1", None, None, None)])
    with TestClient(create_app(two_indexes, videos=table, clock=clock)) as client:
        def described(index, q):
            """What /api/videos and /api/typeahead, which must agree, tell of each video."""
            found = {}
            for endpoint in ("videos", "typeahead"):
                answer = client.get(f"/api/{endpoint}", params={"q": q, "index": index}).json()
                for video in answer["videos"]:
                    told = {k: video[k] for k in video if k not in ("id", "share")}
                    assert found.setdefault(str(video["id"]), told) == told
            return found

        assert described("en", "mus")["m1"] == {"title": "Music one",
                                                "thumbnail": "https://i.example/m1.jpg"}
        assert described("en", "mus")["m2"] == {}  # not in the table
        assert described("en", "museum")["x1"] == {}  # in it, without a title
        assert described("de", "katze") == {"9": {"title": "Katze",
                                                    "url": "https://v.example/9"}}
        # A damaged replacement keeps the table; a good one after it is taken.
        write_videos(table, [("m1", "Wrong")], columns=("id", "name"))
        clock.now += RELOAD_INTERVAL
        described("en", "mus")
        settle(client)
        assert described("en", "mus")["m1"]["title"] == "Music one"
        videos_stats = client.get("/stats").json()["videos"]
        assert "no column 'title'" in videos_stats["last_error"]["message"]
        assert samples(client)["torrelm_videos_reload_failures_total", ()] == 1
        write_videos(table, [("m1", "Music, again")], columns=("id", "title"))
        clock.now += RELOAD_INTERVAL
        described("en", "mus")
        settle(client)
        assert described("en", "mus")["m1"] == {"title": "Music, again"}
        assert client.get("/stats").json()["videos"]["rows"] == 1


def test_response_audit_no_paths_and_no_pid(two_indexes, tmp_path, clock):
    snapshots = tmp_path / "snapshots"
    snapshots.mkdir()
    # Spaces in a path: no part of it may be answered, the part after one included.
    titles = tmp_path / "my videos" / "all titles.csv"
    titles.parent.mkdir()
    write_videos(titles, [("m1", "Music", None, None)])
    app = create_app(two_indexes, snapshot_dir=snapshots, videos=titles,
                     access_log=tmp_path / "access.log", clock=clock,
                     search_url="https://videos.example/?q={q}")
    with TestClient(app) as client:
        answers = []

        def visit():
            for path in ("/", "/static/page.js", "/static/page.css", "/api/page", "/healthz",
                         "/stats", "/metrics", "/nowhere", "/api/complete?q=mu&index=de",
                         "/api/suggest?q=helo", "/api/videos?q=mu", "/api/typeahead?q=m",
                         "/api/typeahead", "/api/complete?q=mu&index=..%2Fen",
                         "/api/suggest?q=mu&max_dist=9", "/api/videos?q=mu&limit=x"):
                answers.append(client.get(path))

        visit()
        # Faults whose messages name files: a damaged index, a missing one, a missing table.
        garbage(two_indexes["en"])
        two_indexes["de"].unlink()
        titles.unlink()  # its path, spaces and all, in the message
        os.utime(two_indexes["en"], (time.time() - 60, time.time() - 60))  # not in progress
        clock.now += RELOAD_INTERVAL
        visit()
        settle(client)
        visit()
        answers.append(client.get("/stats"))
        assert all(answers[-1].json()["indexes"][name]["reload"]["last_error"]["message"]
                   for name in ("en", "de"))
        assert answers[-1].json()["videos"]["last_error"]["message"]
    leaks = [str(tmp_path), str(snapshots.resolve()), "torrelm-serve-", "/tmp", "videos/",
             "titles.csv"]
    pid = re.compile(rf"(?<![\d.]){os.getpid()}(?![\d.])")
    for response in answers:
        text = response.text + json.dumps(dict(response.headers))
        assert not [leak for leak in leaks if leak in text], (response.url, text)
        assert not pid.search(text), (response.url, text)
    logged = [json.loads(line) for line in (tmp_path / "access.log").read_text().splitlines()]
    assert len(logged) == len(answers)
    assert {(entry["path"], entry["status"], entry["index"]) for entry in logged} >= {
        ("/api/complete", 200, "de"), ("/api/typeahead", 400, "en"), ("/nowhere", 404, None)}


@pytest.fixture
def started(monkeypatch):
    """What the serve command would start the service with: serve() is not run."""
    import torrelm._serve

    calls = []
    monkeypatch.setattr(torrelm._serve, "serve", lambda indexes, **options: calls.append(
        {"indexes": indexes, **options}))
    return calls


def test_the_config_file_and_the_command_line_over_it(two_indexes, tmp_path, started):
    from torrelm._cli import main

    (tmp_path / "conf").mkdir()
    config = tmp_path / "conf" / "serve.toml"
    config.write_text('port = 9001\nmax_text = 64\ncors-origin = "https://a.example"\n'
                      'workers = 3\naccess-log = "-"\nvideos = "../titles.csv"\n'
                      'graceful-timeout = 4\n[indexes]\nde = "../de.idx"\nen = "../en.idx"\n')
    write_videos(tmp_path / "titles.csv", [("m1", "Music")], columns=("id", "title"))
    assert main(["serve", "--config", str(config), "--port", "9002", "--cors-origin", "https://b",
                 "--cors-origin", "https://c"]) == 0
    options = started.pop()
    # From the file, its paths taken from its folder, and the command line's over them.
    assert options["indexes"] == {"de": str(tmp_path / "conf/../de.idx"),
                                  "en": str(tmp_path / "conf/../en.idx")}
    assert (options["port"], options["max_text"], options["workers"]) == (9002, 64, 3)
    assert options["cors_origins"] == ["https://b", "https://c"]
    assert (options["access_log"], options["graceful_timeout"]) == ("-", 4)
    assert options["videos"] == str(tmp_path / "conf/../titles.csv")
    assert main(["serve", "--config", str(config), f"solo={two_indexes['en']}"]) == 0
    assert started.pop()["indexes"] == {"solo": str(two_indexes["en"])}


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("config,arguments,message", [
    ("colour = 'red'\n", [], "unknown key 'colour'"),
    ("port = '80'\n", [], "port must be a whole number, not '80'"),
    ("map-in-place = 1\n", [], "map-in-place must be true or false"),
    ("cors-origin = [1]\n", [], "cors-origin must be a string or a list of strings"),
    ("port = \n", [], "not TOML"),
    ("workers = 0\n", [], "--workers must be at least 1"),
    ("", [], "no index to serve"),
    ("", ["a=x.idx", "a=y.idx"], "two indexes are named 'a'"),
    ("", ["x.idx", "y.idx"], "two indexes are named 'default'"),
    ("", ["bad name=x.idx"], "'bad name' cannot name an index"),
    ("", ["..=x.idx"], "'..' cannot name an index"),
    ("", ["en="], "no index file after '='"),
    ("", ["--graceful-timeout", "-1", "x.idx"], "--graceful-timeout cannot be negative"),
    ("", ["--search-url", "https://x", "x.idx"], "has no {q}"),
])
def test_the_command_refuses_bad_settings(tmp_path, capsys, started, config, arguments,
                                          message):
    from torrelm._cli import main

    (tmp_path / "serve.toml").write_text(config)
    with pytest.raises(SystemExit) as stopped:
        main(["serve", "--config", str(tmp_path / "serve.toml"), *arguments])
    assert stopped.value.code == 2
    assert message in capsys.readouterr().err and not started


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("arguments,message", [
    (["--videos", "{missing}"], "missing.csv: No such file or directory"),
    (["--videos", "{no_title}"], "no column 'title'"),
    (["--access-log", "/nonexistent/folder/access.log"], "--access-log /nonexistent/folder"),
    (["--config", "/dev/zero"], "not a regular file"),
    (["--config", "{fifo}"], "not a regular file"),
    (["--config", "{huge}"], "more than a configuration file's"),
])
def test_the_command_refuses_bad_files_before_serving(index_file, tmp_path, capsys, arguments,
                                                      message):
    from torrelm._cli import main

    write_videos(tmp_path / "no_title.csv", [("1", "x")], columns=("id", "name"))
    os.mkfifo(tmp_path / "fifo.toml")
    (tmp_path / "huge.toml").write_text("# " + "x" * (2 << 20))
    files = {"missing": tmp_path / "missing.csv", "no_title": tmp_path / "no_title.csv",
             "fifo": tmp_path / "fifo.toml", "huge": tmp_path / "huge.toml"}
    # The service itself, on a port of its own: it stops before any worker serves.
    with pytest.raises(SystemExit) as stopped:
        main(["serve", str(index_file), "--port", "0", "--snapshot-dir", str(tmp_path),
              *[a.format(**files) for a in arguments]])
    assert message in str(stopped.value) + capsys.readouterr().err
    assert not list(tmp_path.glob("torrelm-serve-*"))


UNIT = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "torrelm.service")


@pytest.mark.no_sanitizer
@pytest.mark.skipif(not shutil.which("systemd-analyze"), reason="needs systemd-analyze")
def test_the_systemd_unit_verifies(tmp_path):
    # verify wants ExecStart's program to exist: this interpreter stands in for the unit's.
    text = open(UNIT).read().replace("/opt/torrelm/venv/bin/python", sys.executable)
    (tmp_path / "torrelm.service").write_text(text)
    done = subprocess.run(["systemd-analyze", "verify", str(tmp_path / "torrelm.service")],
                          capture_output=True, text=True, timeout=60)
    complaints = [line for line in done.stderr.splitlines() if "torrelm.service" in line]
    assert done.returncode == 0 and not complaints, done.stderr


def test_the_access_log_never_holds_up_an_answer_and_keeps_lines_whole():
    from torrelm._serve.observe import LOG_QUEUE, PIPE_BUF, AccessLog

    read, write = os.pipe()  # a reader that never drains it
    log = AccessLog(write, True)
    # Paths and query strings that escapes and UTF-8 make longer than they look.
    scopes = [{"method": "GET", "path": path, "query_string": query, "client": ("::1", 1)}
              for path in ("/", "/é" * 3000, "/\x01" * 3000, "/" + "x" * 9000)
              for query in (b"", b"q=" + "é".encode() * 3000, b"\x02" * 5000)]
    for scope in scopes:
        line = AccessLog.line(scope, "default", 200, 10, 0.001, 3)
        assert len(line) <= PIPE_BUF and json.loads(line)["results"] == 3

    def flood():
        for i in range(LOG_QUEUE + 2000):
            log.write(scopes[i % len(scopes)], "default", 200, 10, 0.001)

    writer = threading.Thread(target=flood, daemon=True)
    writer.start()
    writer.join(60)  # a bound on a stuck log, not a measure
    assert not writer.is_alive(), "a request waited on the access log"
    assert log.dropped > 0
    os.close(read)  # the writer thread's write fails, and it goes on
    log.close()


def test_a_new_snapshot_clears_those_left_behind(tmp_path):
    from torrelm._serve.holders import Snapshots

    folder = tmp_path / "snapshots"
    folder.mkdir()
    path = tmp_path / "index.idx"
    taken = []
    for terms in (100, 200, 300):  # each one a worker took, then died before retiring it
        torrelm.save(torrelm.build(big_rows("x", terms)), path)
        taken.append(Snapshots(str(folder)).take(str(path))[1])
    assert [p.name for p in folder.glob("[0-9]*")] == [os.path.basename(taken[-1])]
    assert len(torrelm.open(taken[-1])) == 301


def test_a_block_list_is_applied_and_replaced_while_serving(tmp_path, clock):
    rows = [("fortnite", "f", 2000), ("fortnite tips", "t", 500), ("fort boyard", "b", 300),
            ("forty", "y", 100), ("Fortune Cookies", "c", 50)]
    path = tmp_path / "index.idx"
    torrelm.save(torrelm.build(rows, normalize="casefold"), path)
    blocks = tmp_path / "blocked.txt"
    blocks.write_text("# pulled by hand\nFORTNITE\n")
    app = create_app(path, clock=clock, block=blocks)
    index = torrelm.open(path)
    with TestClient(app) as client:
        def answered(endpoint, **params):
            key = {"complete": "completions", "suggest": "suggestions",
                   "typeahead": "completions"}[endpoint]
            found = client.get(f"/api/{endpoint}", params={"q": "fort", **params}).json()[key]
            return [item["term"] for item in found]

        def expected(terms, words):
            def shown(term):
                folded = term.casefold()
                return folded not in terms and not set(folded.split()) & words

            return {"complete": [c.term for c in index.complete("fort", limit=10) if shown(c.term)],
                    "suggest": [s.term for s in index.suggest("fort", max_dist=2, limit=100)
                                if shown(s.term)][:10],
                    "typeahead": [c.term for c in index.typeahead("fort", limit=10).completions
                                  if shown(c.term)]}

        for text, terms, words in [("FORTNITE\n", {"fortnite"}, set()),
                                   ("~cookies\nfort boyard\n", {"fort boyard"}, {"cookies"}),
                                   ("", set(), set())]:
            replacement = tmp_path / "incoming.txt"
            replacement.write_text(text)
            os.replace(replacement, blocks)  # a term pulled: within a check, no rebuild
            clock.now += RELOAD_INTERVAL

            async def checked():
                client.app.state.blocks.current()
                await client.app.state.reloaded()

            client.portal.call(checked)
            want = expected(terms, words)
            for endpoint in want:
                got = answered(endpoint, **({"max_dist": 2} if endpoint == "suggest" else {}))
                assert got == want[endpoint], (text, endpoint)
        assert client.get("/stats").json()["block"]["terms"] == 0

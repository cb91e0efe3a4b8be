"""Every method of both modules, on success and on its error paths, many times: no reference or
memory may leak. The sanitizer job runs this file with whole allocation stacks, so that a leak
made through the interpreter's allocator is still traced to the module."""

import gc
import os
import sys
import tracemalloc

import pytest

import torrelm
from _torrelm import PrefixSearch
from torrelm import Index

from conftest import SMALL, build

# A stored index whose node 1 claims children past the end of child_transitions.
BROKEN = bytearray(build(node_shifts=[0, 2, 3, 3, 3], child_labels=["", "a", "x", "b", "c"],
                         child_transitions=[1, 2, 3, 4],
                         payloads=[None, None, (1, [0], [1]), (1, [1], [1]), (1, [0], [1])]).to_bytes())
BROKEN[3] = 9


def exercise(index, broken, data, term, labels, payload, bad_payload):
    """One round over every method: successes, then one call per kind of failure."""
    index.fuzzy_match(term)
    index.fuzzy_match(term, 2, 5)
    index.fuzzy_match_video(term)
    index.fuzzy_match_video(term, 1, 3, True)
    index.to_bytes()
    PrefixSearch.from_bytes(data)
    build(child_labels=labels, payloads=[None, None, None, payload, None])
    failures = [
        lambda: index.fuzzy_match(5),
        lambda: index.fuzzy_match(term, -1),
        lambda: index.fuzzy_match(term, term=term),
        lambda: index.fuzzy_match("a\ud800"),
        lambda: index.fuzzy_match_video(term, include_prefix_nodes=1),
        lambda: index.fuzzy_match_video(term, 1, None, None, 5),
        lambda: PrefixSearch.from_bytes(bytearray(data)),
        lambda: PrefixSearch.from_bytes(data[:-3]),
        lambda: build(child_labels=labels, payloads=[None, None, None, bad_payload, None]),
        lambda: build(child_labels=labels, video_top_n=None),
        lambda: build(child_labels=labels, child_transitions=[9]),
        lambda: build(child_labels=labels, node_shifts=[0, 9, 9, 9, 9]),
        lambda: build(child_labels=["", 1, "a", "b", "c"]),
        lambda: broken.fuzzy_match("ab"),
        lambda: broken.fuzzy_match_video("a", 1, None, True),
    ]
    every_one_fails(failures)



def every_one_fails(failures):
    for fail in failures:
        try:
            fail()
        except BaseException:  # noqa: BLE001 - every kind, PanicException included
            pass
        else:
            raise AssertionError("expected a failure")

@pytest.fixture
def arguments():
    # Fresh objects that no one else refers to, so that their counts tell about the module alone.
    term = "".join(["c", "a", "t"])
    labels = ["", "c", "a", "t", "r"]
    payload = (10, [0, 1], [6, 4])
    bad_payload = (10, [0, 1], [6])
    return build(), PrefixSearch.from_bytes(bytes(BROKEN)), build().to_bytes(), term, labels, payload, bad_payload


def test_reference_counts_of_arguments_stay(arguments, capfd):
    before = [sys.getrefcount(a) for a in arguments]
    for _ in range(300):
        exercise(*arguments)
    capfd.readouterr()  # the fault reports
    assert [sys.getrefcount(a) for a in arguments] == before


def exercise_package(index, broken, data, container, term, rows):
    """One round over torrelm's native index: queries one and many at a time, the answers as JSON,
    both stored forms and a build, then one call per kind of failure."""
    index.complete(term)
    index.complete(term, limit=3, max_dist=1)
    index.suggest(term)
    index.videos(term, max_dist=2, include_prefix_nodes=True)
    index.typeahead(term, limit=3, videos=2)
    index.complete_many([term, term[:1]])
    index.suggest_many([term])
    index.videos_many([term])
    index.fuzzy_match(term, 2, 5)
    index.fuzzy_match_video(term, 1, 3, True)
    index._complete_json(term, 5, 1)
    index._suggest_json(term, 5, 2)
    index._videos_json(term, 5, 1)
    index._typeahead_json(term, 5, 5)
    list(index), term in index, repr(index)
    Index.from_bytes(data)
    Index.from_bytes(container)
    Index.from_prefix_search(index.to_prefix_search())
    torrelm.build(rows)
    failures = [
        lambda: index.complete(5),
        lambda: index.complete(term, limit=-1),
        lambda: index.suggest("a\ud800"),
        lambda: index.videos(term, distance="hamming"),
        lambda: index.typeahead(term, videos=-1),
        lambda: index.complete_many([term, 5]),
        lambda: 5 in index,
        lambda: Index.from_bytes(container[:-3]),
        lambda: Index.from_bytes(data[:-3]),
        lambda: torrelm.build([(term, 1, -1)]),
        lambda: torrelm.build([("a\0b", 1, 1)]),
        lambda: broken.fuzzy_match("ab"),
    ]
    every_one_fails(failures)


@pytest.fixture
def package_arguments():
    rows = [("cat", 17, 6), ("cat", 42, 4), ("car", 42, 5), ("café", 7, 3), ("dog", 9, 1)]
    index = torrelm.build(rows)
    broken = Index.from_bytes(bytes(BROKEN), verify=False)
    return index, broken, index.to_bytes(), index.to_container(), "".join(["c", "a", "t"]), rows


def test_reference_counts_of_the_package_arguments_stay(package_arguments, capfd):
    before = [sys.getrefcount(a) for a in package_arguments]
    for _ in range(100):
        exercise_package(*package_arguments)
    capfd.readouterr()  # the fault reports
    assert [sys.getrefcount(a) for a in package_arguments] == before


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4


@pytest.mark.skipif(bool(os.environ.get("TORRELM_SANITIZED")),
                    reason="the sanitizer keeps freed memory in quarantine; it checks leaks itself")
def test_memory_stays_flat(arguments, capfd):
    for _ in range(300):  # warm every cache first
        exercise(*arguments)
    gc.collect()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_kib()
    for _ in range(3000):
        exercise(*arguments)
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    rss_growth = rss_kib() - rss_before
    capfd.readouterr()
    # 3000 rounds of ~30 calls: a leak of even one small object per call would show as megabytes.
    assert traced_growth < 64 * 1024, traced_growth
    assert rss_growth < 4 * 1024, rss_growth

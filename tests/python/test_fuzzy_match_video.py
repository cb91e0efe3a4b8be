import random
import sys
import uuid
from pathlib import Path

import numpy as np
import pytest

from _torrelm import PrefixSearch

from conftest import levenshtein

sys.path.insert(0, str(Path(__file__).parents[2] / "demo"))
from layout import lay_out  # noqa: E402

CALL = "PrefixSearch.fuzzy_match_video()"
INT_IDS = [(17).to_bytes(4, "little"), b"\xff\xff\xff\xff"]


def index_of(terms, video_index=INT_IDS, top_n=10):
    return PrefixSearch.from_internal_data_v2(*lay_out(terms, video_index).arguments(top_n))


@pytest.fixture
def cats():
    return index_of({"cat": (10, [0, 1], [6, 4]), "cap": (5, [1], [5])})


def FakeNumpyBool(name, truth=None, module="numpy"):
    attributes = {"__module__": module}
    if truth is not None:
        attributes["__bool__"] = lambda self: truth()
    return type(name, (), attributes)()


def raises(error):
    raise error


def test_signature():
    method = PrefixSearch.fuzzy_match_video
    assert method.__text_signature__ == "(term, max_dist=1, limit=None, include_prefix_nodes=None)"
    assert method.__doc__ is None


def test_worked_example(cats):
    near = (1 - 1 / 3) * 0.05
    total = 10 + near * 5
    got = cats.fuzzy_match_video("cat")
    assert [video for video, _ in got] == ["17", "4294967295"]
    assert got[0][1] == pytest.approx(6 / total, abs=1e-12)
    assert got[1][1] == pytest.approx((4 + near * 5) / total, abs=1e-12)
    assert all(type(v) is str and type(s) is float for v, s in got)
    assert cats.fuzzy_match_video("cat", 1, None, None) == got
    assert PrefixSearch.fuzzy_match_video(cats, "cat") == got


@pytest.mark.parametrize(
    "flag, want_empty",
    [(None, False), (True, False), (False, True), (np.bool_(True), False), (np.bool_(False), True),
     (FakeNumpyBool("bool_", lambda: True), False), (FakeNumpyBool("bool", lambda: False), True)],
)
def test_prefix_node_states(flag, want_empty):
    index = index_of({"catalog": (10, [0], [10])})
    assert (index.fuzzy_match_video("cat", include_prefix_nodes=flag) == []) is want_empty
    if flag is None:
        assert index.fuzzy_match_video("cat") == index.fuzzy_match_video("cat", 1, None, None)


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, f"{CALL} missing 1 required positional argument: 'term'"),
        (("a", 1, 2, None, 5), {}, TypeError, f"{CALL} takes from 1 to 4 positional arguments but 5 were given"),
        ((b"cat",), {}, TypeError, "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
        (("cat",), {"max_dist": None}, TypeError,
         "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer"),
        (("cat",), {"include_prefix_nodes": 1}, TypeError,
         "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
        (("cat",), {"include_prefix_nodes": 0}, TypeError,
         "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
        (("cat",), {"include_prefix_nodes": np.int8(1)}, TypeError,
         "argument 'include_prefix_nodes': 'int8' object cannot be converted to 'PyBool'"),
        (("cat",), {"include_prefix_nodes": FakeNumpyBool("bool_")}, TypeError,
         "argument 'include_prefix_nodes': object of type '<class 'numpy.bool_'>' does not define "
         "a '__bool__' conversion"),
        (("cat",), {"include_prefix_nodes": FakeNumpyBool("bool_", lambda: raises(KeyError("k")))},
         KeyError, None),
        # A class's __module__ can be any object; only a str can name numpy.
        *[(("cat",), {"include_prefix_nodes": FakeNumpyBool(name, lambda: True, module)}, TypeError,
           f"argument 'include_prefix_nodes': '{name}' object cannot be converted to 'PyBool'")
          for name, module in [("bool_", 1.5), ("bool", None), ("bool_", b"numpy"),
                               ("bool", type("S", (str,), {})("numpy")[:0])]],
        ((5, None, None, 1), {}, TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
        (("cat", -1), {}, OverflowError, None),
    ],
)
def test_argument_errors(cats, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        cats.fuzzy_match_video(*args, **kwargs)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message


@pytest.mark.parametrize(
    "args, kwargs, want_ids",
    [
        (("cat",), {"limit": 0}, []),
        (("cat",), {"limit": 1}, ["17"]),
        (("cat",), {"limit": 2**64 - 1}, ["17", "4294967295"]),
        (("zzz",), {}, []),
        (("",), {"max_dist": 3}, []),
        (("c",), {"max_dist": 1, "include_prefix_nodes": True}, ["4294967295", "17"]),
        (("c",), {"max_dist": 1, "include_prefix_nodes": False}, []),
    ],
)
def test_results(cats, args, kwargs, want_ids):
    assert [video for video, _ in cats.fuzzy_match_video(*args, **kwargs)] == want_ids


def test_uuid_ids_and_positions_past_the_table():
    video_index = [bytes(range(16))]
    index = index_of({"ab": (100, [3, 0], [50, 40])}, video_index)
    assert index.fuzzy_match_video("ab") == [("00010203-0405-0607-0809-0a0b0c0d0e0f", 0.4)]
    assert str(uuid.UUID(bytes=bytes(range(16)))) == "00010203-0405-0607-0809-0a0b0c0d0e0f"
    # The best one has no id: it must not take the place of one that has.
    assert index.fuzzy_match_video("ab", limit=1) == [("00010203-0405-0607-0809-0a0b0c0d0e0f", 0.4)]


def test_index_without_nodes():
    empty = PrefixSearch.from_internal_data_v2([], [], [], [], [], 1)
    assert empty.fuzzy_match_video("a") == []


def reference(terms, query, max_dist, prefix_nodes):
    """Ranking over every prefix by brute force; no cut, so propagation is plain subtree sums."""
    prefixes = {t[:i] for t in terms for i in range(1, len(t) + 1)}
    def matched(terminal_only):
        return [p for p in prefixes if levenshtein(p, query) <= max_dist and (p in terms or not terminal_only)]
    nodes = matched(prefix_nodes is not True)
    if not nodes and prefix_nodes is None:
        nodes = matched(False)
    n = len(query)
    total, scores = 0.0, {}
    for node in nodes:
        d = levenshtein(node, query)
        w = 1.0 if d == 0 else (0.0 if n == 0 else (1.0 - d / n) * 0.05)
        if d != 0 and w <= 0:
            continue
        if node not in terms:
            w *= 0.85
        for term, (count, ids, counts) in terms.items():
            if term.startswith(node):
                total += w * count
                for v, c in zip(ids, counts):
                    scores[v] = scores.get(v, 0.0) + w * c
    if total <= 0:
        return {}
    return {v: s / total for v, s in scores.items() if s / total >= 0.01}


def test_agrees_with_a_brute_force_ranking():
    rng = random.Random(5)
    video_index = [v.to_bytes(4, "little") for v in range(30)]
    for _ in range(25):
        terms = {}
        for _ in range(25):
            word = "".join(rng.choices("abcж", k=rng.randint(1, 5)))
            ids = rng.sample(range(30), rng.randint(1, 4))
            terms[word] = (rng.randint(0, 500), ids, [rng.randint(0, 100) for _ in ids])
        index = index_of(terms, video_index, top_n=1000)
        for _ in range(8):
            query = "".join(rng.choices("abcж", k=rng.randint(0, 4)))
            max_dist = rng.randint(0, 2)
            flag = rng.choice([None, True, False])
            got = index.fuzzy_match_video(query, max_dist, include_prefix_nodes=flag)
            want = reference(terms, query, max_dist, flag)
            assert {int(v): pytest.approx(s, abs=1e-12) for v, s in got} == want
            assert [s for _, s in got] == sorted((s for _, s in got), reverse=True)

import random
import sys
from pathlib import Path

import pytest

from _torrelm import PrefixSearch

from conftest import build, levenshtein

sys.path.insert(0, str(Path(__file__).parents[2] / "demo"))
from layout import lay_out  # noqa: E402

CALL = "PrefixSearch.fuzzy_match()"
OUT_OF_RANGE = "out of range integral type conversion attempted"


def index_of(words):
    arrays = lay_out({w: (1, [], []) for w in words}, [])
    return PrefixSearch.from_internal_data_v2(*arrays.arguments(10))


@pytest.fixture
def cars():
    return index_of(["car", "cart", "cat", "dog"])


def test_signature():
    method = PrefixSearch.fuzzy_match
    assert method.__text_signature__ == "(term, max_dist=1, limit=None)"
    assert method.__doc__ is None


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, f"{CALL} missing 1 required positional argument: 'term'"),
        (("a", 1, None, 2), {}, TypeError, f"{CALL} takes from 1 to 3 positional arguments but 4 were given"),
        ((5, 1, 2, 3), {}, TypeError, f"{CALL} takes from 1 to 3 positional arguments but 4 were given"),
        (("a",), {"term": "b"}, TypeError, f"{CALL} got multiple values for argument 'term'"),
        (("a",), {"maxdist": 2}, TypeError, f"{CALL} got an unexpected keyword argument 'maxdist'"),
        ((5,), {}, TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
        ((b"car",), {}, TypeError, "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
        (("a", 1.0), {}, TypeError, "argument 'max_dist': 'float' object cannot be interpreted as an integer"),
        (("a",), {"max_dist": None}, TypeError,
         "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer"),
        (("a", 1, "2"), {}, TypeError, "argument 'limit': 'str' object cannot be interpreted as an integer"),
        ((5, None), {}, TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
        (("a", -1), {}, OverflowError, None),
        (("a", 1, -1), {}, OverflowError, None),
        (("a", 2**64), {}, OverflowError, None),
        (("a\ud800",), {}, UnicodeEncodeError, None),
    ],
)
def test_argument_errors(cars, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        cars.fuzzy_match(*args, **kwargs)
    assert type(caught.value) is error
    if message is None:
        assert "argument" not in str(caught.value)
    else:
        assert str(caught.value) == message


@pytest.mark.skipif(sys.maxsize > 2**32, reason="the index width is 64 bits here")
def test_index_width_on_32_bit_platforms(cars):
    with pytest.raises(OverflowError, match=OUT_OF_RANGE):
        cars.fuzzy_match("a", 2**32)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "args, kwargs, want",
    [
        (("car",), {}, [("car", 1, 0), ("cart", 1, 1), ("cat", 1, 1)]),
        (("car", 1, None), {}, [("car", 1, 0), ("cart", 1, 1), ("cat", 1, 1)]),
        (("car",), {"max_dist": 0}, [("car", 1, 0)]),
        (("car", True), {}, [("car", 1, 0), ("cart", 1, 1), ("cat", 1, 1)]),
        (("car", Index(0)), {}, [("car", 1, 0)]),
        (("car",), {"limit": 0}, []),
        (("car",), {"limit": 1}, [("car", 1, 0)]),
        (("car",), {"limit": Index(2)}, [("car", 1, 0), ("cart", 1, 1)]),
        (("cat", 1), {}, [("car", 1, 1), ("cart", 1, 1), ("cat", 1, 0)]),
        (("zzzzz",), {}, []),
        (("",), {"max_dist": 3}, [("car", 1, 3), ("cat", 1, 3), ("dog", 1, 3)]),
        (("car", 2**64 - 1), {"limit": 2**64 - 1}, None),
        ((type("S", (str,), {})("dog"),), {"max_dist": 0}, [("dog", 1, 0)]),
    ],
)
def test_results(cars, args, kwargs, want):
    got = cars.fuzzy_match(*args, **kwargs)
    assert type(got) is list
    if want is None:
        assert len(got) == 4
        return
    assert got == want
    for term, flag, distance in got:
        assert type(term) is str and type(flag) is int and type(distance) is int
        assert flag is not True


def test_calling_through_the_class(cars):
    assert PrefixSearch.fuzzy_match(cars, "car") == cars.fuzzy_match("car")


def test_queries_on_an_index_without_nodes():
    empty = PrefixSearch.from_internal_data_v2([], [], [], [], [], 1)
    assert empty.fuzzy_match("a") == []
    assert empty.fuzzy_match("", 5) == []


def test_only_whole_terms_are_reported_and_labels_use_their_first_character():
    index = build(child_labels=["", "cx", "ay", "tz", "r"], payloads=[None, None, (1, [], []), (1, [], []), None])
    assert index.fuzzy_match("ca", 1) == [("ca", 1, 0), ("cat", 1, 1)]


def test_agrees_with_levenshtein_on_random_vocabularies():
    rng = random.Random(11)
    alphabet = "abcé\u0436\U0001f600"
    for _ in range(40):
        words = {"".join(rng.choices(alphabet, k=rng.randint(1, 8))) for _ in range(60)}
        words.add("".join(rng.choices(alphabet, k=64)))
        index = index_of(words)
        for _ in range(10):
            base = rng.choice(sorted(words))
            query = list(base)
            for _ in range(rng.randint(0, 2)):
                query.insert(rng.randint(0, len(query)), rng.choice(alphabet))
            query = "".join(query)
            max_dist = rng.randint(0, 3)
            got = index.fuzzy_match(query, max_dist)
            want = {w: levenshtein(w, query) for w in words if levenshtein(w, query) <= max_dist}
            assert {term: distance for term, _, distance in got} == want
            assert len(got) == len(want)

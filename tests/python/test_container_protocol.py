"""torrelm.Index as a container of its terms: len, in and iter against the set of terms it was
built from, iteration in the order of fuzzy_match, pickling by value, and inconsistent indexes
that fail instead of running away."""

import gc
import pickle
import random
import threading
import uuid

import pytest

import torrelm
from _torrelm import PrefixSearch
from torrelm import Index

from conftest import run_child

ALPHABET = "abé\u0436\U0001f600"


def random_terms(rng, count):
    """Short words over a few letters, so that many prefix others, plus some of those prefixes."""
    words = {"".join(rng.choices(ALPHABET, k=rng.randint(1, 7))) for _ in range(count)}
    words |= {word[:rng.randint(1, len(word))] for word in rng.sample(sorted(words), count // 4)}
    return words


def video(rng, ids):
    return rng.randrange(2**32) if ids == "int" else uuid.UUID(int=rng.getrandbits(128))


def random_index(seed, ids, count=300):
    rng = random.Random(seed)
    terms = random_terms(rng, count)
    rows = [(term, video(rng, ids), rng.randint(1, 9)) for term in sorted(terms) for _ in range(2)]
    rng.shuffle(rows)
    return terms, torrelm.build(rows, video_top_n=3)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("ids", ["int", "uuid"])
def test_len_in_and_iter_agree_with_the_terms_built_from(seed, ids):
    terms, index = random_index(seed, ids)
    listed = list(index)
    assert len(listed) == len(set(listed)) == len(index) == len(terms)
    assert set(listed) == terms
    assert all(type(term) is str for term in listed)
    rng = random.Random(seed)
    candidates = set(terms)
    for term in terms:
        candidates |= {term[:-1], term + "a", term + "\U0001f600", term[1:], term.upper()}
    candidates |= {"".join(rng.choices(ALPHABET + "xy", k=rng.randint(0, 8))) for _ in range(200)}
    candidates |= {"", "a\0", "\0"}
    for candidate in candidates:
        assert (candidate in index) == (candidate in terms), candidate


def odd_siblings():
    """Duplicate siblings (the second 'a' leads on to 'b') and a node hidden by its U+0000
    label, which the builders never make."""
    return Index.from_prefix_search(PrefixSearch.from_internal_data_v2(
        node_shifts=[0, 3, 3, 4, 4], child_labels=["", "a", "a", "", "b"],
        payloads=[None, (1, [0], [1]), None, (1, [0], [1]), (1, [0], [1])],
        child_transitions=[1, 2, 3, 4], video_index=[b"\x01\x00\x00\x00"], video_top_n=1))


# Built in the test, so that no index outlives the session (nanobind reports those at exit).
@pytest.mark.parametrize("make", [lambda seed=seed: random_index(seed, "int", count=40)[1]
                                  for seed in range(3)] + [odd_siblings],
                         ids=["random 0", "random 1", "random 2", "odd siblings"])
def test_iteration_follows_the_walk_of_fuzzy_match(make):
    index = make()
    walk = [term for term, _, _ in index.fuzzy_match("", 65535)]
    assert list(index) == walk
    assert len(index) == len(walk)
    for term in walk:
        assert term in index
        assert index.fuzzy_match(term, 0)[0][0] == term


def test_duplicate_siblings_and_hidden_nodes():
    index = odd_siblings()
    assert list(index) == ["a", "ab"]
    assert ("ab" in index, "a" in index, "b" in index, "" in index) == (True, True, False, False)
    assert repr(index) == "<torrelm.Index terms=2 nodes=5 videos=1 video_top_n=? ids=int32 storage=owned>"


def test_terms_past_the_largest_bound_are_listed_too():
    long_term = "a" * 70_000
    index = torrelm.build([("aaa", 1, 1), (long_term, 2, 1)])
    assert list(index) == ["aaa", long_term]
    assert [term for term, _, _ in index.fuzzy_match("", 65535)] == ["aaa"]
    assert len(index) == 2 and long_term in index and long_term[:-1] not in index


def test_iterators_are_lazy_independent_and_keep_the_index_alive():
    terms, index = random_index(9, "int", count=50)
    first, second = iter(index), iter(index)
    assert iter(first) is first
    head = [next(first) for _ in range(5)]
    assert [next(second) for _ in range(3)] == head[:3]
    want = list(index)
    del index
    gc.collect()
    assert head + list(first) == want
    assert list(first) == [] and next(first, None) is None
    assert list(second) == want[3:]
    assert set(want) == terms


@pytest.mark.parametrize("value, type_name", [
    (5, "int"), (b"cat", "bytes"), (None, "NoneType"), (("cat",), "tuple"),
])
def test_membership_takes_only_str(value, type_name):
    _, index = random_index(1, "int", count=20)
    with pytest.raises(TypeError) as caught:
        value in index  # noqa: B015 - the test is that it raises
    assert str(caught.value) == \
        f"Index.__contains__() argument 'term' must be str, not '{type_name}'"

    class Text(str):
        pass

    assert Text(next(iter(index))) in index


@pytest.mark.parametrize("ids", ["int", "uuid"])
@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_keeps_the_index_by_value(ids, protocol):
    _, index = random_index(3, ids, count=60)
    back = pickle.loads(pickle.dumps(index, protocol))
    assert type(back) is Index and back is not index
    assert back.to_bytes() == index.to_bytes()
    assert repr(back) == repr(index) and list(back) == list(index)
    assert back.fuzzy_match_video("ab", 1) == index.fuzzy_match_video("ab", 1)
    nested = pickle.loads(pickle.dumps({"twice": [index, index]}, protocol))
    assert nested["twice"][0] is nested["twice"][1]


def test_state_is_restored_only_into_a_blank_instance():
    index = torrelm.build([("cat", 1, 1)])
    state = index.__getstate__()
    blank = Index.__new__(Index)  # what unpickling makes before __setstate__
    with pytest.raises(ValueError, match="truncated"):
        blank.__setstate__(state[:-1])
    blank.__setstate__(bytearray(state))
    assert list(blank) == ["cat"] and blank.to_container() == state
    with pytest.warns(RuntimeWarning), pytest.raises(TypeError):
        index.__setstate__(torrelm.build([("dog", 1, 1)]).to_bytes())
    assert list(index) == ["cat"]


def test_inconsistent_indexes_fail_instead_of_running_away():
    # Child process: a walk that never ended would hang the suite; run_child fails it instead.
    outcome = run_child("""
        from torrelm import Index, PanicException
        # The root, labelled 'a' and ending a term, lists itself twice.
        # Read unchecked: checked, neither loads.
        looping = Index.from_bytes(bytes([1, 0, 1, ord("a"), 2, 0, 0, 1, 0, 0, 0, 1, 1, 1]),
                                   verify=False)
        # The root's child run reaches past child_transitions.
        short = Index.from_bytes(bytes([2, 0, 5, 2, 0, ord("a"), 1, 1, 2, 0, 0, 0, 0, 1, 2, 0, 1]),
                                 verify=False)
        for index in [looping, short]:
            terms = iter(index)
            seen = []
            try:
                for term in terms:
                    seen.append(term)
            except PanicException:
                print("iteration panicked after", len(seen))
            print("then", list(terms))
            try:
                print("len", len(index))
            except PanicException:
                print("len panicked")
            try:
                print("in", "a" * 5000 in index, "ab" in index)
            except PanicException:
                print("in panicked")
            print(repr(index))
    """, timeout=60)
    assert outcome.splitlines() == [
        "iteration panicked after 3",
        "then []",
        "len panicked",
        "in True False",
        "<torrelm.Index terms=? nodes=1 videos=0 video_top_n=? ids=int32 storage=owned>",
        "iteration panicked after 1",  # 'a', then the read past the end
        "then []",
        "len panicked",
        "in panicked",
        "<torrelm.Index terms=? nodes=2 videos=0 video_top_n=? ids=int32 storage=owned>",
    ]


def test_threads_counting_and_looking_up_at_once_agree():
    terms, index = random_index(5, "uuid", count=2000)
    probes = sorted(terms)[::7] + ["zz", "a\U0001f600x"]
    want = [probe in terms for probe in probes]
    results = []

    def work():
        results.append((len(index), [probe in index for probe in probes], len(list(index))))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [(len(terms), want, len(terms))] * 8

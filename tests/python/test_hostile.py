"""Hostile input, generated: whatever the arguments or bytes, only the documented exceptions come
out, the process never crashes, and an index that raised PanicException answers as before.

CI runs a bounded number of examples; `make fuzz-python` runs many more (HYPOTHESIS_PROFILE=long).
"""

import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _torrelm import PrefixSearch

from conftest import SMALL, build, panic_exception

settings.register_profile("ci", max_examples=300, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
settings.register_profile("long", max_examples=40_000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

PANIC = panic_exception()
ARGUMENT_ERRORS = (TypeError, ValueError, OverflowError, UnicodeEncodeError)

integers = st.one_of(st.integers(-3, 12), st.integers(-2**70, 2**70), st.sampled_from([2**32 - 1, 2**32, 2**64 - 1, 2**64]))
anything = st.one_of(st.none(), st.booleans(), st.floats(allow_nan=False), st.text(max_size=3),
                     st.binary(max_size=3), integers)
small_lists = lambda element: st.lists(element, max_size=8)  # noqa: E731
sequence_of = lambda element: st.one_of(small_lists(element), small_lists(element).map(tuple), anything)  # noqa: E731
text = st.text(st.characters(codec=None, exclude_categories=()), max_size=4)
payload = st.one_of(st.none(), st.tuples(integers, small_lists(integers), small_lists(integers)),
                    st.tuples(integers), small_lists(integers), anything)
video_entry = st.one_of(st.binary(min_size=4, max_size=4), st.binary(min_size=16, max_size=16),
                        st.binary(max_size=20), small_lists(integers), anything)

# Short terms and small bounds keep the walk small even in a cyclic index, where every path is a
# distinct match and the work grows with the depth the bound allows.
short_queries = st.tuples(st.sampled_from(["", "a", "x", "é"]), st.integers(0, 1))


def answers(index, queries):
    """What each query gives, exceptions included, so that faulting calls can be compared too."""
    out = []
    for term, max_dist in queries:
        if len(term) + max_dist > 1:
            max_dist = 0
        for call in (lambda: index.fuzzy_match(term, max_dist),
                     lambda: index.fuzzy_match_video(term, max_dist, None, True),
                     lambda: index.fuzzy_match_video(term, max_dist)):
            try:
                out.append(call())
            except PANIC as fault:
                out.append(("panic", str(fault)))
    return out


def check_stays_usable(index, queries):
    first = answers(index, queries)
    assert answers(index, queries) == first  # faults changed nothing
    data = index.to_bytes()
    assert PrefixSearch.from_bytes(data).to_bytes() == data


@given(node_shifts=sequence_of(integers), child_labels=sequence_of(st.one_of(text, anything)),
       payloads=sequence_of(payload), child_transitions=sequence_of(integers),
       video_index=sequence_of(video_entry), video_top_n=st.one_of(integers, anything),
       queries=st.lists(short_queries, max_size=3))
def test_random_build_arguments(node_shifts, child_labels, payloads, child_transitions,
                                video_index, video_top_n, queries, capfd):
    try:
        index = PrefixSearch.from_internal_data_v2(node_shifts, child_labels, payloads,
                                                   child_transitions, video_index, video_top_n)
    except ARGUMENT_ERRORS:
        return
    except PANIC as fault:
        assert str(fault).startswith("index out of bounds")
        return
    finally:
        capfd.readouterr()
    check_stays_usable(index, queries)


@given(n=st.integers(1, 8), data=st.data(), queries=st.lists(short_queries, max_size=3))
def test_consistent_lengths_with_random_structure(n, data, queries, capfd):
    """Arrays that pass the checks but form cycles, self children, shared children and chains."""
    ids = st.integers(0, n - 1)
    index = None
    try:
        index = PrefixSearch.from_internal_data_v2(
            data.draw(st.lists(st.integers(0, 10), min_size=n, max_size=n)),
            data.draw(st.lists(st.sampled_from(["", "a", "x", "é", "\0"]), min_size=n, max_size=n)),
            data.draw(st.lists(st.one_of(st.none(), st.tuples(st.integers(0, 9), st.just([0]), st.just([3]))),
                               min_size=n, max_size=n)),
            data.draw(st.lists(ids, max_size=10)),
            [b"\x01\x00\x00\x00"], data.draw(st.integers(0, 3)))
    except PANIC:
        pass
    capfd.readouterr()
    if index is not None:
        check_stays_usable(index, queries)


VALID = build().to_bytes()


def mutated(data, edits):
    out = bytearray(data)
    for position, kind, value in edits:
        if not out:
            out.append(value)
            continue
        at = position % len(out)
        if kind == 0:
            out[at] = value
        elif kind == 1:
            out.insert(at, value)
        else:
            del out[at]
    return bytes(out)


@given(data=st.one_of(st.binary(max_size=64),
                      st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 2), st.integers(0, 255)),
                               min_size=1, max_size=4).map(lambda edits: mutated(VALID, edits))),
       queries=st.lists(short_queries, min_size=1, max_size=3))
def test_random_and_mutated_bytes(data, queries, capfd):
    try:
        index = PrefixSearch.from_bytes(data)
    except ValueError as error:
        assert str(error).startswith("decode error: ")
        return
    check_stays_usable(index, queries)
    capfd.readouterr()


INDEX = build()
TREE = PrefixSearch.from_internal_data_v2(  # a chain of 300 "a" below the SMALL index's root
    list(range(1, 302)) + [301], [""] + ["a"] * 301, [None] * 301 + [(1, [0], [1])],
    list(range(1, 302)), [b"\x01\x00\x00\x00"], 1)


@given(term=st.one_of(st.text(st.characters(codec=None, exclude_categories=()), max_size=70),
                      st.text("ab", min_size=200, max_size=2000), anything),
       max_dist=st.one_of(integers, anything), limit=st.one_of(integers, anything),
       flag=st.one_of(st.none(), st.booleans(), anything))
def test_random_queries(term, max_dist, limit, flag):
    for index in (INDEX, TREE):
        for call in (lambda: index.fuzzy_match(term, max_dist, limit),
                     lambda: index.fuzzy_match_video(term, max_dist, limit, flag)):
            try:
                result = call()
            except (TypeError, OverflowError, UnicodeEncodeError):
                continue
            assert isinstance(result, list)

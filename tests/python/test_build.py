import collections
import sys

import numpy as np
import pytest

from _torrelm import PrefixSearch

from conftest import SMALL, build, panic_exception

CALL = "PrefixSearch.from_internal_data_v2()"
ARGS = list(SMALL.values())


class Index:
    """Not an int, but usable as one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntSubclass(int):
    def __index__(self):  # used directly, never called
        raise AssertionError("int subclasses are used as they are")


class TypeErrorWithCause:
    def __index__(self):
        raise TypeError("inner") from KeyError("why")


class NarrowTypeError(TypeError):
    pass


class RaisesNarrowTypeError:
    def __index__(self):
        raise NarrowTypeError("not wrapped")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (ARGS[:2], {}, f"{CALL} missing 4 required positional arguments: 'payloads', "
         "'child_transitions', 'video_index', and 'video_top_n'"),
        (ARGS[:4], {}, f"{CALL} missing 2 required positional arguments: 'video_index' and "
         "'video_top_n'"),
        (ARGS[:5], {}, f"{CALL} missing 1 required positional argument: 'video_top_n'"),
        (ARGS[1:], {}, f"{CALL} missing 1 required positional argument: 'video_top_n'"),
        (ARGS + [1], {}, f"{CALL} takes 6 positional arguments but 7 were given"),
        (["x"] * 7, {}, f"{CALL} takes 6 positional arguments but 7 were given"),
        (ARGS, {"node_shifts": [0]}, f"{CALL} got multiple values for argument 'node_shifts'"),
        (ARGS[:5], {"video_top_n": 1, "foo": 2}, f"{CALL} got an unexpected keyword argument 'foo'"),
        (ARGS[:5], {"Video_top_n": 1}, f"{CALL} got an unexpected keyword argument 'Video_top_n'"),
        (ARGS[:5], {"\udc80": 1}, f"{CALL} got an unexpected keyword argument '\udc80'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        PrefixSearch.from_internal_data_v2(*args, **kwargs)
    assert str(caught.value) == message


WRAPPED = [
    ("node_shifts", "abc", "argument 'node_shifts': Can't extract `str` to `Vec`"),
    ("node_shifts", 5, "argument 'node_shifts': 'int' object cannot be converted to 'Sequence'"),
    ("node_shifts", {0: 1}, "argument 'node_shifts': 'dict' object cannot be converted to 'Sequence'"),
    ("node_shifts", [1.5], "argument 'node_shifts': 'float' object cannot be interpreted as an integer"),
    ("node_shifts", [None], "argument 'node_shifts': 'NoneType' object cannot be interpreted as an integer"),
    ("child_labels", "abc", "argument 'child_labels': Can't extract `str` to `Vec`"),
    ("child_labels", ["", 1], "argument 'child_labels': 'int' object cannot be converted to 'PyString'"),
    ("child_labels", [b"a"], "argument 'child_labels': 'bytes' object cannot be converted to 'PyString'"),
    ("payloads", None, "argument 'payloads': 'NoneType' object cannot be converted to 'Sequence'"),
    ("child_transitions", "12", "argument 'child_transitions': Can't extract `str` to `Vec`"),
    ("video_index", "abcd", "argument 'video_index': Can't extract `str` to `Vec`"),
    ("video_index", ["abcd"], "argument 'video_index': Can't extract `str` to `Vec`"),
    ("video_index", [5], "argument 'video_index': 'int' object cannot be converted to 'Sequence'"),
    ("video_index", [[1.0, 0, 0, 0]], "argument 'video_index': 'float' object cannot be interpreted as an integer"),
    ("video_top_n", None, "argument 'video_top_n': 'NoneType' object cannot be interpreted as an integer"),
    ("video_top_n", "3", "argument 'video_top_n': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("name, value, message", WRAPPED)
def test_conversion_type_errors_name_the_argument(name, value, message):
    with pytest.raises(TypeError) as caught:
        build(**{name: value})
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "name, value, error, message",
    [
        ("node_shifts", [0, -1], OverflowError, None),
        ("node_shifts", [2**64], OverflowError, None),
        ("node_shifts", [2**32], OverflowError, OUT_OF_RANGE),
        ("child_transitions", [Index(2**32)], OverflowError, OUT_OF_RANGE),
        ("video_top_n", -1, OverflowError, None),
        ("video_top_n", 2**32, OverflowError, OUT_OF_RANGE),
        ("video_index", [[256, 0, 0, 0]], OverflowError, OUT_OF_RANGE),
        ("video_index", [[-1, 0, 0, 0]], OverflowError, OUT_OF_RANGE),
        ("video_index", [[2**70, 0, 0, 0]], OverflowError, None),
        ("child_labels", ["", "\ud800", "a", "b"], UnicodeEncodeError, None),
        ("child_labels", ["", "x\udfff", "a", "b"], UnicodeEncodeError, None),
        ("node_shifts", [RaisesNarrowTypeError()], NarrowTypeError, "not wrapped"),
    ],
)
def test_other_conversion_errors_are_not_wrapped(name, value, error, message):
    with pytest.raises(error) as caught:
        build(**{name: value})
    assert type(caught.value) is error
    assert "argument" not in str(caught.value)
    if message is not None:
        assert str(caught.value) == message


@pytest.mark.parametrize("value, cause", [
    (TypeErrorWithCause(), KeyError),
    ("not a sequence", type(None)),  # no cause of its own: None, and recorded as one
    (Index(1.5), type(None)),
])
def test_wrapping_records_the_cause(value, cause):
    with pytest.raises(TypeError) as caught:
        build(node_shifts=[value] if isinstance(value, (Index, TypeErrorWithCause)) else value)
    assert str(caught.value).startswith("argument 'node_shifts': ")
    assert type(caught.value.__cause__) is cause
    assert caught.value.__suppress_context__ is True


def test_arguments_convert_in_order_before_any_check():
    # node_shifts has the wrong length, but converting video_top_n fails first.
    with pytest.raises(TypeError, match="video_top_n"):
        build(node_shifts=[0], video_top_n=None)
    # A bad payload item is only looked at after the length checks...
    with pytest.raises(ValueError, match="node_shifts len"):
        build(node_shifts=[0], payloads=[None, None, None, [1], None])
    # ...and before the video_index entries are checked.
    with pytest.raises(ValueError, match="Payload tuple"):
        build(payloads=[None, (1,), None, None, None], video_index=[b"abc"])


def payloads_with(item):
    return [None, None, None, item, None]


@pytest.mark.parametrize(
    "changes, error, message",
    [
        ({"node_shifts": [0, 1]}, ValueError, "node_shifts len 2 != child_labels len 5"),
        ({"node_shifts": [0], "payloads": [None]}, ValueError, "node_shifts len 1 != child_labels len 5"),
        ({"payloads": [None] * 6}, ValueError, "payloads len 6 != child_labels len 5"),
        ({"child_transitions": [1, 5, 9]}, ValueError, "child_transitions[1] = 5 out of range [0..5)"),
        ({"payloads": payloads_with([5, [0], [1]])}, TypeError, "'list' object cannot be converted to 'PyTuple'"),
        ({"payloads": payloads_with((5, [0]))}, ValueError, "Payload tuple must have 3 elements"),
        ({"payloads": payloads_with((5, [0], [1], 0))}, ValueError, "Payload tuple must have 3 elements"),
        ({"payloads": payloads_with((5, "ab", [1]))}, TypeError, "Can't extract `str` to `Vec`"),
        ({"payloads": payloads_with((5, [1], "a"))}, TypeError, "Can't extract `str` to `Vec`"),
        ({"payloads": payloads_with((5, 3, [1]))}, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({"payloads": payloads_with((5, [0, 1], [1]))}, ValueError, "video_ids and video_counts length mismatch"),
        ({"payloads": payloads_with(("5", [], []))}, TypeError, "'str' object cannot be interpreted as an integer"),
        ({"payloads": payloads_with((2**32, [], []))}, OverflowError, OUT_OF_RANGE),
        ({"payloads": payloads_with((0, [0], [-1]))}, OverflowError, None),
        ({"video_index": [bytes(16), bytes(4)]}, ValueError,
         "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)"),
        ({"video_index": [bytes(5)]}, ValueError,
         "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)"),
    ],
)
def test_build_errors(changes, error, message):
    with pytest.raises(error) as caught:
        build(**changes)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    else:
        assert "argument" not in str(caught.value)


Named = collections.namedtuple("Named", "total ids counts")


@pytest.mark.parametrize(
    "changes",
    [
        {"node_shifts": [], "child_labels": [], "payloads": [], "child_transitions": [],
         "video_index": [], "video_top_n": 7},
        {"node_shifts": [0], "child_labels": [""], "payloads": [None], "child_transitions": [],
         "video_index": []},
        {"node_shifts": (0, 1, 2, 4, 4), "child_transitions": range(1, 5)},
        {"node_shifts": b"\x00\x01\x02\x04\x04"},
        {"node_shifts": np.array([0, 1, 2, 4, 4], dtype=np.uint32)},
        {"node_shifts": [IntSubclass(0), True, Index(2), 4, np.int64(4)]},
        {"child_labels": ["", "cat", "a", "t", "r"]},
        {"child_labels": ["", "\U0001f600", "é", "t", "\0"]},
        {"payloads": payloads_with(Named(1, [9], [1]))},
        {"payloads": payloads_with((0, [], []))},
        {"payloads": payloads_with((0, (1,), np.array([3], dtype=np.uint32)))},
        {"payloads": [None] * 5},
        {"video_index": [bytes(range(16)), bytearray(16)]},
        {"video_index": [[1, 0, 0, 0], (255, 255, 255, Index(255))]},
        {"video_index": np.zeros((2, 4), dtype=np.uint8)},
        {"video_index": []},
        {"video_top_n": 0},
        {"video_top_n": 2**32 - 1},
        {"payloads": payloads_with((2**32 - 1, [2**32 - 1], [2**32 - 1]))},
    ],
)
def test_builds(changes):
    assert type(build(**changes)) is PrefixSearch


def test_build_leaves_arguments_unchanged():
    arguments = {
        name: [list(x) if isinstance(x, list) else x for x in value] if isinstance(value, list) else value
        for name, value in SMALL.items()
    }
    build(**arguments)
    assert arguments == SMALL


def test_child_range_past_the_end_is_an_internal_fault():
    panic = panic_exception()
    with pytest.raises(panic) as caught:
        PrefixSearch.from_internal_data_v2([0, 2], ["", "a"], [None, None], [1], [], 1)
    assert str(caught.value) == "index out of bounds: the len is 1 but the index is 1"


def test_items_mutated_during_conversion_do_not_crash():
    shifts = [0, 1, 2, 4, 4]

    class Shrinks:
        def __index__(self):
            shifts.clear()
            return 0

    shifts[1] = Shrinks()
    with pytest.raises(ValueError, match="node_shifts len 2"):
        build(node_shifts=shifts)


def test_no_references_are_kept_or_lost():
    item = (10, [0, 1], [6, 4])
    bad = (10, [0, 1], [6])
    labels = ["", "c", "a", "t", "r"]
    before = sys.getrefcount(item), sys.getrefcount(bad), [sys.getrefcount(x) for x in labels]
    for _ in range(50):
        build(payloads=payloads_with(item), child_labels=labels)
        with pytest.raises(ValueError):
            build(payloads=payloads_with(bad), child_labels=labels)
        with pytest.raises(TypeError):
            build(payloads=payloads_with(item), child_labels=labels, video_top_n=None)
    after = sys.getrefcount(item), sys.getrefcount(bad), [sys.getrefcount(x) for x in labels]
    assert after == before

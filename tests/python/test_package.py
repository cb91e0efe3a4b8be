import collections
import os
import random
import re
import stat
import uuid

import numpy as np
import pytest

import torrelm
from torrelm import IndexBuilder, PrefixSearch

from test_layout import reference_index
from conftest import levenshtein, run_child


def test_docstring_example():
    builder = IndexBuilder()
    builder.add("cat", 17, count=6)
    builder.add("cat", 42, count=4)
    builder.add("car", 42, count=5)
    index = builder.build(video_top_n=10)
    assert isinstance(index, torrelm.Index)
    assert index.fuzzy_match_video("cat", max_dist=0) == [("17", 0.6), ("42", 0.4)]
    assert index.fuzzy_match("car") == [("car", 1, 0), ("cat", 1, 1)]
    assert len(builder) == 2


@pytest.mark.parametrize(
    "term, video, count, error, fragment",
    [
        ("", 1, 1, ValueError, "empty term"),
        ("a\0b", 1, 1, ValueError, "U+0000"),
        ("a\ud800", 1, 1, ValueError, "surrogates"),
        (b"abc", 1, 1, TypeError, "expected str"),
        ("abc", -2**63 - 1, 1, ValueError, "-2**63 .. 2**64-1"),
        ("abc", 2**64, 1, ValueError, "-2**63 .. 2**64-1"),
        ("abc", True, 1, TypeError, "expected an int"),
        ("abc", 1.5, 1, TypeError, "expected an int"),
        ("abc", b"short", 1, ValueError, "exactly 16 bytes"),
        ("abc", 1, -1, ValueError, "cannot be negative"),
        ("abc", 1, 1.0, TypeError, "expected an int"),
    ],
)
def test_add_rejects_bad_input(term, video, count, error, fragment):
    builder = IndexBuilder()
    with pytest.raises(error, match=re.escape(fragment)):
        builder.add(term, video, count)
    assert len(builder) == 0


def test_video_kinds_cannot_mix():
    builder = IndexBuilder()
    builder.add("a", 5)
    video = uuid.UUID(int=7)
    with pytest.raises(ValueError, match=re.escape(f"video {video!r}: this index holds int ids")):
        builder.add("b", video)
    assert len(builder) == 1


def test_uuid_and_bytes_ids_and_totals():
    builder = IndexBuilder()
    first = uuid.UUID("00010203-0405-0607-0809-0a0b0c0d0e0f")
    builder.add("ab", first, 3)
    builder.add("ab", bytes(16), 1)
    builder.add("ab", first, 1)  # adds up
    builder.set_total("ab", 10)
    index = builder.build()
    assert index.fuzzy_match_video("ab", 0) == [(str(first), 0.4), ("00000000-0000-0000-0000-000000000000", 0.1)]
    with pytest.raises(KeyError):
        builder.set_total("missing", 1)
    with pytest.raises(ValueError):
        builder.set_total("ab", -1)


def test_counts_saturate():
    builder = IndexBuilder()
    builder.add("a", 1, 2**32 - 1)
    builder.add("a", 1, 5)
    builder.add("a", 2, 2**32 - 1)
    assert builder.build().fuzzy_match_video("a", 0) == [("1", 1.0), ("2", 1.0)]


def test_empty_builder_builds_an_index_without_terms():
    index = IndexBuilder().build()
    assert index.fuzzy_match("a") == [] and index.fuzzy_match_video("a") == []


def test_progress_is_reported():
    builder = IndexBuilder()
    builder.add_many([("a", 1, 1), ("ab", 2, 1), ("abc", 3, 1)])
    calls = []
    builder.build(progress=lambda stage, done, total: calls.append((stage, done, total)))
    # Every stage ends with its work done: 3 terms laid out, 4 nodes propagated.
    assert calls[-1] == ("propagate", 4, 4)
    last = {stage: (done, total) for stage, done, total in calls}
    assert last["layout"] == (3, 3)
    assert all(done == total for done, total in last.values())


def test_matches_a_brute_force_search_on_random_vocabularies():
    rng = random.Random(8)
    for _ in range(15):
        builder = IndexBuilder()
        words = {"".join(rng.choices("abcé", k=rng.randint(1, 6))) for _ in range(80)}
        videos_of = {}
        for word in words:
            for _ in range(rng.randint(1, 3)):
                video = rng.randrange(20)
                builder.add(word, video, rng.randint(1, 50))
                videos_of.setdefault(word, set()).add(video)
        index = builder.build(video_top_n=100)
        for query in rng.sample(sorted(words), 10) + ["zz", "a"]:
            want = {w: levenshtein(w, query) for w in words if levenshtein(w, query) <= 2}
            assert {t: d for t, _, d in index.fuzzy_match(query, 2)} == want
        # A node's videos are those of every term below it.
        root_videos = {int(v) for v, _ in index.fuzzy_match_video("a", 0, include_prefix_nodes=True)}
        below = {v for w in words if w.startswith("a") for v in videos_of[w]}
        assert root_videos <= below


def test_save_and_load(tmp_path):
    builder = IndexBuilder()
    builder.add("cat", 17, 6)
    index = builder.build()
    path = tmp_path / "index.bin"
    path.write_bytes(b"old contents")
    torrelm.save(index, path)
    assert path.read_bytes() == index.to_container()
    assert torrelm.load(str(path)).fuzzy_match("cat") == [("cat", 1, 0)]
    assert os.listdir(tmp_path) == ["index.bin"]


def test_a_failed_save_leaves_the_old_file(tmp_path, monkeypatch):
    path = tmp_path / "index.bin"
    path.write_bytes(b"old contents")

    def broken_fsync(fd):
        raise OSError("disk full")

    monkeypatch.setattr(os, "fsync", broken_fsync)
    with pytest.raises(OSError, match="disk full"):
        torrelm.save(IndexBuilder().build(), path)
    assert path.read_bytes() == b"old contents"
    assert os.listdir(tmp_path) == ["index.bin"]


def test_the_most_counted_video_survives_a_small_top_n():
    builder = IndexBuilder()
    builder.add("cat", 42, count=1)
    builder.add("cat", 17, count=100)
    assert builder.build(video_top_n=1).fuzzy_match_video("cat", 0) == [
        ("17", pytest.approx(100 / 101))
    ]


@pytest.mark.parametrize(
    "triples, survivor",
    [
        ([("a", 1, 1), ("a", 2, 100)], "2"),
        ([("a", 1, 5), ("a", 2, 5), ("a", 3, 6)], "3"),
        # Equal counts: the video met first (video 1, from "x") comes first, though "a" saw
        # video 2 first.
        ([("x", 1, 1), ("a", 2, 3), ("a", 1, 3)], "1"),
        ([("a", 1, 2), ("a", 2, 3), ("a", 1, 2)], "1"),
        ([("a", 3, 2**32 - 1), ("a", 2, 2**32 - 1), ("a", 1, 7), ("a", 3, 9)], "3"),
    ],
)
def test_a_term_keeps_its_most_counted_video(triples, survivor):
    # A term's own videos are cut to video_top_n as they are handed over: only the largest
    # count (the video met first among equals) may survive a cut to one.
    builder = IndexBuilder()
    builder.add_many(triples)
    kept = builder.build(video_top_n=1).fuzzy_match_video("a", 0, include_prefix_nodes=False)
    assert [video for video, _ in kept] == [survivor]


def test_random_rows_build_the_reference_index():
    rng = random.Random(5)
    rows = [(rng.choice("abc") * rng.randint(1, 3), rng.randrange(30), rng.randrange(4))
            for _ in range(2000)]
    builder = IndexBuilder()
    builder.add_many(rows)
    assert builder.build().to_bytes() == reference_index(rows).to_bytes()


@pytest.mark.parametrize(
    "triples, total, message",
    [
        ([("cat", 17, 100)], 5,
         "term 'cat': total_count 5 is below the sum of its video counts, 100"),
        ([("cat", 17, 60), ("cat", 18, 40)], 99,
         "term 'cat': total_count 99 is below the sum of its video counts, 100"),
        ([("a", 1, 2**32 - 1), ("a", 2, 5)], 2**32 - 2,
         "term 'a': total_count 4294967294 is below the sum of its video counts, 4294967295"),
        ([("a", 1, 2**32 - 1), ("a", 2, 5)], 2**32 - 1, None),
        ([("a", 1, 2**32 - 1), ("a", 2, 5)], 2**40, None),
        ([("cat", 17, 60), ("cat", 18, 40)], 100, None),
        ([("cat", 17, 0)], 0, None),
    ],
)
def test_a_total_below_the_counts_is_refused(triples, total, message):
    builder = IndexBuilder()
    builder.add_many(triples)
    builder.set_total(triples[0][0], total)
    if message is None:
        builder.build()
    else:
        with pytest.raises(ValueError) as caught:
            builder.build()
        assert str(caught.value) == message


def test_the_total_is_checked_against_counts_added_after_it():
    builder = IndexBuilder()
    builder.add("cat", 1, 3)
    builder.set_total("cat", 5)
    builder.add("cat", 2, 3)
    with pytest.raises(ValueError, match="total_count 5 is below the sum of its video counts, 6"):
        builder.build()


class Sneaky(int):
    """An int that claims to be neither negative nor out of range."""

    def __lt__(self, other):
        return False

    def __le__(self, other):
        return True

    def __ge__(self, other):
        return True

    def __gt__(self, other):
        return False


class Explodes(int):
    """An int that cannot be added to."""

    def __add__(self, other):
        raise ArithmeticError("boom")

    __radd__ = __add__


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "video, count, total, top_n",
    [
        (np.uint32(7), np.int64(3), np.int16(5), np.uint8(1)),
        (np.int8(7), np.uint64(3), np.uint32(5), np.int32(1)),
        (Index(7), Index(3), Index(5), Index(1)),
        (Explodes(7), Explodes(3), Explodes(5), Explodes(1)),
    ],
)
def test_any_integer_type_is_an_int(video, count, total, top_n):
    builder = IndexBuilder()
    builder.add("cat", video, count)
    builder.add("cat", 8, 1)
    builder.set_total("cat", total)
    assert builder.build(video_top_n=top_n).fuzzy_match_video("cat", 0) == [("7", 0.6)]


def test_integers_of_any_type_build_like_plain_ints():
    builder = IndexBuilder()
    builder.add("cat", np.uint32(7), Explodes(3))
    builder.set_total("cat", np.int64(5))
    index = builder.build(video_top_n=Index(2**40))
    assert index.to_bytes() == reference_index([("cat", 7, 3)], {"cat": 5}, 2**32 - 1).to_bytes()


NOT_AN_INT = "expected an int"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda b: b.add("a", 1, True), TypeError, "count True: expected an int, not bool"),
        (lambda b: b.add("a", 1, np.bool_(True)), TypeError,
         "count np.True_: expected an int, not bool"),
        (lambda b: b.add("a", np.bool_(False)), TypeError, NOT_AN_INT),
        (lambda b: b.add("a", 1, Sneaky(-1)), ValueError, "count -1: counts cannot be negative"),
        (lambda b: b.add("a", Sneaky(-2**63 - 1)), ValueError,
         "video -9223372036854775809: an integer id must lie in"),
        (lambda b: b.add("a", Sneaky(2**64)), ValueError,
         "video 18446744073709551616: an integer id must lie in"),
        (lambda b: b.add("a", Index(2**64)), ValueError, "an integer id must lie in"),
        (lambda b: b.add("a", 1, Index(-2)), ValueError, "counts cannot be negative"),
        (lambda b: b.add("a", 1, 2.0), TypeError, "count 2.0: expected an int, not float"),
        (lambda b: b.set_total("cat", Sneaky(-1)), ValueError,
         "total_count -1: counts cannot be negative"),
        (lambda b: b.set_total("cat", False), TypeError, NOT_AN_INT),
        (lambda b: b.build(video_top_n=Sneaky(-1)), ValueError,
         "video_top_n -1: counts cannot be negative"),
        (lambda b: b.build(video_top_n=True), TypeError, NOT_AN_INT),
        (lambda b: b.build(video_top_n=np.bool_(True)), TypeError, NOT_AN_INT),
    ],
)
def test_integers_are_checked_as_plain_ints(call, error, message):
    builder = IndexBuilder()
    builder.add("cat", 5, 2)
    with pytest.raises(error) as caught:
        call(builder)
    assert type(caught.value) is error
    assert message in str(caught.value)


@pytest.mark.parametrize(
    "term, video, count",
    [
        ("new", uuid.UUID(int=1), 1),  # the other kind of id
        ("new", 9, -1),
        ("new", 9, Sneaky(-1)),
        ("new", Sneaky(2**64), 1),
        ("new", "x", 1),  # the other kind of id
        ("new", 9, 1.0),
        ("new", b"short", 1),
        ("", 9, 1),
        ("new\0", 9, 1),
        (7, 9, 1),
    ],
)
def test_a_failed_add_leaves_no_trace(term, video, count):
    builder = IndexBuilder()
    builder.add("cat", 5, 2)
    before = builder.build().to_bytes()
    with pytest.raises((TypeError, ValueError)):
        builder.add(term, video, count)
    assert len(builder) == 1
    assert builder.build().to_bytes() == before  # no new term, no new video position


def test_a_failed_first_add_fixes_no_kind_of_id():
    builder = IndexBuilder()
    with pytest.raises(ValueError):
        builder.add("a", uuid.UUID(int=1), -1)
    with pytest.raises(ValueError):
        builder.add("a", b"\x00" * 16, Sneaky(-1))
    builder.add("a", 5)
    assert builder.build().fuzzy_match_video("a", 0) == [("5", 1.0)]


@pytest.mark.parametrize(
    "rows, error, message",
    [
        ([("a", 1, 1), ("b", 2, 1), ("c", 3, 1), ("d", 4, -1)], ValueError,
         "row 3: count -1: counts cannot be negative"),
        ([("a", 1, 1), ("a", b"x", 1)], ValueError,
         "row 1: video b'x': a bytes id must be exactly 16 bytes long, not 1"),
        ([("", 1, 1)], ValueError, "row 0: term '': an empty term cannot be indexed"),
        ([("a", 1, 1), (b"a", 1, 1)], TypeError, "row 1: term b'a': expected str, not bytes"),
        ([("a", 1, 1), ("b", 2.5, 1)], TypeError,
         "row 1: video 2.5: expected an int, a str, a uuid.UUID or 16 bytes, not float"),
        ([("a", 1, 1), ("b", uuid.UUID(int=0), 1)], ValueError,
         f"row 1: video {uuid.UUID(int=0)!r}: this index holds int ids and cannot mix in uuid "
         "ids; use one kind of identifier for every video"),
        ([("a", 1, 1), ("b", 1, True)], TypeError, "row 1: count True: expected an int, not bool"),
        ([("a", 1)], ValueError, "row 0: expected a (term, video, count) triple"),
        ([("a", 1, 1), 5], TypeError, "row 1: expected a (term, video, count) triple"),
    ],
)
def test_add_many_names_the_bad_row(rows, error, message):
    builder = IndexBuilder()
    with pytest.raises(error) as caught:
        builder.add_many(rows)
    assert type(caught.value) is error
    assert str(caught.value).startswith(message)
    assert len(builder) == len({row[0] for row in rows[:-1]})  # the rows before it were added


@pytest.fixture
def umask():
    """Sets the umask for one test and restores it afterwards."""
    previous = os.umask(0o022)
    yield os.umask
    os.umask(previous)


@pytest.mark.parametrize("mask, mode", [(0o022, 0o644), (0o027, 0o640), (0o002, 0o664),
                                        (0o077, 0o600)])
def test_a_new_file_gets_the_mode_the_umask_gives(tmp_path, umask, mask, mode):
    umask(mask)
    path = tmp_path / "index.bin"
    torrelm.save(IndexBuilder().build(), path)
    assert stat.S_IMODE(path.stat().st_mode) == mode


@pytest.mark.parametrize("mask, mode", [(0o077, 0o644), (0o022, 0o600), (0o077, 0o664),
                                        (0o000, 0o640), (0o022, 0o755)])
def test_a_replaced_file_keeps_its_mode(tmp_path, umask, mask, mode):
    umask(mask)
    path = tmp_path / "index.bin"
    path.write_bytes(b"old contents")
    path.chmod(mode)
    index = IndexBuilder().build()
    torrelm.save(index, path)
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert path.read_bytes() == index.to_container()
    assert os.listdir(tmp_path) == ["index.bin"]


@pytest.mark.parametrize("make", ["device", "fifo"])
def test_load_refuses_devices_and_fifos_without_reading(tmp_path, make):
    if make == "device":
        path = "/dev/zero"
    else:
        path = str(tmp_path / "pipe")
        os.mkfifo(path)
    out = run_child(f"""
        import torrelm
        try:
            torrelm.load({path!r})
        except ValueError as error:
            print(error)
    """)
    assert out == f"{path!r} is not a regular file\n"


def test_load_refuses_a_folder(tmp_path):
    with pytest.raises(ValueError) as caught:
        torrelm.load(tmp_path)
    assert str(caught.value) == f"{str(tmp_path)!r} is not a regular file"


@pytest.mark.parametrize("data", [b"", b"\x00" * 3])
def test_load_of_a_short_regular_file_is_a_decode_error(tmp_path, data):
    path = tmp_path / "index.bin"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: decode error: "):
        torrelm.load(path)

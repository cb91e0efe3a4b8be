import os
import random
import re
import uuid

import pytest

import torrelm
from torrelm import IndexBuilder, PrefixSearch

from conftest import levenshtein


def test_docstring_example():
    builder = IndexBuilder()
    builder.add("cat", 17, count=6)
    builder.add("cat", 42, count=4)
    builder.add("car", 42, count=5)
    index = builder.build(video_top_n=10)
    assert isinstance(index, PrefixSearch)
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
        ("abc", -1, 1, ValueError, "0 .. 2**32-1"),
        ("abc", 2**32, 1, ValueError, "0 .. 2**32-1"),
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
    assert calls[-1] == ("build", 1, 1)
    assert ("layout", 3, 3) in calls


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
    assert path.read_bytes() == index.to_bytes()
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

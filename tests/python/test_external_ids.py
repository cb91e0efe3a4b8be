"""The site's own video ids (strs, ints beyond 0 .. 2**32-1) and the build metadata, through
IndexBuilder and torrelm.build from every kind of source.

The oracle for scores is the same rows built with the ids replaced by 0..n-1 in order of first
appearance: the index must rank and weigh videos by their counts alone, whatever names them."""

import datetime
import pickle
import random
import re
import sys
import uuid

import numpy as np
import pyarrow as pa
import pytest

import torrelm
from torrelm import IndexBuilder

# id list, the Arrow type that holds it, how the index renders an id, the repr's id kind
KINDS = {
    "small ints": ([17, 42, 0, 2**32 - 1, 9], pa.uint32(), str, "int32"),
    "signed ints": ([-(2**63), -1, 2**40, 2**63 - 1, 5], pa.int64(), lambda v: v, "int64"),
    "unsigned ints": ([2**64 - 1, 2**63, 0, 2**32, 7], pa.uint64(), lambda v: v, "uint64"),
    "str slugs": (["dQw4w9WgXcQ", "héllo wörld", "日本語", "0", "a" * 40], pa.string(),
                  lambda v: v, "str"),
    "uuids": ([uuid.UUID(int=n * 0x1234_5678_9ABC_DEF1) for n in range(1, 6)],
              pa.binary(16), str, "uuid"),
}
TERMS = ["cat", "car", "cart", "dog", "do", "cab", "catalog"]


def random_rows(ids, seed, n=80):
    draw = random.Random(seed)
    return [(draw.choice(TERMS), draw.choice(ids), draw.randint(1, 9)) for _ in range(n)]


def columns_of(rows):
    return {"term": [r[0] for r in rows], "video": [r[1] for r in rows],
            "count": [r[2] for r in rows]}


def numpy_columns(rows, arrow_type):
    videos = [r[1] for r in rows]
    dtype = {pa.int64(): np.int64, pa.uint64(): np.uint64, pa.uint32(): np.uint32,
             pa.string(): None}.get(arrow_type, object)
    return {"term": np.array([r[0] for r in rows]), "video": np.array(videos, dtype=dtype),
            "count": np.array([r[2] for r in rows], dtype=np.int64)}


def arrow_table(rows, arrow_type):
    videos = [v.bytes if isinstance(v, uuid.UUID) else v for _, v, _ in rows]
    return pa.table({"term": [r[0] for r in rows], "video": pa.array(videos, arrow_type),
                     "count": [r[2] for r in rows]})


def with_builder(rows):
    builder = IndexBuilder()
    builder.add_many(rows)
    return builder.build(video_top_n=3)


SOURCES = {
    "builder": lambda rows, kind: with_builder(rows),
    "triples": lambda rows, kind: torrelm.build(rows, video_top_n=3),
    "columns": lambda rows, kind: torrelm.build(columns_of(rows), video_top_n=3),
    "numpy": lambda rows, kind: torrelm.build(numpy_columns(rows, kind), video_top_n=3),
    "arrow": lambda rows, kind: torrelm.build(arrow_table(rows, kind), video_top_n=3),
}


def by_places(rows):
    """The rows with each id replaced by its place of first appearance, and the ids by place."""
    places = {}
    for _, video, _ in rows:
        places.setdefault(video, len(places))
    return [(t, places[v], c) for t, v, c in rows], list(places)


def answers(index):
    return [index.fuzzy_match_video(term[:n], d) for term in TERMS for n in (1, 3)
            for d in (0, 1)]


def expected_answers(rows, render):
    placed, ids = by_places(rows)
    oracle = with_builder(placed)
    return [[(render(ids[int(place)]), share) for place, share in answer]
            for answer in answers(oracle)]


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("kind", KINDS)
def test_ids_come_back_as_given_with_the_scores_of_small_ids(kind, source):
    ids, arrow_type, render, id_kind = KINDS[kind]
    rows = random_rows(ids, seed=len(kind) * 31 + len(source))
    index = SOURCES[source](rows, arrow_type)
    assert answers(index) == expected_answers(rows, render)
    assert f"ids={id_kind} " in repr(index)
    assert index.metadata["rows"] == len(rows) and index.metadata["video_top_n"] == 3


@pytest.mark.parametrize("kind", ["signed ints", "str slugs", "small ints"])
def test_stored_and_pickled_indexes_keep_ids_and_metadata(kind, tmp_path):
    ids, _, render, _ = KINDS[kind]
    rows = random_rows(ids, seed=5)
    index = torrelm.build(rows, video_top_n=3)
    torrelm.save(index, tmp_path / "index.trm")
    want = expected_answers(rows, render)
    for back in (torrelm.open(tmp_path / "index.trm"), torrelm.load(tmp_path / "index.trm"),
                 pickle.loads(pickle.dumps(index))):
        assert answers(back) == want
        assert back.metadata == index.metadata


@pytest.mark.parametrize("wide", [2**40, -3])
@pytest.mark.parametrize("through", ["triples", "arrow reader"])
def test_ids_beyond_4_bytes_after_a_full_batch_of_small_ones(wide, through):
    # The first 70,000 rows name small ints only: they are read, and a later row decides that
    # every id of the index is kept as given.
    rows = [(TERMS[i % 7], i % 50, 1 + i % 3) for i in range(70_000)] + [("cat", wide, 500)]
    if through == "triples":
        index = torrelm.build(iter(rows), video_top_n=3)
    else:
        table = arrow_table(rows, pa.int64())
        index = torrelm.build(pa.RecordBatchReader.from_batches(
            table.schema, table.to_batches(max_chunksize=1000)), video_top_n=3)
    assert answers(index) == expected_answers(rows, lambda v: v)
    assert "ids=int64 " in repr(index)
    assert index.metadata["rows"] == len(rows)


def test_a_str_after_a_batch_of_ints_names_its_row():
    rows = [("cat", i % 50, 1) for i in range(70_000)] + [("cat", "x", 1)]
    with pytest.raises(ValueError, match="^row 70000: column 'video': this row holds a str id "
                                         "where the rows before it hold integer ids"):
        torrelm.build(iter(rows))


MIXES = [(1, "x"), (2**40, "x"), ("x", 2**40), ("x", uuid.UUID(int=1)), (-1, bytes(16)),
         (uuid.UUID(int=1), "x"), (uuid.UUID(int=1), 2**40), (-1, 2**64 - 1)]


@pytest.mark.parametrize("first, second", MIXES)
def test_mixed_kinds_are_refused(first, second):
    builder = IndexBuilder()
    builder.add("a", first)
    with pytest.raises(ValueError, match="cannot"):
        builder.add("b", second)
        builder.build()
    rows = [("a", first, 1), ("b", second, 1)]
    for source in (rows, columns_of(rows)):
        with pytest.raises(ValueError) as caught:
            torrelm.build(source)
        message = str(caught.value)
        assert message.startswith("row 1: column 'video': ") or "cannot share" in message


@pytest.mark.parametrize("source", ["builder", "triples", "arrow"])
def test_metadata_records_the_build(source):
    rows = random_rows(KINDS["small ints"][0], seed=3, n=25)
    before = datetime.datetime.now(datetime.timezone.utc)
    if source == "builder":
        builder = IndexBuilder()
        builder.add_many(rows)
        index = builder.build(video_top_n=4)
    else:
        index = torrelm.build(rows if source == "triples" else arrow_table(rows, pa.uint32()),
                              video_top_n=4)
    metadata = index.metadata
    assert set(metadata) == {"build_time", "rows", "video_top_n", "library_version", "term_counts"}
    assert metadata["term_counts"] == "exact"
    assert (metadata["rows"], metadata["video_top_n"]) == (25, 4)
    assert metadata["library_version"] == torrelm.__version__
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z", metadata["build_time"])
    built = datetime.datetime.fromisoformat(metadata["build_time"].replace("Z", "+00:00"))
    assert before <= built <= datetime.datetime.now(datetime.timezone.utc)
    assert "video_top_n=4 " in repr(index)


@pytest.mark.parametrize("videos", [["x", "yz", "x"], [2**40, 5, 2**40], [-(2**63), 0, -1],
                                    [2**64 - 1, 1, 2**63]])
def test_without_pyarrow_arrow_site_ids_are_read_natively(monkeypatch, videos):
    polars = pytest.importorskip("polars")
    frame = polars.DataFrame({"term": ["a", "ab", "b"], "video": videos, "count": [3, 2, 1]})
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import pyarrow fails
    rows = list(zip(frame["term"].to_list(), videos, frame["count"].to_list()))
    index = torrelm.build(frame, video_top_n=3)
    assert answers(index) == expected_answers(rows, lambda v: v)


@pytest.mark.parametrize("layout", ["large_string", "string_view", "dictionary", "chunked"])
def test_arrow_string_ids_in_every_layout(layout):
    ids = KINDS["str slugs"][0]
    rows = random_rows(ids, seed=11)
    table = arrow_table(rows, pa.string())
    if layout == "dictionary":
        table = table.set_column(1, "video", table.column("video").dictionary_encode())
    elif layout == "chunked":
        table = pa.Table.from_batches(table.to_batches(max_chunksize=7))
    else:
        table = table.set_column(1, "video", table.column("video").cast(getattr(pa, layout)()))
    assert answers(torrelm.build(table, video_top_n=3)) == expected_answers(rows, lambda v: v)


@pytest.mark.parametrize("kind", ["signed ints", "unsigned ints", "str slugs"])
def test_duckdb_relations_give_site_ids(kind):
    duckdb = pytest.importorskip("duckdb")
    ids, arrow_type, render, _ = KINDS[kind]
    rows = random_rows(ids, seed=13)
    table = arrow_table(rows, arrow_type)
    source = table.append_column("i", pa.array(range(len(rows))))  # noqa: F841 (the query's)
    # In the rows' order: the first appearance of a video breaks ties between equal shares.
    relation = duckdb.sql("SELECT term, video, count FROM source ORDER BY i")
    assert answers(torrelm.build(relation, video_top_n=3)) == expected_answers(rows, render)

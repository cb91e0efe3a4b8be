"""torrelm.build from every kind of source, and python -m torrelm build: the same rows give the
same index as IndexBuilder, byte for byte, and bad rows are refused naming row, column and value."""

import random
import subprocess
import sys
import uuid

import duckdb
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import torrelm
from torrelm import IndexBuilder

from test_layout import reference_index


def random_rows(seed, n=400, uuids=False):
    rng = random.Random(seed)
    words = ["cat", "car", "cart", "catalog", "dog", "été", "ёлка", "日本", "日本語", "\U0001f600"]
    videos = [uuid.UUID(int=rng.getrandbits(128)).bytes for _ in range(40)] if uuids else \
        [rng.choice([0, 1, 2**32 - 1]) + rng.randrange(1000) * (1 - 2 * (rng.random() < 0))
         for _ in range(40)]
    videos = [v if uuids else min(max(v, 0), 2**32 - 1) for v in videos]
    return [(rng.choice(words) + rng.choice(["", "s", " x"]), rng.choice(videos),
             rng.choice([0, 1, 5, 2**31, 2**32 - 1])) for _ in range(n)]


def columns_of(rows):
    return {"term": [r[0] for r in rows], "video": [r[1] for r in rows],
            "count": [r[2] for r in rows]}


SOURCES = {
    "triples": lambda rows: rows,
    "lists": columns_of,
    "numpy": lambda rows: {"term": np.array([r[0] for r in rows], dtype=object),
                           "video": np.array([r[1] for r in rows], dtype=np.uint32),
                           "count": np.array([r[2] for r in rows], dtype=np.int64)},
    "pyarrow table": lambda rows: pa.table(columns_of(rows)),
    "pyarrow large strings": lambda rows: pa.table(
        {**columns_of(rows), "term": pa.array([r[0] for r in rows], pa.large_string())}),
    "pyarrow string views": lambda rows: pa.table(
        {**columns_of(rows), "term": pa.array([r[0] for r in rows], pa.string_view())}),
    "pyarrow dictionary": lambda rows: pa.table(
        {**columns_of(rows), "term": pa.array([r[0] for r in rows]).dictionary_encode()}),
    "pyarrow batches": lambda rows: pa.RecordBatchReader.from_batches(
        pa.table(columns_of(rows)).schema, pa.table(columns_of(rows)).to_batches(max_chunksize=37)),
    "pyarrow record batch": lambda rows: pa.RecordBatch.from_pydict(columns_of(rows)),
    "polars": lambda rows: pl.DataFrame(columns_of(rows)),
    "pandas": lambda rows: pd.DataFrame(columns_of(rows)),
    "duckdb": lambda rows: duckdb.connect().sql(
        "SELECT * FROM t ORDER BY rowid") if False else _duckdb(rows),
}


def _duckdb(rows):
    connection = duckdb.connect()
    connection.execute("CREATE TABLE t (i INTEGER, term VARCHAR, video UBIGINT, count UBIGINT)")
    connection.executemany("INSERT INTO t VALUES (?, ?, ?, ?)",
                           [(i, *row) for i, row in enumerate(rows)])
    return connection.sql("SELECT term, video, count FROM t ORDER BY i")


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("seed", [1, 2])
def test_every_source_builds_the_index_of_its_rows(source, seed):
    rows = random_rows(seed)
    builder = IndexBuilder()
    builder.add_many(rows)
    want = builder.build(video_top_n=3).to_bytes()
    assert want == reference_index(rows, None, 3).to_bytes()
    assert torrelm.build(SOURCES[source](rows), video_top_n=3).to_bytes() == want


@pytest.mark.parametrize("source", ["triples", "lists", "pyarrow table"])
def test_sixteen_byte_ids(source):
    rows = random_rows(3, uuids=True)
    want = reference_index(rows).to_bytes()
    if source == "pyarrow table":
        data = pa.table({**columns_of(rows),
                         "video": pa.array([r[1] for r in rows], pa.binary(16))})
    else:
        data = SOURCES[source](rows)
    assert torrelm.build(data).to_bytes() == want
    as_uuids = [(t, uuid.UUID(bytes=v), c) for t, v, c in rows]
    assert torrelm.build(as_uuids).to_bytes() == want


def test_totals_column():
    rows = [("cat", 1, 6), ("cat", 2, 4), ("car", 2, 5)]
    totals = {"cat": 20, "car": 5}
    want = reference_index(rows, totals).to_bytes()
    with_totals = [(t, v, c, totals[t]) for t, v, c in rows]
    names = ("term", "video", "count", "total")
    assert torrelm.build(with_totals, columns=names).to_bytes() == want
    table = pa.table({**columns_of(rows), "total": [totals[r[0]] for r in rows]})
    assert torrelm.build(table, columns=names).to_bytes() == want
    renamed = table.rename_columns(["q", "v", "n", "t"])
    assert torrelm.build(renamed, columns=("q", "v", "n", "t")).to_bytes() == want


@pytest.mark.parametrize(
    "rows, error, message",
    [
        ([("cat", 1, 1), ("", 1, 1)], ValueError, "row 1: term '': an empty term cannot be indexed"),
        ([("a\0b", 1, 1)], ValueError, "row 0: term 'a\\0b': a term cannot contain"),
        ([("a", 1, 1), ("b", -2**63 - 1, 1)], ValueError,
         "row 1: column 'video': -9223372036854775809 is out of range"),
        ([("a", 2**64, 1)], ValueError,
         "row 0: column 'video': 18446744073709551616 is out of range"),
        ([("a", 1, -5)], ValueError, "row 0: column 'count': -5 is negative"),
        ([("a", 1, 1.5)], TypeError, "row 0: column 'count': expected an int, not float"),
        ([("a", 1, True)], TypeError, "row 0: column 'count': expected an int, not bool"),
        ([("a", 1.5, 1)], TypeError, "row 0: column 'video': expected an int"),
        ([("a", "x", 1), ("b", 1.5, 1)], TypeError, "row 1: column 'video': expected an int"),
        ([("a", b"short", 1)], ValueError, "row 0: column 'video': b'short': a bytes id must be"),
        ([(None, 1, 1)], TypeError, "row 0: column 'term': expected str, not NoneType"),
        ([("a", 1, 1), ("b", bytes(16), 1)], ValueError, "row 1: column 'video': this row holds"),
        ([("a", 1)], TypeError, "row 0: expected (term, video, count), got 2 values"),
        ([("a", 1, 5, 2)], TypeError, "row 0: expected (term, video, count), got 4 values"),
        (pa.table({"term": ["a", None], "video": [1, 2], "count": [1, 1]}), ValueError,
         "row 1: column 'term' is null"),
        (pa.table({"term": ["a"], "video": [1], "count": [-3]}), ValueError,
         "row 0: column 'count': -3 is negative"),
        (pa.table({"term": ["a"], "video": [1.0], "count": [3]}), ValueError,
         "column 'video' has Arrow type 'g'"),
        (pa.table({"term": ["a"], "vid": [1], "count": [3]}), ValueError, "no column 'video'"),
        ({"term": ["a", "b"], "video": [1], "count": [1, 1]}, ValueError,
         "columns differ in length"),
        ({"term": "ab", "video": [1, 2], "count": [1, 1]}, TypeError,
         "column 'term' must be a sequence of values, not one str"),
        ({"term": ["a"], "count": [1]}, ValueError, "no column 'video'"),
        (5, TypeError, "rows must export Arrow data"),
    ],
)
def test_bad_rows_name_row_column_and_value(rows, error, message):
    with pytest.raises(error) as caught:
        torrelm.build(rows)
    assert str(caught.value).startswith(message), str(caught.value)


def test_a_total_below_the_counts_names_the_term():
    with pytest.raises(ValueError, match="term 'cat': total_count 5 is below the sum of its "
                                         "video counts, 10"):
        torrelm.build([("cat", 1, 10, 5)], columns=("term", "video", "count", "total"))


def test_counts_of_one_pair_add_up_and_saturate():
    index = torrelm.build([("cat", 1, 2**32 - 1), ("cat", 1, 5), ("cat", 2, 2**32 - 2)])
    assert index.to_bytes() == reference_index([("cat", 1, 2**32 - 1), ("cat", 2, 2**32 - 2)]
                                               ).to_bytes()


def test_progress_sees_batches_and_stages():
    calls = []
    rows = pa.table(columns_of(random_rows(5, n=3000))).to_batches(max_chunksize=1000)
    reader = pa.RecordBatchReader.from_batches(rows[0].schema, rows)
    torrelm.build(reader, progress=lambda *call: calls.append(call))
    assert [call for call in calls if call[0] == "read"] == [("read", 1000, 0), ("read", 2000, 0),
                                                             ("read", 3000, 0)]
    assert calls[-1][0] == "propagate" and calls[-1][1] == calls[-1][2]


def test_an_exception_in_progress_stops_the_build():
    def fail(stage, done, total):
        raise KeyError(stage)
    with pytest.raises(KeyError):
        torrelm.build(pa.table(columns_of(random_rows(6))), progress=fail)


def test_a_stream_is_consumed_once():
    stream = pa.table(columns_of(random_rows(7))).__arrow_c_stream__()
    table = torrelm._native.RowTable()
    table.add_arrow_stream(stream, "term", "video", "count", None, None)
    with pytest.raises(ValueError, match="already consumed"):
        table.add_arrow_stream(stream, "term", "video", "count", None, None)


def test_empty_sources_build_an_empty_index():
    for rows in ([], {"term": [], "video": [], "count": []},
                 pa.table({"term": pa.array([], pa.string()), "video": pa.array([], pa.uint32()),
                           "count": pa.array([], pa.int64())})):
        assert torrelm.build(rows).fuzzy_match("", 3) == []


@pytest.mark.parametrize("raw", [True, False])
def test_the_command_line_builds_from_parquet_and_csv(tmp_path, raw):
    rows = random_rows(8, n=300)
    connection = duckdb.connect()
    connection.execute("CREATE TABLE t (term VARCHAR, video UBIGINT, count UBIGINT)")
    connection.executemany("INSERT INTO t VALUES (?, ?, ?)", rows)
    if raw:  # one row per click: counts small enough to spell out
        connection.execute("CREATE TABLE clicks AS SELECT term, video FROM t, "
                           "range(CAST(count % 4 AS BIGINT)) WHERE count % 4 > 0")
        source = "clicks"
    else:
        source = "t"
    connection.execute(f"COPY (SELECT * FROM {source} LIMIT 150) TO '{tmp_path}/a.parquet' "
                       "(FORMAT PARQUET)")
    connection.execute(f"COPY (SELECT * FROM {source} OFFSET 150) TO '{tmp_path}/b.csv' "
                       "(HEADER)")
    output = tmp_path / "videos.idx"
    done = subprocess.run([sys.executable, "-m", "torrelm", "build", str(tmp_path / "a.parquet"),
                           str(tmp_path / "*.csv"), "-o", str(output), "--video-top-n", "4"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    counted = "count(*)" if raw else "sum(count)"
    want = connection.sql(f"SELECT term, video, {counted} AS count FROM {source} "
                          "GROUP BY ALL ORDER BY term, video").fetchall()
    assert torrelm.load(output).to_bytes() == reference_index(want, None, 4).to_bytes()


@pytest.mark.no_sanitizer
def test_the_command_line_explains_its_errors(tmp_path):
    def run(*args):
        return subprocess.run([sys.executable, "-m", "torrelm", "build", *args],
                              capture_output=True, text=True)
    missing = run(str(tmp_path / "nothing.parquet"), "-o", str(tmp_path / "x.idx"))
    assert missing.returncode != 0 and "no such file" in missing.stderr
    duckdb.sql(f"COPY (SELECT 'a' AS query, 1 AS video) TO '{tmp_path}/q.parquet' (FORMAT PARQUET)")
    no_term = run(str(tmp_path / "q.parquet"), "-o", str(tmp_path / "x.idx"))
    assert no_term.returncode != 0 and "no column term" in no_term.stderr
    renamed = run(str(tmp_path / "q.parquet"), "-o", str(tmp_path / "x.idx"), "--sql",
                  "SELECT query AS term, video, count(*) AS count FROM clicks GROUP BY ALL")
    assert renamed.returncode == 0, renamed.stderr
    assert torrelm.load(tmp_path / "x.idx").fuzzy_match("a", 0) == [("a", 1, 0)]

"""The mapped titles file (torrelm._serve.titles): what Titles.lookup answers is what a dict built
from the same rows answers, over random videos files, and the files it cannot take are refused
with the error the service reports."""

import csv
import gzip
import os
import random

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from torrelm._serve import titles
from torrelm._serve.titles import Titles, convert

# Reaches no native code of torrelm's: the sanitizer job leaves it out.
pytestmark = pytest.mark.no_sanitizer

LETTERS = "abcxyzéßЖ日本😀 ,\"'[]*?"


def random_rows(rng, ints):
    """Rows (id, title, thumbnail, url) with repeated ids, missing and empty values; ids all
    ints or mostly text. Every text value starts and ends with a letter, so that a CSV column
    of them is read as text, untrimmed."""
    def text():
        inner = "".join(rng.choice(LETTERS) for _ in range(rng.randrange(0, 12)))
        return rng.choice("aé日") + inner + rng.choice("zЖ")

    def value():
        return rng.choice([None, "", text(), text()])

    pool = ([rng.randrange(-10**12, 10**12) for _ in range(rng.randrange(1, 60))] if ints else
            [text() for _ in range(rng.randrange(1, 60))] + [7, 12345, None, ""])
    return [(rng.choice(pool), *(value() for _ in range(3)))
            for _ in range(rng.randrange(0, 200))]


def write(path, rows, parquet, compress):
    columns = list(zip(*rows)) if rows else [[]] * 4
    if parquet:
        ids = columns[0]
        if not all(isinstance(v, int) or v is None for v in ids):
            ids = [v if v is None else str(v) for v in ids]
        pq.write_table(pa.table({"id": pa.array(ids),
                                 **{name: pa.array(values, pa.string())
                                    for name, values in zip(("Title", "thumbnail", "URL"),
                                                            columns[1:])}}), path)
    else:
        with (gzip.open if compress else open)(path, "wt", newline="", encoding="utf-8") as out:
            writer = csv.writer(out)
            writer.writerow(("id", "title", "thumbnail", "url"))
            writer.writerows([["" if v is None else v for v in row] for row in rows])


def expected(rows):
    """The rows as the service would keep them in a dict: text ids, the last row of an id
    winning, no row for a missing or empty id, an empty value a missing one."""
    table = {}
    for video, *values in rows:
        if video is not None and str(video) != "":
            table[str(video)] = tuple(value or None for value in values)
    return table


@pytest.mark.parametrize("weak_hash", [False, True], ids=["crc-adler", "length-as-hash"])
def test_lookup_answers_as_a_dict_of_the_same_rows(tmp_path, monkeypatch, weak_hash):
    if weak_hash:
        # Every id shares its hash with the ids of its length (and its bucket with no other
        # length): runs of equal hashes, in which rows are told apart by their ids, both when
        # duplicates are dropped and when looked up.
        monkeypatch.setattr(titles, "_hash", lambda video: len(video) * 0x0101010101010101)
    rng = random.Random(20240611 + weak_hash)
    target = str(tmp_path / "titles.bin")
    # Brackets make a glob of the name: the decoy is what a glob would read instead.
    source = str(tmp_path / "videos[1].data")
    (tmp_path / "videos1.data").write_text("id,title\ndecoy,decoy\n")
    previous = None
    for trial in range(16):
        rows = random_rows(rng, ints=trial % 4 == 0)
        write(source, rows, parquet=trial % 2 == 1, compress=trial % 4 == 2)
        table = expected(rows)
        assert convert(source, target) == len(table)
        found = Titles.open(target)
        assert len(found) == len(table)
        asked = [*table, "decoy", "", "nope", "a\udc80z", -1, 7, "7", 12345]
        asked += [int(video) for video in table if video.lstrip("-").isdigit()]
        rng.shuffle(asked)
        assert found.lookup(asked) == [table.get(str(video)) for video in asked]
        assert found.source.inode == os.stat(source).st_ino
        # Converting a newer file over the one mapped leaves the old mapping whole.
        if previous is not None:
            old, old_table = previous
            assert old.lookup(list(old_table)) == list(old_table.values())
        previous = found, table
    assert sorted(os.listdir(tmp_path)) == ["titles.bin", "videos1.data", "videos[1].data"]


def test_refusals(tmp_path):
    def file(name, content):
        path = tmp_path / name
        path.write_bytes(content)
        return str(path)

    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    good = file("good.csv", b"id,title\n1,one\n")
    convert(good, str(tmp_path / "good.titles"))
    whole = (tmp_path / "good.titles").read_bytes()
    cases = [
        (convert, file("no-title.csv", b"ID,name\n1,a\n"), ValueError, r"no column 'title'.*'ID'"),
        (convert, file("empty.csv", b""), ValueError, "no column 'id' or 'title'"),
        (convert, file("bad.parquet", b"PAR1" + bytes(100)), ValueError, "not a table DuckDB"),
        (convert, fifo, ValueError, "not a regular file"),
        (convert, str(tmp_path / "missing.csv"), FileNotFoundError, "missing"),
        (Titles.open, good, ValueError, "not a titles file"),
        (Titles.open, file("cut.titles", whole[:-1]), ValueError, "cut short"),
        (Titles.open, file("long.titles", whole + b"\0"), ValueError, "past its end"),
        (Titles.open, fifo, ValueError, "not a regular file"),
    ]
    for call, path, error, message in cases:
        target = str(tmp_path / "out.titles")
        with pytest.raises(error, match=message) as raised:
            call(path, target) if call is convert else call(path)
        assert "/proc/self/fd" not in str(raised.value)
        assert not os.path.exists(target)
    assert not [name for name in os.listdir(tmp_path) if name.endswith(".tmp")]

"""python -m torrelm build on hostile input: every mistake is one line on standard error and
exit status 1 (2 for usage), never a traceback, a hang or a silently wrong index; what the
library takes (negative ids, counts past 2**64-1), the command takes too."""

import gzip
import os
import subprocess
import sys

import pytest

import torrelm

duckdb = pytest.importorskip("duckdb")

FIFO = object()  # a file entry that is made a FIFO

# (arguments, files by name: SQL written as Parquet, bytes as they are, or FIFO; exit status;
#  a fragment of the one error line, or the (term, video, count) rows the index must equal)
CASES = [
    (["v.parquet"], {"v.parquet": "SELECT 'cat' AS term, 1.5::DOUBLE AS video"}, 1,
     "column video has type DOUBLE"),
    (["t.parquet"], {"t.parquet": "SELECT 'c' || chr(0) || 't' AS term, 1 AS video"}, 1,
     "U+0000"),
    (["c.parquet"], {"c.parquet": "SELECT 'cat' AS term, 1 AS video, -0.4::DOUBLE AS count"}, 1,
     "count -0.4 of term 'cat', video 1 is not a whole number"),
    (["c.csv"], {"c.csv": b"term,video,count\ncat,1,2\ncat,2,abc\n"}, 1, "count 'abc'"),
    (["c.parquet"], {"c.parquet": "SELECT 'cat' AS term, 1 AS video, NULL::INT AS count"}, 1,
     "has no count"),
    (["c.parquet"], {"c.parquet": "SELECT 'cat' AS term, 1 AS video, -3 AS count"}, 1,
     "count -3 of term 'cat', video 1 is negative"),
    (["e.parquet"], {"e.parquet": "SELECT 'cat' AS term, 1 AS video WHERE false"}, 1,
     "no rows to index"),
    (["q.parquet"], {"q.parquet": "SELECT 'cat' AS query, 1 AS video"}, 1, "no column term"),
    (["pipe.csv"], {"pipe.csv": FIFO}, 1, "a FIFO, not a regular file"),
    (["bad.csv"], {"bad.csv": b"term,video\ncat,1\nc\xffat,2\n"}, 1, "bad.csv"),
    (["c.csv", "-o", "."], {"c.csv": b"term,video\ncat,1\n"}, 1, "is a folder"),
    (["c.csv", "-o", "none/out.idx"], {"c.csv": b"term,video\ncat,1\n"}, 1, "no folder"),
    (["c.csv", "-o", "c.csv"], {"c.csv": b"term,video\ncat,1\n"}, 1, "one of the input files"),
    # The pairs file is written after the whole log was read: a FIFO would hang the build, an
    # input or the index be overwritten by it.
    (["c.csv", "--merge-variants", "--merged-pairs", "p.csv"],
     {"c.csv": b"term,video\ncat,1\n", "p.csv": FIFO}, 1,
     "--merged-pairs 'p.csv' is a FIFO, not a regular file"),
    (["c.csv", "--merge-variants", "--merged-pairs", "."], {"c.csv": b"term,video\ncat,1\n"}, 1,
     "--merged-pairs '.' is a folder"),
    (["c.csv", "--merge-variants", "--merged-pairs", "/dev/null"],
     {"c.csv": b"term,video\ncat,1\n"}, 1, "--merged-pairs '/dev/null' is a character device"),
    (["c.csv", "--merge-variants", "--merged-pairs", "c.csv"], {"c.csv": b"term,video\ncat,1\n"},
     1, "--merged-pairs c.csv is one of the input files"),
    (["c*.csv", "--merge-variants", "--merged-pairs", "c2.csv"],
     {"c1.csv": b"term,video\ncat,1\n", "c2.csv": b"term,video\ncar,1\n"}, 1,
     "--merged-pairs c2.csv is one of the input files"),
    (["c.csv", "--merge-variants", "--merged-pairs", "out.idx"],
     {"c.csv": b"term,video\ncat,1\n"}, 1, "--merged-pairs out.idx is the output file (-o)"),
    (["c.csv", "--sql", "SELEC term"], {"c.csv": b"term,video\ncat,1\n"}, 1, "syntax error"),
    (["c.csv", "--sql", "SELECT term, video FROM clicks"], {"c.csv": b"term,video\ncat,1\n"}, 1,
     "no column count"),
    (["w.parquet", "--word-starts", "--normalize", "none"],
     {"w.parquet": "SELECT 'cat' || chr(31) || 'videos' AS term, 1 AS video UNION ALL "
                   "SELECT 'funny cat' || chr(31) || 'videos', 2"}, 1,
     "term 'funny cat\\x1fvideos': with word starts, a word after the first cannot contain "
     "the character U+001F"),
    (["c.csv", "--video-top-n", str(2**32)], {"c.csv": b"term,video\ncat,1\n"}, 2,
     "--video-top-n"),
    # Expected rows in (term, video) order, the order the command numbers videos in.
    (["n.csv"], {"n.csv": b"term,video,count\ncat,-5,2\ncar,-9223372036854775808,1\ncat,7,1\n"},
     0, [("car", -2**63, 1), ("cat", -5, 2), ("cat", 7, 1)]),
    (["h.parquet"], {"h.parquet": "SELECT 'cat' AS term, 1 AS video, 18446744073709551615 AS count "
                                  "UNION ALL SELECT 'cat', 1, 5 UNION ALL SELECT 'car', 2, 3.0"},
     0, [("car", 2, 3), ("cat", 1, 2**64 - 1)]),
    (["e.parquet", "--allow-empty"], {"e.parquet": "SELECT 'cat' AS term, 1 AS video WHERE false"},
     0, []),
    # A file named is the file read, though DuckDB would take its name for a pattern that
    # matches another file (or that one and others).
    (["a[1].csv"], {"a[1].csv": b"term,video,count\nright,1,1\n",
                    "a1.csv": b"term,video,count\nwrong,2,1\n"}, 0, [("right", 1, 1)]),
    (["a*.csv"], {"a*.csv": b"term,video,count\nright,1,1\n",
                  "ab.csv": b"term,video,count\nwrong,2,1\n"}, 0, [("right", 1, 1)]),
    (["a?.csv"], {"a?.csv": b"term,video,count\nright,1,1\n",
                  "ab.csv": b"term,video,count\nwrong,2,1\n"}, 0, [("right", 1, 1)]),
    (["z[1].csv.gz", "a?.parquet"],
     {"z[1].csv.gz": gzip.compress(b"term,video,count\nright,1,1\n"),
      "z1.csv.gz": gzip.compress(b"term,video,count\nwrong,2,1\n"),
      "a?.parquet": "SELECT 'also' AS term, 3 AS video, 2 AS count",
      "ab.parquet": "SELECT 'wrong' AS term, 2 AS video, 1 AS count"}, 0,
     [("also", 3, 2), ("right", 1, 1)]),
    (["c[1].csv"], {"c[1].csv": b"term,video\ncat,1\nc\xffat,2\n", "c1.csv": b"term,video\ncat,1\n"},
     1, "(in c[1].csv)"),
    # Clicks weighed by age: each (term, video)'s weighed sum rounded, halves up; a sum that
    # rounds to 0 left out. Yesterday's 1,000 clicks pass a year-old 3,000 at a week's half-life.
    (["w.parquet", "--time-column", "T", "--half-life", "7d", "--now", "2026-12-08"],
     {"w.parquet": "SELECT * FROM (VALUES ('new', 'a', 1000, TIMESTAMP '2026-12-07'), "
      "('old', 'b', 3000, TIMESTAMP '2025-12-08'), ('new', 'a', 10, TIMESTAMP '2026-12-01'), "
      "('new', 'c', 4, TIMESTAMP '2026-12-15')) v(term, video, count, t)"}, 0,
     [("new", "a", int(1000 * 0.5 ** (1 / 7) + 10 * 0.5 + 0.5)), ("new", "c", 4)]),
    # Raw clicks at seconds since the epoch; now is the newest click's time by default.
    (["r.csv", "--time-column", "at", "--half-life", "1 day"],
     {"r.csv": b"term,video,at\nx,v,0\nx,v,86400\ny,w,86400\nz,u,-86400\n"}, 0,
     [("x", "v", 2), ("y", "w", 1)]),
    (["r.csv", "--time-column", "when", "--half-life", "7d"],
     {"r.csv": b"term,video,at\nx,v,0\n"}, 1, "--time-column when: no such column"),
    (["r.parquet", "--time-column", "at", "--half-life", "7d"],
     {"r.parquet": "SELECT 'x' AS term, 1 AS video, NULL::TIMESTAMP AS at UNION ALL "
      "SELECT 'y', 2, TIMESTAMP '2026-01-01'"}, 1, "a row of term x has no time"),
    (["r.csv", "--time-column", "at", "--half-life", "7"], {"r.csv": b"term,video,at\nx,v,0\n"},
     2, "is not a duration"),
    (["r.csv", "--now", "2026-01-01"], {"r.csv": b"term,video,at\nx,v,0\n"}, 2,
     "--now needs --time-column"),
]


# Refused by the command itself (its checks of columns, values and files, DuckDB's SQL, argparse)
# before any native code runs: the sanitizer job, which starts every interpreter many times slower,
# leaves these out. The refusals that native code makes, and the builds, it runs.
REFUSED_IN_PYTHON = {"column video has type DOUBLE", "is not a whole number", "has no count",
                     "no rows to index", "no column term", "a FIFO, not a regular file", "bad.csv",
                     "is a folder", "no folder", "one of the input files", "syntax error",
                     "no column count", "--video-top-n", "--merged-pairs", "--time-column",
                     "has no time", "is not a duration", "--now needs"}


def marks(case):
    refused = case[2] and any(fragment in case[3] for fragment in REFUSED_IN_PYTHON)
    return [pytest.mark.no_sanitizer] if refused else []


def answers(index, terms):
    return list(index), [index.videos(t) for t in terms], [index.complete(t) for t in terms]


@pytest.mark.parametrize("arguments, files, status, expected",
                         [pytest.param(*case, marks=marks(case)) for case in CASES],
                         ids=[case[3] if case[2] else " ".join(case[0]) for case in CASES])
def test_build_command_on_hostile_input(tmp_path, arguments, files, status, expected):
    for name, content in files.items():
        if content is FIFO:
            os.mkfifo(tmp_path / name)
        elif isinstance(content, bytes):
            (tmp_path / name).write_bytes(content)
        else:
            duckdb.sql(f"COPY ({content}) TO '{tmp_path / name}' (FORMAT PARQUET)")
    output = [] if "-o" in arguments else ["-o", "out.idx"]
    package_root = os.path.dirname(os.path.dirname(torrelm.__file__))
    done = subprocess.run([sys.executable, "-m", "torrelm", "build", "-q", *arguments, *output],
                          cwd=tmp_path, capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONPATH": package_root})
    assert done.returncode == status, done.stderr
    if status:
        assert "Traceback" not in done.stderr and done.stderr.count("\n") == 1, done.stderr
        assert "build: error: " in done.stderr and expected in done.stderr, done.stderr
        assert not (tmp_path / "out.idx").exists()
        assert all((tmp_path / name).is_fifo() for name, c in files.items() if c is FIFO)
        assert all((tmp_path / name).read_bytes() == c for name, c in files.items()
                   if isinstance(c, bytes))  # no input was written over
        return
    built = torrelm.load(tmp_path / "out.idx")
    terms = sorted({term for term, _, _ in expected}) + ["ca", ""]
    assert answers(built, terms) == answers(torrelm.build(expected), terms)

"""Index files: save, open (mapped) and load (owned) give back the same index for every kind of
video id; whatever else a file holds (a flipped byte, a cut, a newer format, another program, an
index that would hang a query) is refused with ValueError when checked; an open index outlives
its file being replaced; pickles carry the whole index."""

import os
import pickle
import random
import re
import stat
import struct
import uuid

import pytest

import torrelm
from _torrelm import PrefixSearch
from torrelm import Index, IndexBuilder
from torrelm._native import external_ids_section

from conftest import run_child

SELF_LISTING = bytes([1, 0, 1, ord("a"), 2, 0, 0, 1, 0, 0, 0, 1, 1, 1])
INCONSISTENT = bytes([2, 0, 5, 2, 0, ord("a"), 1, 1, 2, 0, 0, 0, 0, 1, 2, 0, 1])


def vocabulary_rows(seed, videos=40):
    rng = random.Random(seed)
    words = sorted({"".join(rng.choices("abcdeé", k=rng.randint(1, 7))) for _ in range(300)})
    return [(w, rng.randrange(videos), rng.randint(1, 50)) for w in words for _ in range(3)]


def index_with_ids(kind, seed=5):
    """An index over places 0..n-1, named by ids of `kind`, and the ids by place."""
    rows = vocabulary_rows(seed)
    builder = IndexBuilder()
    places: dict[int, int] = {}
    for term, video, count in rows:
        builder.add(term, places.setdefault(video, len(places)), count)
    index = builder.build(video_top_n=5)
    n = len(places)
    ids = {
        "int32": None,
        "uuid": None,
        "str": [f"slug-{i:03d}-é" for i in range(n)],
        "int64": [-(2**63) + i * 7 for i in range(n)],
        "uint64": [2**64 - 1 - i for i in range(n)],
    }[kind]
    if kind == "uuid":
        builder = IndexBuilder()
        for term, video, count in rows:
            builder.add(term, uuid.UUID(int=places[video] + 1), count)
        return builder.build(video_top_n=5), None
    if ids is None:
        return index, None
    return index._with_extras(external_ids_section(ids), '{"video_top_n": 5}'), ids


def answers(index):
    queries = ["a", "ab", "cé", "dd", "e", "bca", ""]
    return ([index.fuzzy_match(q, 1) for q in queries],
            [index.fuzzy_match_video(q, 1, limit=8) for q in queries],
            list(index), len(index))


def sections(data):
    """(kind, offset, length) of every entry of a container's section table."""
    count = struct.unpack_from("<I", data, 20)[0]
    return [struct.unpack_from("<IIQQ", data, 40 + 40 * i)[::1][:1] +
            struct.unpack_from("<IIQQ", data, 40 + 40 * i)[2:] for i in range(count)]


@pytest.mark.parametrize("kind", ["int32", "uuid", "str", "int64", "uint64"])
def test_save_open_load_and_pickle_give_back_the_same_index(tmp_path, kind):
    index, ids = index_with_ids(kind)
    path = tmp_path / "videos.idx"
    torrelm.save(index, path)
    expected = answers(index)
    if ids is not None:  # the site's ids come back as given, with their own type
        videos = {v for found in expected[1] for v, _ in found}
        assert videos and videos <= set(ids)
    mapped, owned = torrelm.open(path), torrelm.load(path)
    unchecked = torrelm.open(path, verify=False)
    assert (mapped.storage, mapped.path, owned.storage, owned.path) == (
        "mapped", str(path), "owned", None)
    for other in [mapped, owned, unchecked, pickle.loads(pickle.dumps(mapped)),
                  Index.from_bytes(path.read_bytes())]:
        assert answers(other) == expected
        assert other.metadata == index.metadata
        assert other.to_container() == index.to_container()
    shown = repr(mapped)
    assert f"ids={kind}" in shown and f"path={str(path)!r}" in shown


def test_saved_files_keep_the_search_counts_and_checked_reads_check_them(tmp_path):
    index, _ = index_with_ids("str")
    data = index.to_container()
    table = {kind: (offset, length) for kind, offset, length in sections(data)}
    assert {18, 19} <= set(table)  # the 64-bit term and best counts
    path = tmp_path / "counted.idx"
    torrelm.save(index, path)

    def same_searches(reopened):
        for prefix in ["", "a", "cé"]:
            assert reopened.complete(prefix, limit=7) == index.complete(prefix, limit=7)
            assert reopened.suggest(prefix, max_dist=1) == index.suggest(prefix, max_dist=1)

    for reopened in [torrelm.open(path, verify=False), torrelm.open(path)]:
        same_searches(reopened)
        assert reopened.metadata["term_counts"] == "exact"

    # A count changed by one no longer adds up to the totals.
    offset, length = table[18]
    counts = list(struct.unpack_from(f"<{length // 8}Q", data, offset))
    damaged = bytearray(data)
    struct.pack_into("<Q", damaged, offset + 8 * counts.index(max(counts)), max(counts) + 1)
    rewritten = Index.from_bytes(bytes(damaged), verify=False).to_container()  # checksums agree
    with pytest.raises(ValueError, match="search counts disagree with the index at node"):
        Index.from_bytes(rewritten)

    # The 32-bit sections of version 1.1, derived from the totals (here they agree), still lead
    # the searches, and the index says its counts are derived.
    older = bytearray(data)
    for entry, (kind, offset, length) in enumerate(sections(data)):
        if kind in (18, 19):
            values = struct.unpack_from(f"<{length // 8}Q", data, offset)
            older[offset:offset + length] = struct.pack(f"<{len(values)}I", *values).ljust(length, b"\0")
            struct.pack_into("<IIQQ", older, 40 + 40 * entry, kind - 2, 0, offset, length // 2)
    end = max(offset + length for _, offset, length in sections(older))
    reread = Index.from_bytes(bytes(older[:end]), verify=False)
    same_searches(reread)
    assert reread.metadata["term_counts"] == "derived"


def test_an_open_index_outlives_its_file_being_replaced(tmp_path):
    path = tmp_path / "videos.idx"
    first, _ = index_with_ids("str", seed=1)
    second, _ = index_with_ids("int32", seed=2)
    torrelm.save(first, path)
    serving = torrelm.open(path)
    torrelm.save(second, path)
    assert answers(serving) == answers(first)
    assert answers(torrelm.open(path)) == answers(second)
    os.unlink(path)
    assert answers(serving) == answers(first)


def test_older_stored_form_still_loads_and_is_checked(tmp_path):
    index, _ = index_with_ids("int32")
    path = tmp_path / "old.idx"
    path.write_bytes(index.to_bytes())
    for read in [torrelm.load, torrelm.open]:
        assert answers(read(path)) == answers(index)
        assert read(path).storage == "owned"  # decoded: the older form cannot be mapped


@pytest.mark.parametrize("data, message", [
    (SELF_LISTING, "node 0, the root, is listed as a child"),
    (INCONSISTENT, "past the end of child_transitions"),
    (PrefixSearch.from_internal_data_v2(  # each node lists its child twice
        [2 * i for i in range(9)], [""] + ["a"] * 8, [None] * 8 + [(1, [0], [1])],
        [i // 2 + 1 for i in range(16)], [bytes(4)], 10).to_bytes(), "is listed"),
    (PrefixSearch.from_internal_data_v2(  # a position past the id table
        [0, 1], ["", "a"], [None, (1, [3], [1])], [1], [bytes(4)], 10).to_bytes(),
     "position 3"),
])
def test_indexes_that_would_hang_or_fault_a_query_are_refused(tmp_path, data, message):
    path = tmp_path / "bad.idx"
    path.write_bytes(data)
    for read in [torrelm.load, torrelm.open, Index.from_bytes]:
        with pytest.raises(ValueError, match=message):
            read(data if read is Index.from_bytes else path)
    # Saved as a container it is refused all the same.
    torrelm.save(Index.from_bytes(data, verify=False), path)
    with pytest.raises(ValueError, match=message):
        torrelm.open(path)


@pytest.mark.parametrize("end, links, refused", [
    ("fifo", 0, "is a FIFO"),
    ("fifo", 1, "is a FIFO"),
    ("device", 0, "is a character device"),
    ("folder", 0, "is a folder"),
    ("file", 1, None),
    ("file", 2, None),  # a chain of links
    ("missing", 2, None),  # a chain to no file yet: the file is made, the links stay
])
def test_save_writes_through_links_and_replaces_only_regular_files(tmp_path, end, links,
                                                                   refused):
    real = tmp_path / "end"
    if end == "fifo":
        os.mkfifo(real)
    elif end == "folder":
        real.mkdir()
    elif end == "device":
        if os.geteuid() != 0:
            pytest.skip("making a device node takes root")
        os.mknod(real, stat.S_IFCHR | 0o600, os.makedev(1, 3))  # another /dev/null
    elif end == "file":
        real.write_bytes(b"old contents")
        real.chmod(0o640)
    path = real
    for hop in range(links):
        path.with_name(f"link{hop}").symlink_to(path.name)
        path = path.with_name(f"link{hop}")
    before = {p.name: (p.lstat().st_ino, p.lstat().st_mode) for p in tmp_path.iterdir()}
    index = torrelm.build([("cat", 17, 6)])
    if refused:
        with pytest.raises(ValueError) as caught:
            torrelm.save(index, path)
        assert repr(str(path)) in str(caught.value) and refused in str(caught.value)
        after = {p.name: (p.lstat().st_ino, p.lstat().st_mode) for p in tmp_path.iterdir()}
        assert after == before  # untouched, and no temporary file left
        return
    torrelm.save(index, path)
    assert real.read_bytes() == index.to_container()
    assert sorted(os.listdir(tmp_path)) == sorted({*before, "end"})
    for hop in range(links):
        assert (tmp_path / f"link{hop}").lstat().st_ino == before[f"link{hop}"][0]
    if end == "file":
        assert stat.S_IMODE(real.stat().st_mode) == 0o640


def corrupted(data, rng):
    at = rng.randrange(len(data))
    flipped = bytearray(data)
    flipped[at] = (flipped[at] + rng.randrange(1, 256)) % 256
    return bytes(flipped), at


def test_every_flipped_byte_is_refused():
    index, _ = index_with_ids("str")
    data = index.to_container()
    rng = random.Random(2026)
    for _ in range(300):
        bad, at = corrupted(data, rng)
        with pytest.raises(ValueError):
            Index.from_bytes(bad)
            pytest.fail(f"byte {at} changed, loaded silently")


def cleaned_index():
    """An index with every optional section: site ids, spellings, the word-start index."""
    rows = [(f"{a} {b}", f"v{i % 7}", 1 + i % 5) for i, (a, b) in
            enumerate((a, b) for a in ["Cat", "cat", "dog", "video", "vidoe"] for b in ["a", "bé"])]
    return torrelm.build(rows, normalize="casefold", merge_variants=True, word_starts=True)


@pytest.mark.parametrize("make", [lambda: index_with_ids("str")[0], cleaned_index],
                         ids=["site ids", "cleaned"])
def test_damaged_bytes_read_unchecked_never_crash_any_reader(tmp_path, make):
    # Unchecked reads are for trusted files; a damaged one may fail a reader, but never the
    # process. Besides random bit flips, every section gets values that go down or far past its
    # arrays (range ends that fall, among them).
    index = make()
    data = index.to_container()
    spots = [offset + at for _, offset, length in sections(data) if length
             for at in (0, length // 2, length - 4) if at >= 0]
    (tmp_path / "index").write_bytes(data)
    outcome = run_child(f"""
        import pickle, random, struct
        from torrelm import Index, PanicException
        data = open({str(tmp_path / "index")!r}, "rb").read()
        rng = random.Random(7)
        damaged = []
        for spot in {spots!r}:
            for value in (0, 1, 0xFFFFFFFF):
                bad = bytearray(data)
                struct.pack_into("<I", bad, spot, value)
                damaged.append(bad)
        for _ in range(150):
            bad = bytearray(data)
            bad[rng.randrange(len(bad))] ^= 1 << rng.randrange(8)
            damaged.append(bad)
        readers = [
            lambda ix: [ix.fuzzy_match(q, 1) + ix.fuzzy_match_video(q, 1, limit=5)
                        for q in ["a", "cé", "bb", ""]],
            lambda ix: [ix.complete(q, max_dist=d) + ix.suggest(q) + ix.videos(q)
                        + list(ix.typeahead(q)) for q in ["a", "cé", "", "b", "cat a"]
                        for d in (0, 1)],
            lambda ix: (list(ix), len(ix), "ab" in ix, repr(ix), ix.metadata),
            lambda ix: ix.to_bytes(), lambda ix: ix.to_container(), lambda ix: ix.to_prefix_search(),
            lambda ix: pickle.loads(pickle.dumps(ix)),
        ]
        for bad in damaged:
            try:
                index = Index.from_bytes(bytes(bad), verify=False)
            except ValueError:
                continue
            for read in readers:
                try:
                    read(index)
                except (ValueError, MemoryError, UnicodeDecodeError, PanicException):
                    pass
        print("survived")
    """, timeout=300)
    assert outcome == "survived\n"


def resection(data, kind, new):
    """`data` with section `kind` holding `new` instead: its old bytes zeroed, the new ones at the
    end, its table entry moved last so that the table stays in the order of the offsets."""
    data = bytearray(data)
    table = sections(data)
    i = next(i for i, (k, _, _) in enumerate(table) if k == kind)
    _, offset, length = table[i]
    data[offset:offset + length] = bytes(length)
    start = -(-len(data) // 64) * 64
    data += bytes(start - len(data)) + new
    entries = [bytes(data[40 + 40 * j:80 + 40 * j]) for j in range(len(table))]
    moved = bytearray(entries.pop(i))
    struct.pack_into("<QQ", moved, 8, start, len(new))
    data[40:40 + 40 * len(table)] = b"".join(entries + [bytes(moved)])
    return bytes(data)


def rewritten(data, kind, change):
    """`data` with each u32 of section `kind` replaced by change(value)."""
    (offset, length), = [(o, n) for k, o, n in sections(data) if k == kind]
    values = struct.unpack_from(f"<{length // 4}I", data, offset)
    data = bytearray(data)
    struct.pack_into(f"<{len(values)}I", data, offset, *map(change, values))
    return bytes(data)


def word_starts_of(rows):
    index = torrelm.build(rows, word_starts=True)
    (data,) = [index.to_container()[o:o + n] for k, o, n in sections(index.to_container())
               if k == 20]
    return data


SATURATED = {"term": ["abc", "abc"], "video": [1, 2], "count": [5, 6], "total": [2**32 - 1] * 2}
TWO_TERMS = [("aa bb", 1, 5), ("aa cc", 2, 3)]
MAX = 2**32 - 1


@pytest.mark.parametrize("make, damage, harm, message", [
    # Every video count multiplied: shares of a node's searches far above 1.
    (lambda: torrelm.build(TWO_TERMS, word_starts=True),
     lambda data: rewritten(data, 9, lambda count: min(count * 10**8, MAX)),
     lambda index: index.videos("aa")[0].share > 1, "its video counts add up to"),
    # Under totals stopped at 2**32-1, counts that may add up to more, but of one video twice.
    (lambda: torrelm.build(SATURATED, columns=("term", "video", "count", "total")),
     lambda data: rewritten(rewritten(data, 8, lambda _: 0), 9, lambda _: MAX),
     lambda index: index.videos("abc")[0].share > 1, "a video is listed twice"),
    # The word starts of an index of the same shape: "yy" offers "aa bb".
    (lambda: torrelm.build(TWO_TERMS, word_starts=True),
     lambda data: resection(data, 20, word_starts_of([("xx yy", 1, 5), ("xx zz", 2, 3)])),
     lambda index: index.complete("yy") != [], "section word_starts: its term at node"),
    # ... of a larger one, naming nodes the index does not have (which queries pass by).
    (lambda: torrelm.build(TWO_TERMS, word_starts=True),
     lambda data: resection(data, 20, word_starts_of(
         [(f"w{i} x{i}", i, 1) for i in range(50)])),
     None, "section word_starts: its term at node"),
])
def test_rewritten_video_counts_and_foreign_word_starts_are_refused(tmp_path, make, damage, harm,
                                                                     message):
    # Saved again with fresh checksums, as whoever rewrote them would: only the invariants the
    # counts keep with the totals, and the word starts with the terms they name, tell.
    data = make().to_container()
    unchecked = Index.from_bytes(damage(data), verify=False)
    assert harm is None or harm(unchecked)
    path = tmp_path / "rewritten.idx"
    torrelm.save(unchecked, path)
    for read in [torrelm.open, torrelm.load, lambda p: Index.from_bytes(p.read_bytes())]:
        with pytest.raises(ValueError, match=re.escape(message)):
            read(path)
    torrelm.open(path, verify=False)  # it reads unchecked, as it did


def test_kept_walk_tables_that_disagree_with_the_index_are_refused():
    # The walk table and completion records lead every query, and nothing in the arrays would
    # show a wrong one: every bit of them is determined by the arrays, so a checked read must
    # refuse any change, even one saved again with fresh checksums.
    data = cleaned_index().to_container()
    rng = random.Random(11)
    kept = [(kind, offset, length) for kind, offset, length in sections(data) if 21 <= kind <= 24]
    assert sorted({kind for kind, _, _ in kept}) == [21, 22, 23, 24]
    for kind, offset, length in kept:
        for _ in range(25):
            bad = bytearray(data)
            bad[offset + rng.randrange(length)] ^= 1 << rng.randrange(8)
            try:
                resaved = Index.from_bytes(bytes(bad), verify=False).to_container()
            except ValueError:
                continue
            with pytest.raises(ValueError, match="disagree"):
                Index.from_bytes(resaved)


@pytest.mark.parametrize("metadata", [
    b'{"a": ' + b"[" * 40 + b"]" * 40 + b"}",  # deeper than any reader should recurse
    b'{"a": "\xff"}',  # not UTF-8
    b"[1, 2]",  # not an object
    b'{"a": }',  # not JSON
])
def test_metadata_that_does_not_read_is_refused(tmp_path, metadata):
    index, _ = index_with_ids("int32")
    padded = index._with_extras(None, '{"pad": "' + "x" * 100 + '"}')
    data = bytearray(padded.to_container())
    _, offset, length = next(s for s in sections(data) if s[0] == 13)  # metadata
    data[offset:offset + length] = metadata.ljust(length)
    unchecked = Index.from_bytes(bytes(data), verify=False)
    assert answers(unchecked) == answers(index)
    with pytest.raises(ValueError, match="section metadata"):
        unchecked.metadata
    # Saved again with fresh checksums, the file passes no checked read.
    path = tmp_path / "metadata.idx"
    torrelm.save(unchecked, path)
    for read in [torrelm.open, torrelm.load, lambda p: Index.from_bytes(p.read_bytes())]:
        with pytest.raises(ValueError, match="section metadata"):
            read(path)


def test_truncation_at_every_section_boundary_is_refused(tmp_path):
    index, _ = index_with_ids("str")
    data = index.to_container()
    cuts = {0, 8, 39, 40}
    for _, offset, length in sections(data):
        cuts |= {offset, offset + length // 2, offset + length - 1}
    cuts.discard(len(data))
    path = tmp_path / "cut.idx"
    for cut in sorted(c for c in cuts if 0 <= c < len(data)):
        path.write_bytes(data[:cut])
        for verify in [True, False]:
            with pytest.raises(ValueError):
                torrelm.open(path, verify=verify)
                pytest.fail(f"cut at {cut} opened (verify={verify})")


def test_a_newer_major_version_is_refused_and_a_newer_minor_one_read(tmp_path):
    index, _ = index_with_ids("int32")
    data = bytearray(index.to_container())
    path = tmp_path / "future.idx"
    struct.pack_into("<H", data, 8, 2)
    path.write_bytes(data)
    for verify in [True, False]:
        with pytest.raises(ValueError, match=r"format 2\.\d+ is newer than this reader \(1\.x\)"):
            torrelm.open(path, verify=verify)


@pytest.mark.parametrize("make", [
    lambda size: bytes(size),
    lambda size: bytes(8),  # reads as an index without even a root
    lambda size: open("/bin/sh", "rb").read(size),  # another program
    lambda size: b"TORRELM\x1a" + bytes(size),
])
def test_files_that_are_not_indexes_are_refused(tmp_path, make):
    path = tmp_path / "other.idx"
    path.write_bytes(make(4096))
    for read in [torrelm.load, torrelm.open]:
        with pytest.raises(ValueError):
            read(path)


def test_unknown_id_tables_are_refused():
    index, _ = index_with_ids("int32")
    for ids, error in [([1.5], TypeError), (["a", 1], TypeError), ([2**64], ValueError),
                       ([-1, 2**63], ValueError), (["x"], ValueError)]:  # too few for the videos
        with pytest.raises(error):
            index._with_extras(external_ids_section(ids))
    with pytest.raises(ValueError, match="cannot hold"):
        index._with_extras(external_ids_section([str(i) for i in range(100)])).to_bytes()

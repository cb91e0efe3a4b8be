import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

from _torrelm import PrefixSearch

from conftest import build, panic_exception

sys.path.insert(0, str(Path(__file__).parents[2] / "demo"))
from layout import with_videos  # noqa: E402

CALL = "PrefixSearch.from_bytes()"
EXAMPLE = bytes.fromhex(
    "020001" "0200c3a9" "0101" "0201fb2c01010001fb2c0101fb2c01010001fb2c01" "00" "0107" "01" "020001")


class Bytes(bytes):
    pass


def test_signatures():
    assert PrefixSearch.to_bytes.__text_signature__ == "($self)"
    assert PrefixSearch.from_bytes.__text_signature__ == "(b)"
    assert PrefixSearch.to_bytes.__doc__ is None and PrefixSearch.from_bytes.__doc__ is None


def test_the_example_reads_and_writes_back():
    index = PrefixSearch.from_bytes(EXAMPLE)
    assert index.to_bytes() == EXAMPLE
    assert index.fuzzy_match("é", 0) == [("é", 1, 0)]
    assert index.fuzzy_match_video("é", 0) == [("7", 1.0)]
    assert PrefixSearch.from_bytes(EXAMPLE + b"trailing").to_bytes() == EXAMPLE
    assert PrefixSearch.from_bytes(b=Bytes(EXAMPLE)).to_bytes() == EXAMPLE
    assert index.from_bytes(EXAMPLE).to_bytes() == EXAMPLE


def test_the_empty_encoding():
    empty = PrefixSearch.from_internal_data_v2([], [], [], [], [], 3)
    assert empty.to_bytes() == bytes(8)
    restored = PrefixSearch.from_bytes(bytes(8))
    assert restored.fuzzy_match("a") == [] and restored.fuzzy_match_video("a") == []


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, f"{CALL} missing 1 required positional argument: 'b'"),
        ((b"", b""), {}, TypeError, f"{CALL} takes 1 positional arguments but 2 were given"),
        ((), {"data": b""}, TypeError, f"{CALL} got an unexpected keyword argument 'data'"),
        ((bytearray(EXAMPLE),), {}, TypeError, "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'"),
        ((memoryview(EXAMPLE),), {}, TypeError, "argument 'b': 'memoryview' object cannot be converted to 'PyBytes'"),
        (("abc",), {}, TypeError, "argument 'b': 'str' object cannot be converted to 'PyBytes'"),
        ((b"",), {}, ValueError, "decode error: UnexpectedEnd { additional: 1 }"),
        ((b"\xfc",), {}, ValueError, "decode error: UnexpectedEnd { additional: 4 }"),
        ((b"\xfd" + (2**60).to_bytes(8, "little") + b"\x05",), {}, ValueError,
         "decode error: UnexpectedEnd { additional: 1 }"),
        ((b"\x01\xfd" + bytes(8),), {}, ValueError,
         "decode error: InvalidIntegerType { expected: U32, found: U64 }"),
        ((b"\x00\x01\xed\xa0\x80",), {}, ValueError, "decode error: InvalidCharEncoding([237, 160, 128, 0])"),
        ((bytes(3) + b"\x01\x02",), {}, ValueError,
         'decode error: UnexpectedVariant { type_name: "Optional<Payload>", allowed: Range { min: 0, max: 1 }, found: 2 }'),
        ((bytes(6) + b"\x02",), {}, ValueError,
         'decode error: UnexpectedVariant { type_name: "IdMode", allowed: Range { min: 0, max: 1 }, found: 2 }'),
        ((bytes(7) + b"\x01\x02",), {}, ValueError, "decode error: InvalidBooleanValue(2)"),
    ],
)
def test_from_bytes_errors(args, kwargs, error, message):
    with pytest.raises(error) as caught:
        PrefixSearch.from_bytes(*args, **kwargs)
    assert type(caught.value) is error
    assert str(caught.value) == message


def test_to_bytes_takes_no_arguments(index):
    with pytest.raises(TypeError):
        index.to_bytes(1)


def test_round_trips_answer_every_query_as_the_original():
    rng = random.Random(3)
    words = sorted({"".join(rng.choices("abcdeé\u0436", k=rng.randint(1, 7))) for _ in range(400)})
    for video_bytes in (4, 16):
        original = PrefixSearch.from_internal_data_v2(
            *with_videos(words, videos=300, video_bytes=video_bytes).arguments(5))
        data = original.to_bytes()
        assert data == original.to_bytes()
        restored = PrefixSearch.from_bytes(data)
        assert restored.to_bytes() == data
        for query in rng.sample(words, 40) + ["", "zz"]:
            for max_dist in (0, 1, 2):
                assert restored.fuzzy_match(query, max_dist) == original.fuzzy_match(query, max_dist)
                for flag in (None, True, False):
                    assert (restored.fuzzy_match_video(query, max_dist, 5, flag)
                            == original.fuzzy_match_video(query, max_dist, 5, flag))


def test_an_inconsistent_index_faults_and_stays_usable():
    # "ab" and "x": node "a" (1) claims children at positions 2..9 of a 3-entry list.
    data = bytearray(build(node_shifts=[0, 2, 3, 3, 3], child_labels=["", "a", "x", "b", "c"],
                           child_transitions=[1, 2, 3, 4],
                           payloads=[None, None, (1, [0], [1]), (1, [1], [1]), (1, [0], [1])]).to_bytes())
    assert data[:6] == bytes([5, 0, 2, 3, 3, 3])
    data[3] = 9  # node_shifts[2] = 9: the child list of node 1 runs from 2 to 9
    broken = PrefixSearch.from_bytes(bytes(data))
    panic = panic_exception()
    before = broken.fuzzy_match("x", 0)
    for _ in range(3):
        with pytest.raises(panic, match="index out of bounds: the len is 4 but the index is 4"):
            broken.fuzzy_match("ab")
        with pytest.raises(panic):
            broken.fuzzy_match_video("a", 1, None, True)
        assert broken.fuzzy_match("x", 0) == before


# Decodes the file named on its command line in a fresh interpreter and prints by how much that
# raised the process's peak resident memory: native allocations are out of tracemalloc's sight.
PEAK_GROWTH = """
import sys
from pathlib import Path
from _torrelm import PrefixSearch

def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) * 1024

data = Path(sys.argv[1]).read_bytes()
before = peak()
index = PrefixSearch.from_bytes(data)
print(peak() - before)
"""


@pytest.mark.skipif(not Path("/proc/self/status").exists(), reason="reads the peak from /proc")
@pytest.mark.skipif(bool(os.environ.get("TORRELM_SANITIZED")),
                    reason="the sanitizer keeps freed memory in quarantine")
def test_absent_payload_slots_take_a_fraction_of_their_bytes(tmp_path):
    # 20 million absent slots, a byte each, between empty node and video fields.
    slots = 20_000_000
    path = tmp_path / "absent.bin"
    path.write_bytes(bytes(3) + b"\xfc" + slots.to_bytes(4, "little") + bytes(slots) + bytes(4))
    child = subprocess.run([sys.executable, "-c", PEAK_GROWTH, str(path)], capture_output=True,
                           text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert child.returncode == 0, child.stderr
    # Two bits held for each: even a byte each would be too much.
    assert int(child.stdout) < slots, f"{int(child.stdout):,} bytes more at the peak"

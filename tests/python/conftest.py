import os
import subprocess
import sys
import textwrap
import unicodedata

import pytest

import torrelm
from _torrelm import PrefixSearch
from torrelm._normalize import NO_DECOMPOSITION

def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_sanitizer: reaches no native code that the other tests do not reach the same "
        "way (pure-Python paths, the service's processes, command-line errors), so the sanitizer "
        "job, where every interpreter runs many times slower, leaves it out")


# A small well-formed index: root -> c -> a -> {t, r}, with "cat" and "car" as terms.
SMALL = dict(
    node_shifts=[0, 1, 2, 4, 4],
    child_labels=["", "c", "a", "t", "r"],
    payloads=[None, None, None, (10, [0, 1], [6, 4]), (5, [1], [5])],
    child_transitions=[1, 2, 3, 4],
    video_index=[b"\x01\x00\x00\x00", b"\xff\xff\xff\xff"],
    video_top_n=10,
)


def build(**changes):
    """from_internal_data_v2 on SMALL with some arguments replaced, all passed by keyword."""
    return PrefixSearch.from_internal_data_v2(**{**SMALL, **changes})


@pytest.fixture
def index():
    return build()


def panic_exception():
    """The class of internal faults; it is deliberately not in the module namespace."""
    try:
        PrefixSearch.from_internal_data_v2([0, 5], ["", "a"], [None, None], [1], [], 1)
    except BaseException as error:  # noqa: BLE001 - that is the point
        return type(error)
    raise AssertionError("no internal fault")


def levenshtein(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        diagonal, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, diagonal + (ca != cb))
    return row[-1]


def osa(a, b):
    """Edit distance with a swap of two neighbours as one edit, no part edited twice."""
    d = [[i + j if i * j == 0 else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[-1][-1]


def run_child(code, timeout=20):
    """Runs `code` in a fresh interpreter that imports the torrelm under test and returns what
    it printed; a hang past `timeout` seconds or an error fails the test.

    Outside the sanitizer runs the child may not take more than 4 GiB, so that a reader that
    never stops fails fast instead of filling the machine's memory."""
    package_root = os.path.dirname(os.path.dirname(torrelm.__file__))
    path = [package_root, *filter(None, [os.environ.get("PYTHONPATH")])]
    prologue = ("import os, resource\n"
                "if not os.environ.get('TORRELM_SANITIZED'):\n"
                "    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))\n")
    done = subprocess.run([sys.executable, "-c", prologue + textwrap.dedent(code)],
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(path)},
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


_PLAIN = {**NO_DECOMPOSITION, **{small.upper(): base.upper() for small, base in
                                 NO_DECOMPOSITION.items() if small.upper().casefold() == small}}


def base_letter(ch):
    """`ch` without its accent, case kept, as fold-accents takes accents off (its combining marks
    dropped from NFKD, then ł, ø, ... made plain), where that leaves one letter of the same kind;
    else `ch` itself."""
    decomposed = unicodedata.normalize("NFKD", ch)
    kept = "".join(c for c in decomposed if not unicodedata.combining(c))
    folded = unicodedata.normalize("NFC", kept).translate(str.maketrans(_PLAIN))
    if len(folded) != 1 or (kept == decomposed and ch not in _PLAIN):
        return ch
    kinds = unicodedata.category(ch)[0], unicodedata.category(folded)[0]
    return folded if kinds[0] in "LM" and kinds[0] == kinds[1] else ch

"""The native code's Unicode tables (src/text/unicode_tables.cpp, generated from unicodedata)
against the unicodedata of this Python, where both are of one Unicode version: every letter with
an accent is an accent slip for its base letter, and every decimal digit of every script keeps a
slip apart while no other character does."""

import re
import sys
import unicodedata
from pathlib import Path

import pytest

import torrelm
from torrelm._native import _typo_cost

from conftest import base_letter

TABLES = Path(__file__).resolve().parents[2] / "src" / "text" / "unicode_tables.cpp"


def tables_version():
    if not TABLES.exists():
        return None
    found = re.search(r"Unicode\s+(?://\s+)?(\d+\.\d+\.\d+)", TABLES.read_text(encoding="utf-8"))
    return found and found.group(1)


pytestmark = pytest.mark.skipif(
    tables_version() != unicodedata.unidata_version,
    reason=f"the tables are of Unicode {tables_version()}, this Python's "
           f"{unicodedata.unidata_version}")

ACCENT = _typo_cost("e", "é")  # the model's weight, whatever it is


def test_every_letter_with_an_accent_is_a_slip_for_its_base_letter():
    assert 0 < ACCENT < _typo_cost("e", "a") < _typo_cost("b", "c")
    folded = [(chr(p), base_letter(chr(p))) for p in range(sys.maxunicode + 1)
              if not 0xD800 <= p <= 0xDFFF and base_letter(chr(p)) != chr(p)]
    assert len(folded) > 900  # Latin, Greek, Cyrillic, Arabic, kana, Indic scripts, ...
    wrong = [(letter, base) for letter, base in folded
             if not _typo_cost(base, letter) == _typo_cost(letter, base) == ACCENT]
    assert wrong == []


def test_decimal_digits_of_every_script_keep_slips_apart():
    # Each "item X" is one substitution from "item q", searched twenty times as often on the
    # same video: it folds into it unless X is a decimal digit.
    others = "a²½Ⅻ①٪·" + "".join(chr(p) for p in range(0x20, 0x3000)
                                  if unicodedata.category(chr(p)).startswith("N"))
    digits = [chr(p) for p in range(sys.maxunicode + 1) if unicodedata.category(chr(p)) == "Nd"]
    apart = {f"item {d}" for d in digits}
    rows = [("item q", 1, 20)] + [(term, 1, 1) for term in apart]
    rows += [(f"item {ch}", 1, 1) for ch in others if f"item {ch}" not in apart]
    index = torrelm.build(rows, merge_variants=True)
    assert set(index) == apart | {"item q"}

"""The weighted typo cost against a slow reference that sums whole units: equal costs are equal
doubles, accents and accented vowels cost what the model says, on random texts of letters that
fold to one another."""

import random
from functools import cache

from torrelm._native import _typo_cost

from conftest import base_letter

PER_EDIT = 7.0
UNITS = 100  # to one edit
DOUBLED, SWAP, VOWEL, ACCENT, OTHER = 50, 60, 60, 30, 100


def reference_units(typed, meant):
    """The cheapest alignment of `meant` to `typed` in units, every alignment tried (no part
    edited twice): the model's definition, read off directly."""
    def repeats(text, i):
        return (i > 0 and text[i - 1] == text[i]) or (i + 1 < len(text) and text[i + 1] == text[i])

    def substitution(a, b):
        if a == b:
            return 0
        if base_letter(a) == base_letter(b):
            return ACCENT
        both_vowels = base_letter(a).lower() in "aeiou" and base_letter(b).lower() in "aeiou"
        return VOWEL if both_vowels else OTHER

    @cache
    def cost(i, j):  # typed[:i] against meant[:j]
        options = []
        if i > 0:
            options.append(cost(i - 1, j) + (DOUBLED if repeats(typed, i - 1) else OTHER))
        if j > 0:
            options.append(cost(i, j - 1) + (DOUBLED if repeats(meant, j - 1) else OTHER))
        if i > 0 and j > 0:
            options.append(cost(i - 1, j - 1) + substitution(typed[i - 1], meant[j - 1]))
        if i > 1 and j > 1 and typed[i - 1] == meant[j - 2] and typed[i - 2] == meant[j - 1]:
            options.append(cost(i - 2, j - 2) + SWAP)
        return min(options, default=0)

    return cost(len(typed), len(meant))


def test_costs_equal_the_reference_exactly():
    rng = random.Random(5)
    # Vowels with and without accents, a stroke, doubled letters, a letter of another case.
    alphabet = "abeléèöoaałLÉz"
    for _ in range(4000):
        typed = "".join(rng.choices(alphabet, k=rng.randint(0, 6)))
        meant = "".join(rng.choices(alphabet, k=rng.randint(0, 6)))
        units = reference_units(typed, meant)
        got = _typo_cost(typed, meant)
        # The same double for every alignment of the same weight: summed in floating point,
        # ("aba", "bbae") came out as 11.900000000000002 and ("aba", "eabb") as 11.9.
        assert got == units / UNITS * PER_EDIT, (typed, meant)
    assert _typo_cost("aba", "bbae") == _typo_cost("aba", "eabb") == 170 / UNITS * PER_EDIT

"""Cleaning at build time against a brute-force reading of its rules: terms counted fewer than
min_count times are left out with their clicks, variants of far more searched terms fold into
them, and spellings that differ only in accents merge."""

import csv
import os
import random
import re

import pytest

import torrelm

from conftest import base_letter, osa

FAR_MORE = 50  # a term searched this many times as often takes slips that touch digits
FEW_CLICKS = 2  # ... and those whose clicks went elsewhere, this many at most
BARE_OWN_WORD = 10  # a bare spelling searched this many times as often as its twin stays apart


def one_edit(a, b):
    """None when `a` and `b` are not one OSA edit apart, else whether the edit touches a decimal
    digit: the differing middle parts, once the common prefix and suffix are taken off, are what
    the edit touched."""
    if osa(a, b) != 1:
        return None
    shorter, longer = sorted((a, b), key=len)
    p = 0
    while p < len(shorter) and shorter[p] == longer[p]:
        p += 1
    s = 0
    while s < len(shorter) - p and shorter[-1 - s] == longer[-1 - s]:
        s += 1
    touched = shorter[p:len(shorter) - s] + longer[p:len(longer) - s]
    return any(ch.isdecimal() for ch in touched)


def is_variant(t, u, counts, videos, ratio):
    """Whether t may fold into u by the rules, u being no variant itself."""
    if len(u) < 4 or counts[u] < ratio * counts[t] or counts[u] < ratio:
        return False
    far = counts[u] >= FAR_MORE * counts[t]
    digit = one_edit(t, u)
    if digit is None or (digit and not far):
        return False
    return clicks_agree(videos[t], videos[u], few_will_do=far)


def clicks_agree(clicks, others, few_will_do):
    """At least half of `clicks` (by video) went to `others`' videos, or a few went elsewhere."""
    every = sum(clicks.values())
    shared = sum(c for v, c in clicks.items() if v in others)
    return (every > 0 and 2 * shared >= every) or (few_will_do and every - shared <= FEW_CLICKS)


def merged_twins(counts, videos, kept):
    """{spelling: the spelling it merges into} for the accent twins among `kept`."""
    accented = {}  # bare form -> its most searched accented spelling, first in code point order
    for a in sorted(kept):
        bare = "".join(map(base_letter, a))
        if bare != a and (bare not in accented or counts[a] > counts[accented[bare]]):
            accented[bare] = a
    moved = {}
    for b in kept:
        a = accented.get(b)
        if a is not None and counts[b] < BARE_OWN_WORD * counts[a]:
            key, other = (b, a) if counts[b] > counts[a] else (a, b)
            if clicks_agree(videos[other], videos[key], few_will_do=True):
                moved[other] = key
    return moved


def expected(rows, min_count, ratio):
    """The terms kept with their counts, the merged (variant, term) pairs and the terms left
    out, as the rules say."""
    counts, videos, order = {}, {}, {}
    for term, video, count in rows:
        counts[term] = counts.get(term, 0) + count
        order.setdefault(term, len(order))
        videos.setdefault(term, {})
        videos[term][video] = videos[term].get(video, 0) + count
    into = {}
    most = max(counts.values())
    for t in sorted(counts, key=lambda t: -counts[t]):  # stable: first added first among ties
        if ratio is None or len(t) < 5 or counts[t] * ratio > most:
            continue
        candidates = [u for u in counts if u not in into and u != t
                      and is_variant(t, u, counts, videos, ratio)]
        if candidates:
            into[t] = max(candidates, key=lambda u: (counts[u], -order[u]))
    if ratio is not None:
        moved = merged_twins(counts, videos, [t for t in counts if t not in into])
        into = {t: moved.get(u, u) for t, u in into.items()} | moved
    grouped = {t: counts[t] for t in counts if t not in into}
    for t, u in into.items():
        grouped[u] += counts[t]
    kept = {t: c for t, c in grouped.items() if c >= min_count}
    pairs = sorted((t, u) for t, u in into.items() if u in kept)
    return kept, pairs, set(counts) - set(kept) - {t for t, _ in pairs}


def random_rows(seed):
    rng = random.Random(seed)
    base = ["funny cats", "minecraft", "iphone 12", "through", "thorough", "cooking", "pokémon",
            "iphone ١٢", "łódź", "cześć"]
    rows = []
    for word in base:
        for _ in range(rng.randint(1, 4)):
            rows.append((word, rng.randrange(6), rng.randint(20, 400)))
        bare = "".join(map(base_letter, word))
        for _ in range(rng.randint(0, 3) if bare != word else 0):  # typed without accents
            rows.append((bare, rng.randrange(6), rng.randint(5, 1500)))
        for _ in range(rng.randint(2, 8)):
            i = rng.randrange(len(word))
            edit = rng.choice(["swap", "drop", "add", "replace"])
            if edit == "swap" and i + 1 < len(word):
                typo = word[:i] + word[i + 1] + word[i] + word[i + 2:]
            elif edit == "drop":
                typo = word[:i] + word[i + 1:]
            else:
                extra = rng.choice("abcs 2é٣")
                typo = word[:i] + extra + word[i + (edit == "replace"):]
            rows.append((typo, rng.randrange(8), rng.randint(1, 30)))
    return rows


@pytest.mark.parametrize("seed", range(16))
@pytest.mark.parametrize("min_count, ratio", [(0, 10.0), (25, None), (40, 3.0), (0, 60.0)])
def test_cleaning_equals_brute_force(tmp_path, seed, min_count, ratio):
    rows = random_rows(seed)
    kept, pairs, left_out = expected(rows, min_count, ratio)
    path = tmp_path / "pairs.csv"
    index = torrelm.build(rows, min_count=min_count, merge_variants=ratio or False,
                          merged_pairs=path if ratio else None)
    assert {c.term: c.count for c in index.complete("", limit=1000)} == kept
    if ratio:
        with open(path, newline="", encoding="utf-8") as written:
            merged = sorted((row["variant"], row["term"]) for row in csv.DictReader(written))
        assert merged == pairs
        assert index.metadata["merged_terms"] == len(pairs)
    assert index.metadata.get("dropped_terms", 0) == len(left_out)


def test_cleaning_options_are_checked(tmp_path):
    os.mkfifo(tmp_path / "pipe")  # opening it to write would wait for a reader for good
    for keywords, error in [({"min_count": -1}, ValueError), ({"merge_variants": 1}, ValueError),
                            ({"merge_variants": "a"}, TypeError),
                            ({"merged_pairs": "x.csv"}, ValueError),
                            ({"merge_variants": True, "merged_pairs": tmp_path}, ValueError),
                            ({"merge_variants": True, "merged_pairs": tmp_path / "pipe"},
                             ValueError)]:
        with pytest.raises(error):
            torrelm.build([("cat", 1, 1)], **keywords)


@pytest.mark.parametrize("start", ["=", "+", "-", "@", "\t", "\r", "a", "'", " ="])
def test_merged_pairs_hold_no_spreadsheet_formula(tmp_path, start):
    # A search term is whatever anyone typed: a pair written as it is would run as a formula in
    # the spreadsheet that opens the file. Only the starts spreadsheets read as one are quoted.
    term, variant = start + "hyperlink cats", start + "hyperlink cast"
    path = tmp_path / "pairs.csv"
    torrelm.build([(term, 1, 1000), (variant, 1, 3)], merge_variants=True, merged_pairs=path)
    with open(path, newline="", encoding="utf-8") as written:
        (row,) = list(csv.DictReader(written))
    formula = start[0] in "=+-@\t\r"
    for cell, text in [(row["variant"], variant), (row["term"], term)]:
        assert cell == ("'" + text if formula else text)


def starts_of(term):
    """The term and its text from the start of each later word it is found from: the first
    eight that start within its first 64 code points."""
    return [term] + [term[i + 1:] for i, ch in enumerate(term[:63]) if ch == " " and
                     term[i + 1:i + 2] not in ("", " ")][:8]


def expected_completions(counts, prefix, limit, max_dist, order):
    from test_search import likelihood

    scored = []
    for term, count in counts.items():
        # Edits apply from the term's start; a later word must start with the text as typed.
        # (a start longer than the text by more than max_dist is further than that from it)
        within = [term[:k] for k in range(min(len(term), len(prefix) + max_dist) + 1)
                  if osa(term[:k], prefix) <= max_dist]
        within += [prefix for start in starts_of(term)[1:] if start.startswith(prefix)]
        if not within:
            continue
        if order == "likely" and max_dist > 0:
            # Equal likelihoods go to the smaller distance, then the larger count.
            best = max((likelihood(count, prefix, w), -osa(w, prefix)) for w in within)
            scored.append((-best[0], -best[1], -count, term))
        else:
            scored.append((min(osa(w, prefix) for w in within), 0, -count, term))
    return [(term, -count) for _, _, count, term in sorted(scored)[:limit]]


@pytest.mark.parametrize("seed", range(6))
def test_word_starts_complete_as_brute_force(tmp_path, seed):
    rng = random.Random(seed)
    words = ["cat", "cats", "car", "video", "videos", "funny", "a", "ca", "compilation", "żółw"]
    most_words = 4 if seed < 3 else 24  # past the words and code points word starts reach
    counts = {}
    for _ in range(60):
        term = " ".join(rng.choices(words, k=rng.randint(1, most_words)))
        counts[term] = counts.get(term, 0) + rng.randint(1, 50)
    index = torrelm.build([(t, i, c) for i, (t, c) in enumerate(counts.items())],
                          word_starts=True)
    torrelm.save(index, tmp_path / "starts.idx")
    for reread in [index, torrelm.open(tmp_path / "starts.idx")]:
        for prefix in ["", "c", "ca", "cat v", "video", "s", "a c", "fun", "com", "żó"]:
            for limit, max_dist, order in [(3, 0, "likely"), (1000, 0, "likely"),
                                           (5, 1, "distance"), (5, 1, "likely")]:
                got = reread.complete(prefix, limit=limit, max_dist=max_dist, order=order)
                assert [(c.term, c.count) for c in got] == \
                    expected_completions(counts, prefix, limit, max_dist, order), prefix


def test_word_starts_of_a_long_term_grow_with_its_length(tmp_path):
    # Every word start keeps the rest of its term: taken from each of its words, one pasted line
    # of 20,000 characters made a 3 GB file.
    term = " ".join(f"w{i}" for i in range(2000))[:4000]
    sizes = {}
    for word_starts in (False, True):
        index = torrelm.build([(term, 1, 5), ("w3 w4", 2, 9)], word_starts=word_starts)
        torrelm.save(index, tmp_path / "long.idx")
        sizes[word_starts] = (tmp_path / "long.idx").stat().st_size
    assert sizes[True] < 10 * sizes[False], sizes
    # The words it is found from are the early ones, as anyone typing it would start with.
    assert [c.term for c in index.complete("w3 w")] == ["w3 w4", term]
    assert [c.term for c in index.complete("w8 w9 w10")] == [term]


def test_word_starts_refuse_a_later_word_holding_their_separator():
    # U+001F ends each word start in the index of word starts: after it comes the term's node.
    message = ("term 'funny cat\\x1fvideos': with word starts, a word after the first cannot "
               "contain the character U+001F")
    rows = [("cat\x1fvideos", 1, 5), ("funny cat\x1fvideos", 2, 3)]
    with pytest.raises(ValueError, match=re.escape(message)):
        torrelm.build(rows, word_starts=True)
    builder = torrelm.IndexBuilder()
    builder.add_many(rows)
    with pytest.raises(ValueError, match=re.escape(message)):
        builder.build(word_starts=True)
    # In a first word, or without word starts, it is a character like any other; the named
    # foldings take it for whitespace.
    index = torrelm.build(rows[:1] + [("cat\x1fvideos funny", 2, 3)], word_starts=True)
    assert [c.term for c in index.complete("funny")] == ["cat\x1fvideos funny"]
    assert [c.term for c in torrelm.build(rows).complete("funny")] == ["funny cat\x1fvideos"]
    index = torrelm.build(rows, word_starts=True, normalize="casefold")
    assert [c.term for c in index.complete("vid")] == ["cat videos", "funny cat videos"]


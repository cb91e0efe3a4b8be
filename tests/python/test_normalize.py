"""Normalised indexes against brute force: terms that fold alike merge with their counts added,
completions and suggestions show each merged term's most counted spelling, every query is folded
as the terms were, and the choice survives files and pickles."""

import gc
import os
import pickle
import random
import unicodedata
import weakref

import pytest

import torrelm
from torrelm import Completion, Suggestion
from torrelm._normalize import casefold, fold_accents

from conftest import osa


def shout(text):
    """A normalisation of the caller's: upper case, spaces dropped."""
    return text.upper().replace(" ", "")


MODES = [("casefold", casefold), ("fold-accents", fold_accents), (shout, shout)]


def merged(rows, fold):
    """Each folded term's count and its most counted spelling, computed apart from the index: a
    spelling other than the term is shown with its whitespace trimmed and collapsed, spellings
    that differ only in whitespace count as one, the first in code point order wins ties."""
    counts, votes = {}, {}
    for spelling, _, count in rows:
        key = fold(spelling)
        counts[key] = counts.get(key, 0) + count
        shown = spelling if spelling == key else " ".join(spelling.split())
        votes.setdefault(key, {})
        votes[key][shown] = votes[key].get(shown, 0) + count
    return counts, {key: min(v, key=lambda s: (-v[s], s)) for key, v in votes.items()}


def random_rows(seed):
    rng = random.Random(seed)
    letters = ["a", "A", "é", "É", "e\u0301", "ß", "SS", "ﬁ", "o", "Ö", " ", "\u00a0", "\t "]
    words = {"".join(rng.choices(letters, k=rng.randint(1, 4))).strip() or "a" for _ in range(300)}
    return [(w, rng.randrange(20), rng.randint(1, 4)) for w in sorted(words) for _ in range(2)]


@pytest.mark.parametrize("mode, fold", MODES, ids=["casefold", "fold-accents", "callable"])
@pytest.mark.parametrize("seed", [1, 2])
def test_queries_equal_brute_force_over_merged_terms(mode, fold, seed):
    rows = random_rows(seed)
    index = torrelm.build(rows, normalize=mode, video_top_n=3)
    counts, shown = merged(rows, fold)
    assert sorted(index) == sorted(counts)
    for query in ["", "a", "É", "SS", "e\u0301", "fi", "ÖA", "a a"]:
        key = fold(query)
        expected = sorted((-c, t) for t, c in counts.items() if t.startswith(key))[:5]
        assert index.complete(query, limit=5) == [Completion(shown[t], -c) for c, t in expected]
        scored = sorted((osa(t, key), -c, t) for t, c in counts.items())
        expected = [Suggestion(shown[t], d, -c) for d, c, t in scored if d <= 1][:5]
        assert index.suggest(query, max_dist=1, limit=5, order="distance") == expected
        assert index.fuzzy_match(query, 1) == index.fuzzy_match(key, 1)
        assert (query in index) == (key in counts)


@pytest.mark.parametrize("text, casefolded, accents_folded", [
    ("Straße", "strasse", "strasse"),
    ("CAFÉ", "café", "cafe"),
    ("Cafe\u0301", "café", "cafe"),  # a combining accent composes first
    ("ﬁne", "fine", "fine"),
    ("Ångström", "ångström", "angstrom"),
    ("ＦＵＬＬ", "full", "full"),
    ("plain", "plain", "plain"),
    (" Funny\u00a0\tCAT\u3000 ", "funny cat", "funny cat"),  # spaces trimmed, runs collapsed
    ("a \u0301 b", "a \u0301 b", "a b"),  # no run left where a lone mark stood
    # Letters with a stroke have no decomposition; fold-accents makes them plain all the same.
    ("Łódź", "łódź", "lodz"),
    ("ØRSTED Đakovo", "ørsted đakovo", "orsted dakovo"),
    ("Ħamrun ŦǤ", "ħamrun ŧǥ", "hamrun tg"),
    ("Işık", "işık", "isik"),
    ("Ǿ", "ǿ", "o"),  # the stroke stays once the accent is gone: it goes after
    ("Æble Œuvre", "æble œuvre", "æble œuvre"),  # one letter for two is left alone
])
def test_the_package_folds_as_unicode_says(text, casefolded, accents_folded):
    assert casefold(text) == casefolded == unicodedata.normalize("NFC", casefolded)
    assert fold_accents(text) == accents_folded
    assert casefold(casefolded) == casefolded and fold_accents(accents_folded) == accents_folded


def test_a_plain_prefix_completes_to_the_spelling_with_strokes():
    index = torrelm.build([("Łódź", 1, 5), ("lodówka", 2, 3)], normalize="fold-accents")
    assert index.complete("lodz") == [Completion("Łódź", 5)]
    assert index.complete("ŁÓD") == [Completion("Łódź", 5), Completion("lodówka", 3)]


def test_totals_of_merged_spellings_add_up():
    rows = {"term": ["Cat", "cat", "CAT"], "video": [1, 1, 2], "count": [2, 3, 1],
            "total": [10, 20, 20]}
    index = torrelm.build(rows, columns=("term", "video", "count", "total"), normalize="casefold")
    # Each spelling's total adds: 10 + 20 + 20; video 1 has 2 + 3 clicks, video 2 has 1.
    assert index.videos("CAT", max_dist=0) == [("1", 5 / 50), ("2", 1 / 50)]
    # A term counts its total; "cat" is the spelling clicked most.
    assert index.complete("c") == [Completion("cat", 50)]


@pytest.mark.parametrize("mode", ["casefold", shout])
def test_files_and_pickles_keep_the_folding(tmp_path, mode):
    rows = [("Café", 1, 5), ("CAFÉ", 2, 1), ("dog house", 3, 2)]
    index = torrelm.build(rows, normalize=mode)
    path = tmp_path / "folded.idx"
    torrelm.save(index, path)
    answers = [index.complete("CA"), index.suggest("Dog house"), index.videos("café")]
    if mode == "casefold":
        reopened = [torrelm.open(path), torrelm.load(path)]
    else:
        with pytest.raises(ValueError, match="normalize="):
            torrelm.open(path)
        reopened = [torrelm.open(path, normalize=shout), torrelm.load(path, normalize=shout)]
    for other in reopened + [pickle.loads(pickle.dumps(index))]:
        assert [other.complete("CA"), other.suggest("Dog house"), other.videos("café")] == answers


@pytest.mark.parametrize("normalize, error", [
    ("lower", ValueError), (3, TypeError), (lambda t: "a\0", ValueError), (lambda t: 3, TypeError),
])
def test_bad_normalisations_are_refused(normalize, error):
    with pytest.raises(error):
        torrelm.build([("cat", 1, 1)], normalize=normalize)
    if error is ValueError and isinstance(normalize, str):
        with pytest.raises(error):
            torrelm.IndexBuilder(normalize=normalize)


def test_index_builder_folds_like_build():
    rows = random_rows(3)
    builder = torrelm.IndexBuilder(normalize="fold-accents")
    builder.add_many(rows)
    built = torrelm.build(rows, normalize="fold-accents")
    later = torrelm.IndexBuilder()
    later.add_many(rows)
    for index in [builder.build(), later.build(normalize="fold-accents")]:
        assert index.metadata["normalize"] == "fold-accents"
        for query in ["", "a", "É", "o"]:
            assert index.complete(query, limit=50) == built.complete(query, limit=50)


def test_an_index_whose_normalize_function_holds_it_is_collected(tmp_path):
    # A service that keeps the index and folds with its own method: a cycle through the index.
    path = tmp_path / "cycle.idx"
    torrelm.save(torrelm.build([("cat", 1, 1)]), path)

    class Service:
        def __init__(self, make):
            self.index = make(path, normalize=self.fold)

        def fold(self, text):
            return text.lower()

    for make in [torrelm.open, torrelm.load, lambda p, normalize: torrelm.load(p)._with_extras(
            normalize=normalize)]:
        gone = weakref.ref(Service(make))
        gc.collect()
        assert gone() is None
    os.unlink(path)
    assert str(path) not in open("/proc/self/maps").read()  # the mapping went with the index

"""max_dist="auto" budgets each word of a text of several words: the queries against a brute force
that charges every edit of every alignment to a word, and the highlight ranges against the
alignments they come from."""

import heapq
import math
import random

import pytest

import torrelm
from torrelm import Completion, Suggestion

from conftest import osa
from test_search import likelihood


def typo_budget(length, completing):
    if completing:
        return 1 if length >= 4 else 0
    return 2 if length >= 7 else 1 if length >= 4 else 0


def word_budget(text, completing):
    """One word: its budget by length; several: one edit each from 3 code points (2 when the
    text is complete), 2 in all while typed (3 when complete)."""
    words = text.split(" ")
    if len(words) == 1:
        return [typo_budget(len(text), completing)], typo_budget(len(text), completing)
    budgets = [1 if len(w) >= (3 if completing else 2) else 0 for w in words]
    return budgets, min(2 if completing else 3, sum(budgets))


def budgeted_distance(typed, term, budgets, cap, prefix):
    """The fewest edits of an alignment of `typed` with `term` (with a prefix of it, when `prefix`)
    that charges no word more than its budget and the whole no more than `cap`, or None. An edit
    of a letter goes to its word, a letter missing from the text to the word reached, an edit of a
    space to the whole alone. Found by a shortest-path search over (typed, term, word edits)."""
    n, m = len(typed), len(term)
    word_at = [typed[:i].count(" ") for i in range(n + 1)]
    best = {}
    queue = [(0, 0, 0, 0)]
    while queue:
        total, i, j, e = heapq.heappop(queue)
        if best.get((i, j, e), cap + 1) <= total and (i, j, e) in best:
            continue
        best[(i, j, e)] = total
        if i == n and (prefix or j == m):
            return total
        moves = []
        if i < n and j < m:
            if typed[i] == " ":
                moves.append((i + 1, j + 1, 0, term[j] != " "))
            else:
                moves.append((i + 1, j + 1, e + (typed[i] != term[j]), typed[i] != term[j]))
        if i < n:
            moves.append((i + 1, j, 0 if typed[i] == " " else e + 1, 1))
        if j < m:
            moves.append((i, j + 1, e if term[j] == " " else e + 1, 1))
        if (i + 1 < n and j + 1 < m and typed[i] == term[j + 1] and typed[i + 1] == term[j]
                and typed[i] != typed[i + 1] and " " not in (typed[i], typed[i + 1])):
            moves.append((i + 2, j + 2, e + 1, 1))
        for i2, j2, e2, cost in moves:
            if e2 <= budgets[word_at[i2]] and total + cost <= cap:
                heapq.heappush(queue, (total + cost, i2, j2, e2))
    return None


WORDS = ["cat", "cats", "car", "video", "videos", "funny", "vidoe", "a", "fun", "catvideo",
         "kitten", "kitchen"]


def vocabulary(seed):
    rng = random.Random(seed)
    counts = {}
    for _ in range(150):
        term = " ".join(rng.choices(WORDS, k=rng.randint(1, 3)))
        counts[term] = counts.get(term, 0) + rng.choice([1, 2, 5, 40, 300])
    return counts


def slipped(rng, text):
    """`text` with up to three slips: letters replaced, dropped, doubled, swapped, spaces moved."""
    for _ in range(rng.randint(0, 3)):
        i = rng.randrange(len(text))
        kind = rng.choice(["replace", "drop", "double", "swap", "space"])
        if kind == "replace":
            text = text[:i] + rng.choice("abcnosx") + text[i + 1:]
        elif kind == "drop" and len(text) > 1:
            text = text[:i] + text[i + 1:]
        elif kind == "double":
            text = text[:i] + text[i] + text[i:]
        elif kind == "swap" and i + 1 < len(text):
            text = text[:i] + text[i + 1] + text[i] + text[i + 2:]
        elif kind == "space":
            text = text.replace(" ", "", 1) if " " in text and rng.random() < 0.5 else \
                text[:i] + " " + text[i:]
    return " ".join(text.split(" ")) or "a"


def queries(counts, seed):
    rng = random.Random(seed)
    terms = sorted(counts)
    out = []
    for term in rng.sample(terms, 40):
        text = slipped(rng, term)
        out += [text, text[:rng.randint(1, len(text))]]
    return out + ["funy cat vidoes", "funnycat videos", "funny catvideos", "kitcen vido"]


@pytest.fixture(scope="module", params=[1, 2, 3])
def built(request):
    counts = vocabulary(request.param)
    rows = [(term, i % 7, count) for i, (term, count) in enumerate(sorted(counts.items()))]
    return torrelm.build(rows), counts, request.param


def test_complete_and_suggest_budget_each_word_as_brute_force(built):
    index, counts, seed = built
    for text in queries(counts, seed):
        for completing in (True, False):
            budgets, cap = word_budget(text, completing)
            found = {}
            for term, count in counts.items():
                d = budgeted_distance(text, term, budgets, cap, completing)
                if d is not None:
                    found[term] = d
            if completing:
                # Distance order: every term below a prefix within the budget, nearest first.
                wanted = sorted(found, key=lambda t: (found[t], -counts[t], t))[:1000]
                got = index.complete(text, max_dist="auto", limit=1000, order="distance")
                assert got == [Completion(t, counts[t]) for t in wanted], text
                likely = index.complete(text, max_dist="auto", limit=1000)
                assert sorted(c.term for c in likely) == sorted(wanted), text
                for c in likely:
                    mark_is_an_alignment(text, c.term, c.highlight, found[c.term], True)
            else:
                wanted = sorted(found, key=lambda t: (-likelihood(counts[t], text, t), found[t],
                                                      -counts[t], t))
                if text in counts:  # typed as it is: first, unless another is far likelier
                    floor = math.log1p(counts[text]) + 5
                    wanted = [t for t in wanted if likelihood(counts[t], text, t) > floor] + [text]
                wanted = wanted[:10]
                got = index.suggest(text, max_dist="auto")
                assert got == [Suggestion(t, found[t], counts[t]) for t in wanted], text
                for s in got:
                    mark_is_an_alignment(text, s.term, s.highlight, s.distance, False)


def mark_is_an_alignment(typed, term, ranges, distance, prefix):
    """The ranges are sorted, disjoint and inside the term; where the term starts with what was
    typed they are its words; else, one per typed word, they hold what an alignment of no more
    than `distance` edits put against each word."""
    words = [w for w in typed.split(" ") if w]
    assert all(0 <= b < e <= len(term) for b, e in ranges), (typed, term, ranges)
    assert all(e1 < b2 for (_, e1), (b2, _) in zip(ranges, ranges[1:])), (typed, term, ranges)
    if (term.startswith(typed) if prefix else term == typed):
        spans, at = [], 0
        for w in typed.split(" "):
            if w:
                spans.append((at, at + len(w)))
            at += len(w) + 1
        assert list(ranges) == spans, (typed, term)
    elif len(ranges) == len(words):
        assert sum(osa(w, term[b:e]) for w, (b, e) in zip(words, ranges)) <= distance, \
            (typed, term, ranges)
    else:
        assert len(ranges) < len(words), (typed, term, ranges)


def test_typeahead_never_blank_when_the_whole_text_is_near():
    index = torrelm.build([("funny cat videos", 17, 198366), ("funny dog videos", 42, 5000)],
                          normalize="casefold", word_starts=True)
    for text in ["funy cat vido", "funy cat vidoes", "funnycat videos", "funny catvideos"]:
        found = index.typeahead(text)
        assert found.completions == [("funny cat videos", 198366)], text
        assert found.videos[0].id == "17"
    # Three slips in the last word are beyond its budget as a prefix: the whole text's
    # corrections stand in, with the videos of the first.
    found = index.typeahead("funny cat vdieoss")
    assert found.completions == []
    assert found.corrections == [("funny cat videos", 2, 198366)]
    assert found.corrections[0].highlight == ((0, 5), (6, 9), (10, 16))
    assert [v.id for v in found.videos] == ["17"]


@pytest.mark.parametrize("typed, shown", [
    ("strasse v", ["Straße", "V"]),  # folding made the shown spelling shorter than the term
    ("vid", ["Vid"]),                # a later word's start
    ("fish t", ["ﬁsh", "t"]),        # and a ligature one code point for two
    ("strase", ["Straße"]),          # a slip, carried over as well
])
def test_highlight_is_carried_over_to_the_shown_spelling(typed, shown):
    index = torrelm.build([("Straße Videos", 1, 50), ("ﬁsh tank", 2, 30)], normalize="casefold",
                          word_starts=True)
    [found] = index.complete(typed, max_dist="auto")
    assert [found.term[b:e] for b, e in found.highlight] == shown


def test_exactness_faults_of_word_starts_and_ties():
    # One term with many later words must not crowd out better terms, whatever the limit.
    index = torrelm.build([("baby shark doo doo doo doo", 1, 1000), ("scooby doo", 2, 500),
                           ("doodle", 3, 100)], word_starts=True)
    assert [c.term for c in index.complete("doo", limit=2)] == ["baby shark doo doo doo doo",
                                                                 "scooby doo"]
    assert len(index.complete("doo", limit=2**63)) == 3
    # Equal likelihoods go to the smaller distance.
    index = torrelm.build([("b", 1, 5), ("caa", 2, 5)])
    assert [c.term for c in index.complete("baa", max_dist=2)] == ["caa", "b"]
    # The videos of the text itself, though none, where something starts with it (here a term
    # without clicks), not those of the first completion (found by a later word).
    index = torrelm.build([("abz", 1, 0), ("zz ab", 3, 5)], word_starts=True)
    assert index.typeahead("ab") == ([("zz ab", 5), ("abz", 0)], [], [])


def test_texts_longer_than_a_machine_word_are_budgeted_alike():
    # Past 64 code points the rows keep a byte a cell instead of a bit: the same answers.
    rng = random.Random(4)
    counts = {}
    for _ in range(40):
        term = " ".join(rng.choices(WORDS, k=rng.randint(14, 18)))
        counts[term] = rng.choice([1, 5, 300])
    index = torrelm.build([(t, 1, c) for t, c in counts.items()])
    for term in rng.sample(sorted(counts), 15):
        text = slipped(rng, term)
        assert len(text) > 64
        for completing in (True, False):
            budgets, cap = word_budget(text, completing)
            found = {t: d for t in counts
                     if (d := budgeted_distance(text, t, budgets, cap, completing)) is not None}
            wanted = sorted(found, key=lambda t: (found[t], -counts[t], t))
            if completing:
                got = index.complete(text, max_dist="auto", limit=100, order="distance")
                assert [c.term for c in got] == wanted, text
            else:
                got = index.suggest(text, max_dist="auto", limit=100, order="distance")
                assert [(s.term, s.distance) for s in got] == [(t, found[t]) for t in wanted]


def test_a_term_typed_in_full_is_offered_first():
    index = torrelm.build([("cat", 1, 5), ("cat videos", 2, 1000), ("funny cat videos", 3, 198366),
                           ("cab", 4, 90), ("were", 5, 3000), ("wire", 6, 30)], word_starts=True)
    assert [c.term for c in index.typeahead("cat").completions][:2] == ["cat", "funny cat videos"]
    assert index.typeahead("wire").completions[0].term == "wire"
    # Not typed in full: the likeliest completions as ever.
    assert index.typeahead("ca").completions[0].term == "funny cat videos"


def test_long_texts_keep_the_weights_of_their_slips():
    # Past 64 code points a doubled letter still costs less than any other edit.
    stem = "a very long search query about kittens playing with yarn in the sun "
    # Alike but for the weights, the replaced one would come first: it sorts first.
    doubled, replaced = stem + "ball", stem + "bak"
    typed = stem + "bal"
    assert len(typed) > 64
    index = torrelm.build([(replaced, 1, 10), (doubled, 2, 10)])
    assert [s.term for s in index.suggest(typed, max_dist=1)] == [doubled, replaced]
    assert [c.term for c in index.complete(typed, max_dist=1)] == [doubled, replaced]

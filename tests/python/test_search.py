"""The search-box queries of torrelm.Index against brute force over every term: completions and
suggestions best first by (distance, count, code point order), on random vocabularies with
Unicode and many equal counts; batches equal their loops; videos equal fuzzy_match_video."""

import math
import random

import pytest

import torrelm
from torrelm import Completion, Index, Suggestion, Video
from torrelm._native import _typo_cost

from conftest import levenshtein, osa, run_child


def vocabulary(seed, alphabet="abcéß中", size=250, counts=(1, 3)):
    """Rows and each term's count (the sum of its rows' counts, as the builders count it)."""
    rng = random.Random(seed)
    terms = sorted({"".join(rng.choices(alphabet, k=rng.randint(1, 6))) for _ in range(size)})
    rows, counts_of = [], {}
    for term in terms:
        for _ in range(rng.randint(1, 2)):
            count = rng.randint(*counts)
            rows.append((term, rng.randrange(30), count))
            counts_of[term] = counts_of.get(term, 0) + count
    return rows, counts_of


MEASURES = {"osa": osa, "levenshtein": levenshtein}


def likelihood(count, typed, meant):
    return math.log1p(count) - _typo_cost(typed, meant)


def expected_completions(counts, prefix, limit, max_dist=0, distance="osa", order="likely"):
    measure = MEASURES[distance]
    scored = []
    for term, count in counts.items():
        within = [term[:k] for k in range(len(term) + 1) if measure(term[:k], prefix) <= max_dist]
        if not within:
            continue
        if order == "likely" and max_dist > 0:
            # Equal likelihoods go to the smaller distance.
            best = max((likelihood(count, prefix, start), -measure(start, prefix))
                       for start in within)
            scored.append((-best[0], -best[1], -count, term))
        else:
            scored.append((min(measure(start, prefix) for start in within), 0, -count, term))
    return [Completion(term, -count) for _, _, count, term in sorted(scored)[:limit]]


def expected_suggestions(counts, text, max_dist, limit, distance="osa", order="likely"):
    measure = MEASURES[distance]
    found = [(measure(term, text), count, term) for term, count in counts.items()]
    found = [(d, count, term) for d, count, term in found if d <= max_dist]
    if order == "likely":
        found.sort(key=lambda f: (-likelihood(f[1], text, f[2]), f[0], -f[1], f[2]))
        if text in counts:
            # Typed as it is: first, unless another is likelier by more than e^5.
            floor = math.log1p(counts[text]) + 5
            found = [f for f in found if likelihood(f[1], text, f[2]) > floor]
            found.append((0, counts[text], text))
    else:
        found.sort(key=lambda f: (f[0], -f[1], f[2]))
    return [Suggestion(term, d, count) for d, count, term in found[:limit]]


QUERIES = ["", "a", "ab", "cé", "ß中", "abc", "zz", "中", "baca", "éé", "acb", "bacé", "中ß",
           "be", "aeb", "bèe"]
CASES = [(seed, alphabet, counts) for seed, alphabet, counts in [
    (1, "abcéß中", (1, 3)),      # many ties
    (2, "ab", (1, 1)),           # every count equal: code point order alone
    (3, "abcdefg", (1, 10_000)),
    (4, "abcé", (1, 3 * 10**9)),  # totals that stop at 2**32-1 near the root
    (5, "abeéèä", (1, 10_000)),  # accent slips, the cheapest edits
]]


@pytest.fixture(scope="module", params=CASES,
                ids=["unicode ties", "all equal", "spread", "wide", "accents"])
def built(request):
    seed, alphabet, counts = request.param
    rows, counts_of = vocabulary(seed, alphabet, counts=counts)
    return torrelm.build(rows, video_top_n=4), counts_of


@pytest.mark.parametrize("limit", [1, 3, 10, 1000])
def test_complete_equals_brute_force(built, limit):
    index, counts = built
    # Besides the fixed queries, the short prefixes of the terms: below them lie many terms
    # that never make the answer, which the search must pass by without losing a tie.
    prefixes = sorted({term[:n] for term in counts for n in (1, 2, 3)})
    for prefix in QUERIES + prefixes:
        assert index.complete(prefix, limit=limit) == expected_completions(counts, prefix, limit)


@pytest.mark.parametrize("order", ["likely", "distance"])
@pytest.mark.parametrize("distance", ["osa", "levenshtein"])
@pytest.mark.parametrize("max_dist, limit", [(1, 5), (1, 1000), (2, 20)])
def test_complete_within_edits_equals_brute_force(built, max_dist, limit, distance, order):
    index, counts = built
    for prefix in QUERIES:
        got = index.complete(prefix, limit=limit, max_dist=max_dist, distance=distance, order=order)
        assert got == expected_completions(counts, prefix, limit, max_dist, distance, order), prefix


@pytest.mark.parametrize("max_dist, limit", [(0, 10), (1, 1), (1, 10), (2, 10), (2, 1000), (5, 7),
                                             (48, 1000)])
def test_suggest_equals_brute_force_and_sorted_fuzzy_match(built, max_dist, limit):
    index, counts = built
    for text in QUERIES:
        for distance, order in [("osa", "likely"), ("levenshtein", "likely"), ("osa", "distance")]:
            got = index.suggest(text, max_dist=max_dist, limit=limit, distance=distance,
                                order=order)
            assert got == expected_suggestions(counts, text, max_dist, limit, distance, order), text
        got = index.suggest(text, max_dist=max_dist, limit=limit, distance="levenshtein",
                            order="distance")
        assert got == expected_suggestions(counts, text, max_dist, limit, "levenshtein",
                                           "distance"), text
        by_key = sorted(index.fuzzy_match(text, max_dist), key=lambda m: (m[2], -counts[m[0]], m[0]))
        assert [(s.term, s.distance) for s in got] == [(t, d) for t, _, d in by_key[:limit]]


def test_an_automatic_budget_grows_with_the_length(built):
    index, _ = built
    for text in QUERIES + ["abcé", "abcéßa", "abcéßab", "中中中中中中中中中"]:
        edits = 0 if len(text) < 4 else 1 if len(text) < 7 else 2
        for query in (index.suggest, index.videos):
            assert query(text, max_dist="auto") == query(text, max_dist=edits), (query, text)
        assert index.suggest_many([text], max_dist="auto") == [index.suggest(text, max_dist=edits)]
        typing = min(edits, 1)  # a prefix being typed: one edit at most
        assert index.complete(text, max_dist="auto") == index.complete(text, max_dist=typing)
        assert index.complete_many([text], max_dist="auto") == [index.complete(text, max_dist=typing)]
    with pytest.raises(ValueError, match="'auto'"):
        index.suggest("a", max_dist="some")


def test_batches_equal_their_loops(built):
    index, _ = built
    texts = QUERIES * 30
    assert index.complete_many(texts, limit=4) == [index.complete(t, limit=4) for t in texts]
    assert index.complete_many(texts, limit=3, max_dist=1) == [
        index.complete(t, limit=3, max_dist=1) for t in texts]
    assert index.suggest_many(texts, max_dist=1, limit=5) == [
        index.suggest(t, max_dist=1, limit=5) for t in texts]
    assert index.videos_many(texts, max_dist=1, limit=3) == [
        index.videos(t, max_dist=1, limit=3) for t in texts]
    assert index.suggest_many([]) == []


@pytest.mark.parametrize("prefix_nodes", [None, True, False])
def test_videos_are_fuzzy_match_video_as_named_tuples(built, prefix_nodes):
    index, _ = built
    for text in QUERIES:
        levenshtein = {"include_prefix_nodes": prefix_nodes, "distance": "levenshtein"}
        got = index.videos(text, max_dist=1, limit=5, **levenshtein)
        assert all(type(v) is Video for v in got)
        assert got == index.fuzzy_match_video(text, 1, 5, prefix_nodes)
        every = index.fuzzy_match_video(text, 1, None, prefix_nodes)
        assert index.videos(text, limit=None, **levenshtein) == every
        assert index.videos_many([text], limit=None, **levenshtein) == [every]


def test_videos_keep_the_sites_own_ids():
    index = torrelm.build([("cat", "dQw4w9WgXcQ", 3), ("cat", "x9", 1)])
    assert index.videos("cat") == [Video("dQw4w9WgXcQ", 0.75), Video("x9", 0.25)]


@pytest.mark.parametrize("call, error", [
    (lambda ix: ix.complete(b"a"), TypeError),
    (lambda ix: ix.complete("a", limit=-1), OverflowError),
    (lambda ix: ix.suggest("a", max_dist=None), TypeError),
    (lambda ix: ix.suggest_many("abc"), TypeError),  # a str is not a batch of texts
    (lambda ix: ix.suggest_many(["a", 3]), TypeError),
    (lambda ix: ix.complete("a", 5), TypeError),  # limit is keyword-only
])
def test_bad_arguments_are_refused(call, error):
    with pytest.raises(error):
        call(torrelm.build([("cat", 1, 1)]))


def test_limits_of_zero_and_empty_indexes_give_nothing():
    index = torrelm.build([("cat", 1, 1)])
    assert index.complete("c", limit=0) == [] and index.suggest("cat", limit=0) == []
    empty = torrelm.IndexBuilder().build()
    assert empty.complete("") == [] and empty.suggest("a") == [] and empty.videos("a") == []


def test_shapes_read_unchecked_end_instead_of_running_away():
    # The root lists itself twice: a best-first search over it would never run out of nodes.
    outcome = run_child("""
        from torrelm import Index, PanicException
        index = Index.from_bytes(bytes([1, 0, 1, ord("a"), 2, 0, 0, 1, 0, 0, 0, 1, 1, 1]),
                                 verify=False)
        for call in [lambda: index.complete(""), lambda: index.complete("a", max_dist=1),
                     lambda: index.suggest("aaa", max_dist=1)]:
            try:
                call()
                print("answered")
            except (PanicException, MemoryError) as error:
                print(type(error).__name__)
    """, timeout=60)
    # Every path through the root spells "a" again: the walks end at their bound, and the
    # best-first search finds that it opens a node twice.
    assert outcome.split() == ["PanicException", "answered", "answered"]


def test_complete_orders_ties_by_text_whatever_the_stored_order():
    """Children listed against code point order ("t" before "r"), with equal counts: the ties
    still come in code point order, and the search agrees with and without a prefix."""
    from _torrelm import PrefixSearch

    search = PrefixSearch.from_internal_data_v2(
        node_shifts=[0, 1, 2, 5, 5, 5], child_labels=["", "c", "a", "t", "r", "s"],
        payloads=[None, None, None, (5, [0], [5]), (5, [0], [5]), (5, [0], [5])],
        child_transitions=[1, 2, 3, 4, 5], video_index=[b"\x01\x00\x00\x00"], video_top_n=1)
    # node 2 ("ca") lists t, r, s.
    index = torrelm.Index.from_prefix_search(search)
    expected = [Completion("car", 5), Completion("cas", 5), Completion("cat", 5)]
    for prefix in ["", "c", "ca"]:
        assert index.complete(prefix) == expected, prefix
    assert index.complete("ca", limit=2) == expected[:2]


def test_hidden_subtrees_neither_answer_nor_lead(tmp_path):
    # "b" hides a subtree counted 100 under a U+0000 label: its count must not lift "bc" over "a".
    from _torrelm import PrefixSearch
    search = PrefixSearch.from_internal_data_v2(
        [0, 2, 2, 4, 4], ["", "a", "b", "\0", "c"],
        [None, (5, [0], [5]), None, (100, [0], [100]), (1, [0], [1])], [1, 2, 3, 4], [b"\1\0\0\0"], 1)
    index = Index.from_prefix_search(search)
    torrelm.save(index, tmp_path / "hidden.idx")
    # A checked read refuses hidden labels: such an index is only ever read unchecked.
    for read in [index, torrelm.open(tmp_path / "hidden.idx", verify=False)]:
        assert read.complete("", limit=1) == [Completion("a", 5)]
        assert read.complete("", limit=5) == [Completion("a", 5), Completion("bc", 1)]
        assert read.suggest("b", max_dist=1, limit=1) == [Suggestion("a", 1, 5)]


def expected_typeahead(index, text, limit, shown):
    """typeahead() as the guide tells it, from the other queries."""
    def without_slips(found):
        # A slip of a term searched at least 50 times as often is left out.
        return [c for c in found
                if len(c.term) < 5 or not any(d.count > 0 and d.count // 50 >= c.count
                                              and d is not c and osa(c.term, d.term) <= 1
                                              for d in found)][:limit]

    found = index.complete(text, limit=limit, max_dist="auto")
    completions = without_slips(found)
    if len(completions) < len(found) == limit:  # more asked for, to fill the limit
        completions = without_slips(index.complete(text, limit=limit + min(limit, 10),
                                                   max_dist="auto"))
    typed = index.suggest(text, max_dist="auto", limit=1)
    if text and typed and typed[0].term == text and typed[0].distance == 0:
        # Typed in full, and no slip of a far likelier term: first.
        completions = without_slips([Completion(text, typed[0].count)] + [
            c for c in completions if c.term != text])
    corrections = []
    if not completions:
        # A slip in each word, else two anywhere in a text of 7 code points or more.
        corrections = index.suggest(text, max_dist="auto", limit=limit)
        if not corrections and " " in text:
            budget = 0 if len(text) < 4 else 1 if len(text) < 7 else 2
            corrections = index.suggest(text, max_dist=budget, limit=limit)
    if index.complete(text, limit=1):
        videos = index.videos(text, max_dist=0, limit=shown)
    else:  # nothing starts so: the likeliest answer's
        first = (completions or corrections or [None])[0]
        videos = index.videos(first.term, max_dist=0, limit=shown) if first else []
    return completions, videos, corrections


def test_typeahead_is_complete_and_videos_in_one_call(built):
    index, _ = built
    for text in QUERIES + ["bacéa", "abcab", "ab cab", "bca abc", "abc  x"]:
        got = index.typeahead(text, limit=4, videos=3)
        assert got == expected_typeahead(index, text, 4, 3), text
        for answer in got.completions + got.corrections:
            assert bool(answer.highlight) == bool(text.strip()), (text, answer)

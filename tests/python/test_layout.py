"""The native breadth-first layout, through IndexBuilder and torrelm.build, against a plain
reference layout handed to the array builder: the two indexes must be the same, byte for byte."""

import random

from hypothesis import given, settings
from hypothesis import strategies as st

import torrelm
from _torrelm import PrefixSearch
from torrelm import IndexBuilder

from conftest import run_child


def reference_layout(terms, totals):
    """Every distinct prefix is a node; nodes are numbered by (length, text); a node's children
    are the nodes one character longer that it prefixes, in number order."""
    prefixes = sorted({""} | {term[:depth] for term in terms for depth in range(len(term) + 1)},
                      key=lambda prefix: (len(prefix), prefix))
    number = {prefix: n for n, prefix in enumerate(prefixes)}
    children = [[] for _ in prefixes]
    for prefix in prefixes[1:]:
        children[number[prefix[:-1]]].append(number[prefix])
    shifts, transitions = [], []
    for kids in children:
        shifts.append(len(transitions))
        transitions.extend(kids)
    payloads = [None] * len(prefixes)
    for term, videos in terms.items():
        # Ordered by the true sums, which are stored saturated.
        ranked = sorted(videos.items(), key=lambda item: (-item[1], item[0]))
        total = totals.get(term, min(sum(videos.values()), 2**32 - 1))
        payloads[number[term]] = (total, [p for p, _ in ranked],
                                  [min(c, 2**32 - 1) for _, c in ranked])
    return shifts, [prefix[-1:] for prefix in prefixes], payloads, transitions


def reference_index(rows, totals=None, video_top_n=10):
    """The index of (term, video, count) rows through the reference layout and the array
    builder: counts summed per (term, video), videos numbered in the order they first appear."""
    position, terms = {}, {}
    for term, video, count in rows:
        p = position.setdefault(video, len(position))
        slot = terms.setdefault(term, {})
        slot[p] = slot.get(p, 0) + count
    totals = {term: min(total, 2**32 - 1) for term, total in (totals or {}).items()}
    shifts, labels, payloads, transitions = reference_layout(terms, totals)
    video_index = [video.to_bytes(4, "little") if isinstance(video, int) else video
                   for video in position]
    return PrefixSearch.from_internal_data_v2(shifts, labels, payloads, transitions,
                                              video_index, video_top_n)


def builder_index(rows, totals=None, video_top_n=10):
    builder = IndexBuilder()
    builder.add_many(rows)
    for term, total in (totals or {}).items():
        builder.set_total(term, total)
    return builder.build(video_top_n=video_top_n)


videos = st.dictionaries(st.integers(0, 6), st.integers(0, 5), min_size=1, max_size=4)
terms = st.dictionaries(st.text("abé\U0001f600\U0010fffd", min_size=1, max_size=7), videos,
                        max_size=25)


def rows_of(terms):
    return [(term, 100 + video, count) for term, videos in terms.items()
            for video, count in videos.items()]


@settings(max_examples=300, deadline=None)
@given(terms=terms, data=st.data(), top_n=st.integers(0, 4))
def test_layout_matches_the_reference(terms, data, top_n):
    rows = rows_of(terms)
    data.draw(st.randoms()).shuffle(rows)
    totals = {term: sum(terms[term].values()) + data.draw(st.sampled_from([0, 1, 40, 2**33]))
              for term in terms if data.draw(st.booleans())}
    want = reference_index(rows, totals, top_n).to_bytes()
    built = builder_index(rows, totals, top_n)
    assert built.to_bytes() == want
    # Each term's count is its total, else its sum, past where the stored totals stop.
    counts = {found.term: found.count for found in built.complete("", limit=len(terms) + 1)}
    assert counts == {term: totals.get(term, sum(videos.values())) for term, videos in terms.items()}
    columns = {"term": [r[0] for r in rows], "video": [r[1] for r in rows],
               "count": [r[2] for r in rows]}
    assert torrelm.build(columns, video_top_n=top_n).to_bytes() == \
        reference_index(rows, None, top_n).to_bytes()


def random_terms(rng):
    """Words that extend, branch off and prefix each other, over a few alphabets."""
    alphabet = rng.choice(["ab", "abc", "xyzé", "日本語", "\U0001f600\U0001f601a", "aA1 -"])
    words = [""]
    for _ in range(rng.randint(1, 60)):
        base = rng.choice(words)
        base = base[:rng.randint(0, len(base))]
        words.append(base + "".join(rng.choices(alphabet, k=rng.randint(0, 12))))
    return {word: {rng.randrange(9): rng.randint(0, 3) for _ in range(rng.randint(1, 3))}
            for word in words if word}


def test_layout_matches_the_reference_on_random_vocabularies():
    for seed in range(300):
        rows = rows_of(random_terms(random.Random(seed)))
        assert builder_index(rows).to_bytes() == reference_index(rows).to_bytes(), seed


def test_progress_reaches_every_stage():
    calls = []
    builder = IndexBuilder()
    builder.add_many((f"t{i}", i % 7, 1) for i in range(250))
    builder.build(progress=lambda *call: calls.append(call))
    stages = [stage for stage, _, _ in calls]
    assert stages and stages[-1] == "propagate"
    for stage in set(stages):
        done = [d for s, d, _ in calls if s == stage]
        assert done == sorted(done), stage


def test_a_very_long_term_lays_out_quickly():
    # Laying out by slicing every prefix took a quarter of a minute here; the layout is linear
    # in the text, and this takes a fraction of a second.
    run_child("""
        import torrelm
        long = "x" * 400_000
        rows = [(long, 0, 1), (long[:-1] + "y", 1, 1), (long[:200_000], 0, 2), ("y", 1, 1)]
        index = torrelm.build(rows)
        assert index.fuzzy_match(long[:200_000], 0) == [(long[:200_000], 1, 0)]
        assert [t[0] for t in index.fuzzy_match(long, 1)] == [long, long[:-1] + "y"]
    """, timeout=10)

"""The breadth-first layout IndexBuilder hands to the native build, against a plain reference."""

import random

from hypothesis import given, settings
from hypothesis import strategies as st

from torrelm._builder import lay_out

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
        ranked = sorted(videos.items(), key=lambda item: (-item[1], item[0]))
        total = totals.get(term, min(sum(videos.values()), 2**32 - 1))
        payloads[number[term]] = (total, [p for p, _ in ranked], [c for _, c in ranked])
    return shifts, [prefix[-1:] for prefix in prefixes], payloads, transitions


def quiet(stage, done, total):
    pass


videos = st.dictionaries(st.integers(0, 6), st.integers(0, 5), min_size=1, max_size=4)
terms = st.dictionaries(st.text("abé\U0001f600\U0010fffd", min_size=1, max_size=7), videos,
                        max_size=25)


@settings(max_examples=300, deadline=None)
@given(terms=terms, data=st.data())
def test_layout_matches_the_reference(terms, data):
    totals = {term: data.draw(st.integers(0, 40)) for term in terms if data.draw(st.booleans())}
    assert lay_out(terms, totals, quiet) == reference_layout(terms, totals)


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
        terms = random_terms(random.Random(seed))
        assert lay_out(terms, {}, quiet) == reference_layout(terms, {}), seed


def test_progress_reaches_every_term():
    calls = []
    terms = {f"t{i}": {0: 1} for i in range(250)}
    lay_out(terms, {}, lambda *call: calls.append(call))
    assert calls[-1] == ("layout", 250, 250)
    assert [done for _, done, _ in calls] == sorted(done for _, done, _ in calls)


def test_a_very_long_term_lays_out_quickly():
    # Laying out by slicing every prefix took a quarter of a minute here; the layout is linear
    # in the text, and this takes a fraction of a second.
    run_child("""
        from torrelm._builder import lay_out
        long = "x" * 400_000
        terms = {long: {0: 1}, long[:-1] + "y": {1: 1}, long[:200_000]: {0: 2}, "y": {1: 1}}
        shifts, labels, payloads, transitions = lay_out(terms, {}, lambda *_: None)
        assert len(labels) == 400_003 and transitions[-1] == 400_002
        assert payloads[200_001] == (2, [0], [2]) and payloads[2] == (1, [1], [1])
        assert payloads[-2:] == [(1, [0], [1]), (1, [1], [1])]
    """, timeout=10)

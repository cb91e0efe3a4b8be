"""Blocked terms at build time: a build with a block list answers as a build of the same rows
without the blocked terms would, and a blocked term takes the slips merged into it along."""

import random
import subprocess
import sys

import pytest

import torrelm
from torrelm._normalize import casefold

WORDS = ["cat", "Cats", "dog", "fun", "video", "car"]


def random_log(rng):
    """Terms of one to three words, some of them slips or in other letter case, on few videos."""
    terms = [" ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 3))) for _ in range(14)]
    for term in list(terms[:5]):
        i = rng.randrange(len(term))
        terms.append(term[:i] + rng.choice("aoz") + term[i + 1:])
        terms.append(term.upper())
    return [(term, rng.randrange(12), rng.randint(1, 60))
            for term in terms for _ in range(rng.randint(1, 3))]


def block_list(rng, rows):
    """Comments, blank lines, whole terms as logged (padded, other case) and words."""
    lines = ["# blocked for the test", ""]
    lines += [f"  {rng.choice([str, str.swapcase])(rng.choice(rows)[0])} "
              for _ in range(rng.randint(0, 3))]
    lines += ["~" + rng.choice(WORDS) for _ in range(rng.randint(0, 2))]
    return lines


def is_blocked(term, lines, fold):
    entries = [line.strip() for line in lines if not line.strip().startswith("#")]
    entries = [entry for entry in entries if entry]
    terms = {fold(entry) for entry in entries if not entry.startswith("~")}
    words = {fold(entry[1:]) for entry in entries if entry.startswith("~")}
    folded = fold(term)
    return folded in terms or not words.isdisjoint(folded.split(" "))


@pytest.mark.parametrize("seed", range(24))
def test_blocked_build_equals_build_without_the_blocked_terms(seed):
    rng = random.Random(seed)
    rows = random_log(rng)
    lines = block_list(rng, rows)
    normalize = rng.choice([None, "casefold"])
    fold = casefold if normalize else (lambda text: text)
    options = {"normalize": normalize, "min_count": rng.choice([0, 0, 30]),
               "word_starts": rng.random() < 0.5, "video_top_n": 100}
    blocked = torrelm.build(rows, block=lines, **options)
    left = [row for row in rows if not is_blocked(row[0], lines, fold)]
    expected = torrelm.build(left, **options)

    # Every prefix of every term, as typed and as folded, a slip away and a word in.
    prefixes = {""} | {term[:k] for term, _, _ in rows for k in range(1, len(term) + 1)}
    prefixes |= {fold(prefix) for prefix in prefixes}
    for prefix in sorted(prefixes):
        for max_dist in (0, 1):
            assert blocked.complete(prefix, limit=1000, max_dist=max_dist) == \
                expected.complete(prefix, limit=1000, max_dist=max_dist), (prefix, lines)
        assert sorted(blocked.fuzzy_match_video(prefix, max_dist=0, limit=1000)) == \
            sorted(expected.fuzzy_match_video(prefix, max_dist=0, limit=1000)), (prefix, lines)
    gone = {fold(term) for term, _, _ in rows} - {fold(term) for term, _, _ in left}
    assert blocked.metadata["blocked_terms"] == len(gone)
    assert blocked.metadata["blocked_clicks"] == sum(row[2] for row in rows) - \
        sum(row[2] for row in left)
    assert blocked.metadata.get("dropped_terms", 0) == expected.metadata.get("dropped_terms", 0)
    assert blocked.metadata.get("dropped_clicks", 0) == \
        expected.metadata.get("dropped_clicks", 0)


# The slips of fortnite were clicked on its video: merge_variants folds them into it.
FORT = [("fortnite", 1, 2000), ("fortniet", 1, 60), ("fortinte", 1, 60), ("fort boyard", 2, 300)]


@pytest.mark.parametrize("merge, block, completions", [
    # A blocked term takes its slips along; without the merge they are terms of their own.
    (True, ["fortnite"], [("fort boyard", 300)]),
    (False, ["fortnite"], [("fort boyard", 300), ("fortinte", 60), ("fortniet", 60)]),
    (True, ["~FORTNITE"], [("fort boyard", 300)]),
    # A blocked slip goes alone: its clicks do not go to the term it was a slip of.
    (True, ["fortniet"], [("fortnite", 2060), ("fort boyard", 300)]),
    (True, ["~fort"], [("fortnite", 2120)]),
])
def test_blocked_term_takes_its_slips(merge, block, completions):
    index = torrelm.build(FORT, merge_variants=merge, block=block, normalize="casefold")
    assert [(c.term, c.count) for c in index.complete("fort", limit=10)] == completions


def test_block_command(tmp_path):
    pytest.importorskip("duckdb")
    (tmp_path / "clicks.csv").write_text(
        "term,video,count\nFortnite,1,50\nfortnite,2,10\nfunny Cats,3,20\ncats,3,5\n"
        "#shorts cats,4,7\n#shorts,4,3\ndogs,5,9\n", encoding="utf-8")
    (tmp_path / "block.txt").write_text(
        "# whole terms, then words\n\n  FORTNITE\n\\#SHORTS\n~CATS\n", encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-m", "torrelm", "build", str(tmp_path / "clicks.csv"), "-o",
         str(tmp_path / "out.idx"), "--block", str(tmp_path / "block.txt"), "--normalize",
         "casefold", "-q"], capture_output=True, text=True, check=True)
    assert "left out 5 blocked term(s) and their 95 click(s)" in result.stderr
    index = torrelm.load(tmp_path / "out.idx")
    assert [c.term for c in index.complete("", limit=10)] == ["dogs"]
    assert index.fuzzy_match_video("cats", max_dist=1) == []

"""Index.blocked() against brute force over random indexes and block lists: every query answers
what the index itself answers with the blocked terms taken out of its results, never fewer while
more are left; typeahead() answers as the index built without them."""

import json
import pickle
import random

import torrelm
from torrelm._normalize import casefold

WORDS = ["ab", "abc", "b", "ba", "cab", "bca", "Ab", "aé"]
MANY = 10**6


def rows_of(rng):
    terms = {" ".join(rng.choices(WORDS, k=rng.randint(1, 3))) for _ in range(rng.randint(5, 60))}
    # Few distinct counts, so that ties between equal counts are common.
    return [(term, rng.randrange(8), rng.choice([1, 2, 3, 5, 40]))
            for term in sorted(terms) for _ in range(rng.randint(1, 2))]


def typo(rng, text):
    if not text or rng.random() < 0.5:
        return text
    at = rng.randrange(len(text))
    return text[:at] + rng.choice("abcé ") + text[at + rng.randint(0, 1):]


def test_blocked_answers_equal_the_filtered_answers_of_the_index():
    rng = random.Random(7)
    for case in range(40):
        rows = rows_of(rng)
        normalize = rng.choice([None, "casefold"])
        fold = casefold if normalize else (lambda text: text)
        options = dict(normalize=normalize, word_starts=rng.random() < 0.5)
        index = torrelm.build(rows, **options)
        terms = sorted({term for term, _, _ in rows})
        block_terms = rng.sample(terms, rng.randint(0, len(terms) // 2)) + ["no such term"]
        block_words = rng.sample(WORDS, rng.randint(0, 2)) + rng.sample(["ab ba", "zz"], 1)
        blocked = index.blocked(terms=iter(block_terms), words=block_words)
        folded_terms = {fold(t) for t in block_terms}
        folded_words = [fold(w) for w in block_words]

        def is_blocked(term):
            term = fold(term)
            return term in folded_terms or any(f" {w} " in f" {term} " for w in folded_words)

        rebuilt = torrelm.build([row for row in rows if not is_blocked(row[0])], **options)
        texts = [typo(rng, rng.choice(terms)[:rng.randint(0, 8)]) for _ in range(25)]
        for text in texts:
            k = rng.randint(1, 6)
            for d in (0, 1, "auto"):
                assert blocked.complete(text, limit=k, max_dist=d) == [
                    c for c in index.complete(text, limit=MANY, max_dist=d)
                    if not is_blocked(c.term)][:k], (case, text, k, d)
            for d in (1, 2):
                for order in ("likely", "distance"):
                    assert blocked.suggest(text, max_dist=d, limit=k, order=order) == [
                        s for s in index.suggest(text, max_dist=d, limit=MANY, order=order)
                        if not is_blocked(s.term)][:k], (case, text, k, d, order)

            got = blocked.typeahead(text, limit=k, videos=3)
            want = rebuilt.typeahead(text, limit=k, videos=3)
            assert got.completions == want.completions, (case, text, k)
            # A blocked term typed in full still bounds the corrections, as in suggest().
            if not (text in index and is_blocked(text)):
                assert got.corrections == want.corrections, (case, text, k)
            # The videos below the text while an unblocked term starts with it, else those of
            # the first answer shown.
            first = (got.completions or got.corrections or [None])[0]
            if any(fold(t).startswith(fold(text)) for t in terms if not is_blocked(t)):
                assert got.videos == index.typeahead(text, limit=k, videos=3).videos
            elif first is not None:
                assert got.videos == index.videos(first.term, max_dist=0, limit=3)

            # The service's answers and the batches leave out the same.
            assert [c["term"] for c in json.loads(blocked._complete_json(text, k, "auto"))] == [
                c.term for c in blocked.complete(text, limit=k, max_dist="auto")]
            assert [s["term"] for s in json.loads(blocked._suggest_json(text, k, 2))] == [
                s.term for s in blocked.suggest(text, limit=k, max_dist=2)]
            answer = json.loads(blocked._typeahead_json(text, k, 3))
            assert [c["term"] for c in answer["completions"]] == [c.term for c in got.completions]
            assert [c["term"] for c in answer["corrections"]] == [c.term for c in got.corrections]
        assert blocked.complete_many(texts, limit=3) == [blocked.complete(t, limit=3)
                                                         for t in texts]
        assert blocked.suggest_many(texts, limit=3) == [blocked.suggest(t, limit=3) for t in texts]

        # Another list replaces this one; none answers as the index itself; a pickled copy keeps
        # its list.
        again = blocked.blocked(words=block_words)
        alone = index.blocked(words=block_words)
        unblocked = blocked.blocked()
        copy = pickle.loads(pickle.dumps(blocked))
        for text in texts[:5]:
            assert again.complete(text, limit=MANY) == alone.complete(text, limit=MANY)
            assert unblocked.typeahead(text) == index.typeahead(text)
            assert copy.typeahead(text) == blocked.typeahead(text)

"""A click log as a video site's would look, generated and seeded: the bench measures cleaning on
it (bench/bench_typeahead.py) and `make serve` serves the index built from it (build_index.py).

QUERIES distinct queries of one to four words (wordfreq's English words, the FIXED ones among the
most popular) with Zipf popularity, ROWS click rows (term, video) on 11-character video ids, each
query's clicks on its own few videos. Of the clicks, 5 % are on a misspelt query (one swap,
dropped, doubled or replaced letter, or a space dropped) and some are on case, accent and
whitespace variants; all of them on the videos of the query meant. Each video can be given a
title made from the query its clicks came from.
"""

from __future__ import annotations

import random
from pathlib import Path

FIXED = ["funny cat videos", "minecraft", "baby shark", "lofi hip hop", "how to cook rice",
         "café music", "pokémon cards", "football highlights"]
ACCENTED = {"café": "cafe", "pokémon": "pokemon"}
# What a title says besides its query; {q} is the query, {n} a number.
TITLE_FORMS = ["{Q}", "{Q} compilation", "Best {q} of the year", "{Q}, part {n}",
               "{Q} (full version)", "{n} minutes of {q}", "Top {n} {q}", "{Q}: the story"]


def slip(text: str, rng: random.Random, within: int | None = None) -> str:
    """One typing error in `text` (in its first `within` characters when given)."""
    for _ in range(20):
        end = min(len(text), within or len(text))
        i = rng.randrange(end)
        kind = rng.choice(["swap", "drop", "double", "replace", "space"])
        if kind == "swap" and i + 1 < len(text) and text[i] != text[i + 1]:
            typo = text[:i] + text[i + 1] + text[i] + text[i + 2:]
        elif kind == "drop" and len(text) > 3:
            typo = text[:i] + text[i + 1:]
        elif kind == "double":
            typo = text[:i] + text[i] + text[i:]
        elif kind == "replace" and text[i].isalpha():
            typo = text[:i] + rng.choice("abcdefghijklmnopqrstuvwxyz") + text[i + 1:]
        elif kind == "space" and " " in text:
            at = text.index(" ")
            typo = text[:at] + text[at + 1:]
        else:
            continue
        if typo != text and typo.strip() == typo and "  " not in typo:
            return typo
    return text[:-1] + ("a" if text[-1] != "a" else "b")


def generate(path: Path, queries: int, rows: int, seed: int, titles: Path | None = None) -> dict:
    """Writes the click log to `path` (Parquet), and when `titles` is given a videos file there
    (Parquet, columns id and title); returns the truth the figures are read against: the queries
    by popularity with their counts, and the slips injected for each."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq
    import wordfreq

    rng = random.Random(seed)
    words = [w for w in wordfreq.top_n_list("en", 20_000) if w.isalpha() and len(w) > 1]
    made: set[str] = set(FIXED)
    ordered = list(FIXED)
    while len(ordered) < queries:
        query = " ".join(rng.choices(words[:5000] if rng.random() < 0.5 else words,
                                     k=rng.choice([1, 2, 2, 3, 3, 4])))
        if query not in made:
            made.add(query)
            ordered.append(query)
    weights = 1.0 / np.arange(1, queries + 1) ** 1.05
    numpy_rng = np.random.default_rng(seed)
    picks = numpy_rng.choice(queries, size=rows, p=weights / weights.sum())
    alphabet = np.array(list("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"))

    def video_id() -> str:
        return "".join(alphabet[numpy_rng.integers(0, len(alphabet), 11)])

    videos = {}
    terms: list[str] = []
    clicked: list[str] = []
    slips: dict[str, set[str]] = {}
    counts = np.bincount(picks, minlength=queries)
    for q, query in enumerate(ordered):
        if counts[q] == 0:
            continue
        own = videos.setdefault(q, [video_id() for _ in range(rng.randint(1, 5))])
        for _ in range(int(counts[q])):
            roll = rng.random()
            if roll < 0.05:
                typed = slip(query, rng)
                slips.setdefault(query, set()).add(typed)
            elif roll < 0.08:
                typed = query.title() if rng.random() < 0.5 else query.upper()
            elif roll < 0.10:
                typed = query + " " if rng.random() < 0.5 else query.replace(" ", "  ", 1)
            elif roll < 0.12 and any(a in query for a in ACCENTED):
                typed = query
                for accented, plain in ACCENTED.items():
                    typed = typed.replace(accented, plain)
            else:
                typed = query
            terms.append(typed)
            clicked.append(own[min(int(numpy_rng.geometric(0.5)) - 1, len(own) - 1)])
    pq.write_table(pa.table({"term": terms, "video": clicked}), path)
    if titles is not None:
        write_titles(titles, {ordered[q]: own for q, own in videos.items()}, seed)
    popular = [ordered[q] for q in np.argsort(-counts, kind="stable")[:1000]]
    return {"popular": popular, "counts": {ordered[q]: int(counts[q]) for q in range(queries)},
            "slips": {q: sorted(slips.get(q, ())) for q in popular}}


def write_titles(path: Path, videos: dict[str, list[str]], seed: int) -> None:
    """A title for every video, told apart from the others of its query by its form. A random
    source of its own: titles or none, the log comes out the same."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = random.Random(seed + 1)
    ids: list[str] = []
    names: list[str] = []
    for query, own in videos.items():
        shown = query[0].upper() + query[1:]
        for video, form in zip(own, rng.sample(TITLE_FORMS, len(own))):
            ids.append(video)
            names.append(form.format(Q=shown, q=query, n=rng.randint(2, 12)))
    pq.write_table(pa.table({"id": ids, "title": names}), path)

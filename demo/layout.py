"""Lays a vocabulary out as the six arrays that PrefixSearch.from_internal_data_v2 takes.

Nodes are numbered breadth first, so every parent comes before its children and siblings sit
side by side, with one label character per node and one payload tuple per term-ending node.
"""

from __future__ import annotations

import random
from dataclasses import dataclass
from pathlib import Path

WORD_LISTS = [
    Path("/usr/share/dict/american-english-insane"),
    Path("/usr/share/dict/american-english"),
    Path("/usr/share/dict/words"),
]


def read_words(path: Path | None = None) -> list[str]:
    """The distinct words of a Debian word list, sorted."""
    for candidate in [path] if path else WORD_LISTS:
        if candidate.exists():
            words = candidate.read_text(encoding="utf-8", errors="replace").split("\n")
            return sorted({w.strip() for w in words if w.strip() and "\0" not in w})
    raise FileNotFoundError(f"no word list found among {', '.join(map(str, WORD_LISTS))}")


@dataclass
class Arrays:
    node_shifts: list[int]
    child_labels: list[str]
    payloads: list[tuple[int, list[int], list[int]] | None]
    child_transitions: list[int]
    video_index: list[bytes]

    @property
    def nodes(self) -> int:
        return len(self.child_labels)

    def arguments(self, video_top_n: int) -> tuple:
        return (self.node_shifts, self.child_labels, self.payloads, self.child_transitions,
                self.video_index, video_top_n)


def lay_out(terms: dict[str, tuple[int, list[int], list[int]]], video_index: list[bytes]) -> Arrays:
    """Arrays for `terms`, a map from term to its payload tuple (total, video ids, counts)."""
    labels = [""]
    payloads: list[tuple[int, list[int], list[int]] | None] = [None]
    children: list[list[int]] = [[]]
    path = [0]  # node ids along the previous term, root first
    previous = ""
    for term in sorted(terms):
        common = 0
        for a, b in zip(previous, term):
            if a != b:
                break
            common += 1
        del path[common + 1:]
        for ch in term[common:]:
            node = len(labels)
            labels.append(ch)
            payloads.append(None)
            children.append([])
            children[path[-1]].append(node)
            path.append(node)
        payloads[path[-1]] = terms[term]
        previous = term
    # Renumber breadth first: the child lists, concatenated in node order, are then 1 .. N-1.
    order = [0]
    for node in order:
        order.extend(children[node])
    shifts, position = [], 0
    for node in order:
        shifts.append(position)
        position += len(children[node])
    labels = [labels[node] for node in order]
    payloads = [payloads[node] for node in order]
    transitions = list(range(1, len(order)))
    return Arrays(shifts, labels, payloads, transitions, video_index)


def video_counts(words: list[str], videos: int = 100_000, seed: int = 7):
    """For every word, 1 to 5 distinct videos (ids 0 .. videos-1) drawn from a Zipf distribution,
    and counts that follow the word's frequency in English (from the wordfreq package when it is
    installed): yields (word, video ids, counts)."""
    import numpy as np

    try:
        from wordfreq import get_frequency_dict

        frequencies = get_frequency_dict("en")
    except ImportError:  # any skewed counts will do for a benchmark
        frequencies = {}
    rng = np.random.default_rng(seed)
    cdf = np.cumsum(1.0 / np.arange(1, videos + 1))
    cdf /= cdf[-1]
    per_term = rng.integers(1, 6, size=len(words))
    drawn = np.searchsorted(cdf, rng.random(int(per_term.sum()))).tolist()
    shares = rng.random(len(drawn)).tolist()
    at = 0
    for word, k in zip(words, per_term.tolist()):
        ids = list(dict.fromkeys(drawn[at:at + k]))
        weights = shares[at:at + len(ids)]
        at += k
        # Words unknown to wordfreq still get some reach; wide counts make ties rare.
        reach = 1000 + int(frequencies.get(word.lower(), 0.0) * 1e9)
        yield word, ids, [max(1, int(reach * w)) for w in weights]


def with_videos(words: list[str], videos: int = 100_000, seed: int = 7,
                video_bytes: int = 4) -> Arrays:
    """The arrays of `words` with the videos of video_counts(): 4-byte integer ids (1,000,000
    and up), or random 16-byte UUIDs with video_bytes=16."""
    import numpy as np

    terms = {word: (sum(counts), ids, counts)
             for word, ids, counts in video_counts(words, videos, seed)}
    if video_bytes == 16:
        rng = np.random.default_rng(seed)
        video_index = [rng.bytes(16) for _ in range(videos)]
    else:
        video_index = [(1_000_000 + v).to_bytes(4, "little") for v in range(videos)]
    return lay_out(terms, video_index)

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


def with_videos(words: list[str], videos: int = 100_000, seed: int = 7) -> Arrays:
    """Every word gets 1 to 5 videos, drawn with a Zipf-like skew over `videos` 4-byte ids."""
    rng = random.Random(seed)
    weights = [1.0 / (rank + 1) for rank in range(videos)]
    cumulative = []
    running = 0.0
    for w in weights:
        running += w
        cumulative.append(running)
    terms = {}
    for word in words:
        k = rng.randint(1, 5)
        ids = rng.choices(range(videos), cum_weights=cumulative, k=k)
        counts = [rng.randint(1, 1000) for _ in ids]
        terms[word] = (sum(counts), ids, counts)
    video_index = [(1_000_000 + v).to_bytes(4, "little") for v in range(videos)]
    return lay_out(terms, video_index)

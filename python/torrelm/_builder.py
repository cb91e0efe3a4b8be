"""IndexBuilder: collects (term, video, count) triples and lays them out as a PrefixSearch."""

from __future__ import annotations

import sys
import uuid
from collections.abc import Callable, Iterable
from typing import Literal, Union

from _torrelm import PrefixSearch

Video = Union[int, uuid.UUID, bytes]
Progress = Callable[[str, int, int], None]

_MAX_U32 = 2**32 - 1


def _video_key(video: object) -> tuple[Literal["int", "uuid"], bytes]:
    """The kind of a video identifier and its stored bytes."""
    if isinstance(video, bool) or not isinstance(video, (int, uuid.UUID, bytes)):
        raise TypeError(
            f"video {video!r}: expected an int (0 to 2**32-1), a uuid.UUID or 16 bytes, "
            f"not {type(video).__name__}"
        )
    if isinstance(video, int):
        if not 0 <= video <= _MAX_U32:
            raise ValueError(f"video {video!r}: an integer id must lie in 0 .. 2**32-1")
        return "int", video.to_bytes(4, "little")
    if isinstance(video, uuid.UUID):
        return "uuid", video.bytes
    if len(video) != 16:
        raise ValueError(f"video {video!r}: a bytes id must be exactly 16 bytes long, not {len(video)}")
    return "uuid", bytes(video)


def _check_term(term: object) -> str:
    if not isinstance(term, str):
        raise TypeError(f"term {term!r}: expected str, not {type(term).__name__}")
    if not term:
        raise ValueError("term '': an empty term cannot be indexed")
    if "\0" in term:
        raise ValueError(f"term {term!r}: a term cannot contain the character U+0000")
    try:
        term.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"term {term!r}: a term cannot contain lone surrogates") from None
    return term


def _check_count(count: object, what: str) -> int:
    if isinstance(count, bool) or not isinstance(count, int):
        raise TypeError(f"{what} {count!r}: expected an int, not {type(count).__name__}")
    if count < 0:
        raise ValueError(f"{what} {count!r}: counts cannot be negative")
    return count


class IndexBuilder:
    """Collects which videos each term leads to, then builds a PrefixSearch.

    >>> builder = IndexBuilder()
    >>> builder.add("cat", 17, count=6)
    >>> builder.add("cat", 42, count=4)
    >>> builder.add("car", 42, count=5)
    >>> index = builder.build(video_top_n=10)
    >>> index.fuzzy_match_video("cat", max_dist=0)
    [('17', 0.6), ('42', 0.4)]

    Video identifiers are ints from 0 to 2**32-1, or 16-byte values (uuid.UUID or bytes); one
    index holds one kind only. Counts of the same (term, video) pair add up; a term's total count
    is the sum of its video counts unless set_total() says otherwise. Sums stop at 2**32-1.
    """

    def __init__(self) -> None:
        self._terms: dict[str, dict[int, int]] = {}
        self._totals: dict[str, int] = {}
        self._video_kind: Literal["int", "uuid"] | None = None
        self._positions: dict[bytes, int] = {}  # stored id bytes -> position in video_index

    def __len__(self) -> int:
        """The number of distinct terms added so far."""
        return len(self._terms)

    def add(self, term: str, video: Video, count: int = 1) -> None:
        """Records that `term` leads to `video`, `count` times (added to earlier counts)."""
        _check_term(term)
        kind, key = _video_key(video)
        _check_count(count, "count")
        if self._video_kind is None:
            self._video_kind = kind
        elif kind != self._video_kind:
            raise ValueError(
                f"video {video!r}: this index holds {self._video_kind} ids and cannot mix in "
                f"{kind} ids; use one kind of identifier for every video"
            )
        position = self._positions.setdefault(key, len(self._positions))
        videos = self._terms.setdefault(term, {})
        videos[position] = min(videos.get(position, 0) + count, _MAX_U32)

    def add_many(self, triples: Iterable[tuple[str, Video, int]]) -> None:
        """add() for every (term, video, count) triple."""
        for term, video, count in triples:
            self.add(term, video, count)

    def set_total(self, term: str, total_count: int) -> None:
        """Sets the total count of a term (by default, the sum of its video counts): the
        denominator against which its videos are weighed. The term must have been added."""
        _check_term(term)
        _check_count(total_count, "total_count")
        if term not in self._terms:
            raise KeyError(f"term {term!r} has not been added")
        self._totals[term] = min(total_count, _MAX_U32)

    def build(self, video_top_n: int = 10, progress: Progress | bool | None = None) -> PrefixSearch:
        """Lays the trie out breadth first and builds the index; each node keeps its
        `video_top_n` best videos. `progress` is called as progress(stage, done, total) while the
        layout runs, or, if True, reports on standard error (through tqdm when installed)."""
        _check_count(video_top_n, "video_top_n")
        report = _progress_reporter(progress)
        arrays = lay_out(self._terms, self._totals, report)
        video_index = sorted(self._positions, key=self._positions.__getitem__)
        report("build", 0, 1)
        index = PrefixSearch.from_internal_data_v2(*arrays, video_index, video_top_n)
        report("build", 1, 1)
        return index


def lay_out(
    terms: dict[str, dict[int, int]],
    totals: dict[str, int],
    report: Progress,
) -> tuple[list[int], list[str], list[tuple[int, list[int], list[int]] | None], list[int]]:
    """node_shifts, child_labels, payloads and child_transitions of the breadth-first trie.

    Breadth-first numbering is lexicographic order level by level: the distinct prefixes of
    length d, sorted, are the nodes of depth d in order, each after its parent's siblings' children.
    """
    ordered = sorted(terms)
    labels: list[str] = [""]
    payloads: list[tuple[int, list[int], list[int]] | None] = [None]
    child_counts: list[int] = [0]
    level: list[str] = [""]  # prefixes of the previous depth, in node order
    level_base = 0  # node id of level[0]
    active = ordered
    depth = 0
    done = 0
    while active:
        depth += 1
        next_level: list[str] = []
        next_base = len(labels)
        parent = 0
        still: list[str] = []
        last = None
        for term in active:
            prefix = term[:depth]
            if prefix != last:
                stem = prefix[:-1]
                while level[parent] != stem:
                    parent += 1
                child_counts[level_base + parent] += 1
                next_level.append(prefix)
                labels.append(prefix[-1])
                child_counts.append(0)
                payloads.append(None)
                last = prefix
            if len(term) == depth:
                videos = terms[term]
                total = totals.get(term)
                if total is None:
                    total = min(sum(videos.values()), _MAX_U32)
                payloads[-1] = (total, list(videos), list(videos.values()))
                done += 1
            else:
                still.append(term)
        report("layout", done, len(ordered))
        level, level_base, active = next_level, next_base, still
    shifts = []
    position = 0
    for count in child_counts:
        shifts.append(position)
        position += count
    return shifts, labels, payloads, list(range(1, len(labels)))


def _progress_reporter(progress: Progress | bool | None) -> Progress:
    if progress is None or progress is False:
        return lambda stage, done, total: None
    if progress is not True:
        return progress
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        def to_stderr(stage: str, done: int, total: int) -> None:
            print(f"\r{stage}: {done:,}/{total:,}", end="\n" if done >= total else "",
                  file=sys.stderr, flush=True)
        return to_stderr
    bars: dict[str, tqdm] = {}

    def to_bar(stage: str, done: int, total: int) -> None:
        bar = bars.get(stage)
        if bar is None:
            bar = bars[stage] = tqdm(total=total, desc=stage, unit="term" if stage == "layout" else "")
        bar.update(done - bar.n)
        if done >= total:
            bar.close()

    return to_bar

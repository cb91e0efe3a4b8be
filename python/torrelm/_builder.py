"""IndexBuilder: collects (term, video, count) triples and lays them out as an Index."""

from __future__ import annotations

import operator
import sys
import uuid
from collections.abc import Callable, Iterable
from itertools import accumulate
from typing import Literal, SupportsIndex, Union

from _torrelm import PrefixSearch

from ._native import Index

Video = Union[SupportsIndex, uuid.UUID, bytes]
Progress = Callable[[str, int, int], None]
Payload = tuple[int, list[int], list[int]]

_MAX_U32 = 2**32 - 1


def _integer(value: object, what: str, where: str) -> int:
    """`value` as a plain int: any integer type is taken through __index__, bool is refused.

    The result is an exact int, so that the range checks that follow cannot be answered by a
    subclass's own comparison operators."""
    if type(value) is int:
        return value
    if isinstance(value, bool):
        raise TypeError(f"{where}{what} {value!r}: expected an int, not bool")
    try:
        return int(operator.index(value))  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"{where}{what} {value!r}: expected an int, not {type(value).__name__}"
        ) from None


def _video_key(video: object, where: str) -> tuple[Literal["int", "uuid"], bytes]:
    """The kind of a video identifier and its stored bytes."""
    if type(video) is int and 0 <= video <= _MAX_U32:  # most calls
        return "int", video.to_bytes(4, "little")
    if isinstance(video, uuid.UUID):
        return "uuid", video.bytes
    if isinstance(video, bytes):
        if len(video) != 16:
            raise ValueError(f"{where}video {video!r}: a bytes id must be exactly 16 bytes long, "
                             f"not {len(video)}")
        return "uuid", bytes(video)
    try:
        number = _integer(video, "video", where)
    except TypeError:
        raise TypeError(
            f"{where}video {video!r}: expected an int (0 to 2**32-1), a uuid.UUID or 16 bytes, "
            f"not {type(video).__name__}"
        ) from None
    if not 0 <= number <= _MAX_U32:
        raise ValueError(f"{where}video {video!r}: an integer id must lie in 0 .. 2**32-1")
    return "int", number.to_bytes(4, "little")


def _check_term(term: object, where: str) -> str:
    if not isinstance(term, str):
        raise TypeError(f"{where}term {term!r}: expected str, not {type(term).__name__}")
    if not term:
        raise ValueError(f"{where}term '': an empty term cannot be indexed")
    if "\0" in term:
        raise ValueError(f"{where}term {term!r}: a term cannot contain the character U+0000")
    if not term.isascii():
        try:
            term.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(
                f"{where}term {term!r}: a term cannot contain lone surrogates"
            ) from None
    return str.__str__(term)  # a plain str: sorting must not run a subclass's operators


def _check_count(count: object, what: str, where: str = "") -> int:
    number = _integer(count, what, where)
    if number < 0:
        raise ValueError(f"{where}{what} {count!r}: counts cannot be negative")
    return number


class IndexBuilder:
    """Collects which videos each term leads to, then builds an Index.

    >>> builder = IndexBuilder()
    >>> builder.add("cat", 17, count=6)
    >>> builder.add("cat", 42, count=4)
    >>> builder.add("car", 42, count=5)
    >>> index = builder.build(video_top_n=10)
    >>> index.fuzzy_match_video("cat", max_dist=0)
    [('17', 0.6), ('42', 0.4)]

    Video identifiers are ints from 0 to 2**32-1, or 16-byte values (uuid.UUID or bytes); one
    index holds one kind only. Any integer type (numpy's included, bool excepted) is taken as an
    int. Counts of the same (term, video) pair add up; a term's total count is the sum of its
    video counts unless set_total() says otherwise. Sums stop at 2**32-1.
    """

    def __init__(self) -> None:
        self._terms: dict[str, dict[int, int]] = {}
        self._totals: dict[str, int] = {}
        self._video_kind: Literal["int", "uuid"] | None = None
        self._positions: dict[bytes, int] = {}  # stored id bytes -> position in video_index

    def __len__(self) -> int:
        """The number of distinct terms added so far."""
        return len(self._terms)

    def add(self, term: str, video: Video, count: SupportsIndex = 1) -> None:
        """Records that `term` leads to `video`, `count` times (added to earlier counts).
        A call that raises leaves the builder as it was."""
        self._add(term, video, count, "")

    def add_many(self, triples: Iterable[tuple[str, Video, SupportsIndex]]) -> None:
        """add() for every (term, video, count) triple. A bad row raises an error naming its
        index (counted from 0); the rows before it stay added, the rest are not looked at."""
        for row, triple in enumerate(triples):
            try:
                term, video, count = triple
            except (TypeError, ValueError) as error:
                kind = TypeError if isinstance(error, TypeError) else ValueError
                raise kind(f"row {row}: expected a (term, video, count) triple: {error}") from None
            self._add(term, video, count, f"row {row}: ")

    def _add(self, term: object, video: object, count: object, where: str) -> None:
        # Everything is checked before anything changes, so that a refused row leaves no trace:
        # no identifier kind fixed, no video position taken, no empty term entry.
        term = _check_term(term, where)
        kind, key = _video_key(video, where)
        number = _check_count(count, "count", where)
        if self._video_kind is not None and kind != self._video_kind:
            raise ValueError(
                f"{where}video {video!r}: this index holds {self._video_kind} ids and cannot mix "
                f"in {kind} ids; use one kind of identifier for every video"
            )
        self._video_kind = kind
        position = self._positions.setdefault(key, len(self._positions))
        videos = self._terms.setdefault(term, {})
        videos[position] = min(videos.get(position, 0) + number, _MAX_U32)

    def set_total(self, term: str, total_count: SupportsIndex) -> None:
        """Sets the total count of a term (by default, the sum of its video counts): the
        denominator against which its videos are weighed. The term must have been added, and by
        build() the total must be at least the sum of its video counts."""
        term = _check_term(term, "")
        total = _check_count(total_count, "total_count")
        if term not in self._terms:
            raise KeyError(f"term {term!r} has not been added")
        self._totals[term] = min(total, _MAX_U32)

    def build(
        self, video_top_n: SupportsIndex = 10, progress: Progress | bool | None = None
    ) -> Index:
        """Lays the trie out breadth first and builds the index; each node keeps its
        `video_top_n` best videos. `progress` is called as progress(stage, done, total) while the
        layout runs, or, if True, reports on standard error (through tqdm when installed)."""
        # Keeping more videos than there can be is keeping them all.
        top_n = min(_check_count(video_top_n, "video_top_n"), _MAX_U32)
        for term, total in self._totals.items():
            # A total below the counts would give shares above 1.
            counted = _saturated_sum(self._terms[term])
            if total < counted:
                raise ValueError(f"term {term!r}: total_count {total} is below the sum of its "
                                 f"video counts, {counted}")
        report = _progress_reporter(progress)
        arrays = lay_out(self._terms, self._totals, report)
        video_index = sorted(self._positions, key=self._positions.__getitem__)
        report("build", 0, 1)
        search = PrefixSearch.from_internal_data_v2(*arrays, video_index, top_n)
        index = Index.from_prefix_search(search)
        report("build", 1, 1)
        return index


def _saturated_sum(videos: dict[int, int]) -> int:
    return min(sum(videos.values()), _MAX_U32)


def _payload(videos: dict[int, int], total: int | None) -> Payload:
    """A term's payload, its videos by count, largest first, the earlier added first among equal
    counts: the native build keeps a term's first video_top_n videos as they come."""
    if len(videos) == 1:  # most terms
        ((position, count),) = videos.items()
        return (count if total is None else total), [position], [count]
    # Stable sorts: by position, then by count, largest first.
    positions = sorted(sorted(videos), key=videos.__getitem__, reverse=True)
    if total is None:
        total = _saturated_sum(videos)
    return total, positions, [videos[position] for position in positions]


def _shared_length(a: str, b: str) -> int:
    """The length of the longest common prefix of a and b, comparing long runs as slices (in C)
    so that a long shared prefix costs few interpreted steps."""
    end = min(len(a), len(b))
    low, step = 0, 16
    while low < end:  # a[:low] == b[:low]; gallop to the chunk holding the first difference
        high = min(low + step, end)
        if a[low:high] != b[low:high]:
            while high - low > 1:  # the difference lies in a[low:high]
                middle = (low + high) // 2
                if a[low:middle] == b[low:middle]:
                    low = middle
                else:
                    high = middle
            return low
        low, step = high, step * 2
    return end


def lay_out(
    terms: dict[str, dict[int, int]],
    totals: dict[str, int],
    report: Progress,
) -> tuple[list[int], list[str], list[Payload | None], list[int]]:
    """node_shifts, child_labels, payloads and child_transitions of the breadth-first trie.

    Breadth-first numbering is lexicographic order level by level: the distinct prefixes of
    length d, sorted, are the nodes of depth d in order, and each node's children are
    contiguous. In sorted order, a term's prefixes up to the length it shares with the term
    before it are already nodes; the term adds one node for each depth past that. So a node
    is (term, depth), the nodes of a depth come in term order, which is their lexicographic
    order, and the work is linear in the characters (the sort aside).
    """
    ordered = sorted(terms)
    shared = list(map(_shared_length, [""] + ordered[:-1], ordered))
    deepest = max(map(len, ordered), default=0)
    # A term has a node at each depth in common+1 .. len(term): count the nodes of every depth
    # through the changes of that count from one depth to the next, then give each depth its
    # run of ids. free[d] is the next id to hand out at depth d.
    change = [0] * (deepest + 2)
    for term, common in zip(ordered, shared):
        change[common + 1] += 1
        change[len(term) + 1] -= 1
    free = [0] * (deepest + 1)
    nodes, width = 1, 0
    for depth in range(1, deepest + 1):
        width += change[depth]
        free[depth] = nodes
        nodes += width
    labels = [""] * nodes
    payloads: list[Payload | None] = [None] * nodes
    child_counts = [0] * nodes
    latest = [0] * (deepest + 1)  # the node most recently numbered at each depth; the root at 0
    step = max(1, len(ordered) // 100)
    for i, (term, common) in enumerate(zip(ordered, shared)):
        # A term's first new node hangs below the node of its shared prefix, which the latest
        # term reaching that depth numbered (every term since shares that prefix).
        parent = latest[common]
        for depth, label in enumerate(term[common:], common + 1):
            node = free[depth]
            free[depth] = node + 1
            labels[node] = label
            child_counts[parent] += 1
            latest[depth] = parent = node
        payloads[parent] = _payload(terms[term], totals.get(term))
        if i % step == step - 1:
            report("layout", i + 1, len(ordered))
    if len(ordered) % step:
        report("layout", len(ordered), len(ordered))
    shifts = list(accumulate(child_counts[:-1], initial=0))
    return shifts, labels, payloads, list(range(1, nodes))


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
            unit = "term" if stage == "layout" else ""
            bar = bars[stage] = tqdm(total=total, desc=stage, unit=unit)
        bar.update(done - bar.n)
        if done >= total:
            bar.close()

    return to_bar

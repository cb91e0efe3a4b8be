"""
The native part of torrelm: the immutable index type Index, its builders, and PanicException, raised when the native code meets a broken invariant.
"""

from collections.abc import Buffer, Callable
from typing import SupportsIndex

import _torrelm
import numpy


class PanicException(BaseException):
    """
    Raised when the native code of torrelm fails internally: an invariant it relies on does not hold, for example in an inconsistent index restored from bytes.

    Like SystemExit, it derives from BaseException rather than Exception, so that it is not swallowed by 'except Exception' and typically propagates all the way up and ends the interpreter. The index it was raised on is unchanged and stays usable.
    """

class Index:
    """
    An immutable index of terms whose trie nodes carry their best videos.

    Made by IndexBuilder.build(), torrelm.load(), Index.from_bytes() or Index.from_prefix_search(); it has no public constructor. Queries run without the interpreter lock, so threads sharing one index answer in parallel; Ctrl-C stops a long query with KeyboardInterrupt.
    """

    def fuzzy_match(self, term: str, max_dist: SupportsIndex = 1, limit: SupportsIndex | None = None) -> list[tuple[str, int, int]]:
        """
        The indexed terms within max_dist Levenshtein edits of term, as (term, 1, distance) tuples in trie order (depth first, a term before the longer terms it prefixes). limit stops the walk after that many matches. Bounds above 65535 act as 65535.
        """

    def fuzzy_match_video(self, term: str, max_dist: SupportsIndex = 1, limit: SupportsIndex | None = None, include_prefix_nodes: bool | numpy.bool_ | None = None) -> list[tuple[str, float]]:
        """
        The videos that best match term, as (video id, share) pairs, best first. Every trie node within max_dist edits takes part: by default the nodes that end a term, or the prefix nodes when none does; include_prefix_nodes=True always counts prefix nodes too, False never does.
        """

    def to_bytes(self) -> bytes:
        """The whole index in its stored form."""

    @staticmethod
    def from_bytes(b: Buffer) -> Index:
        """
        The index stored in b (bytes, bytearray, memoryview or any other contiguous buffer) by to_bytes(). Raises ValueError('decode error: ...') for anything else.
        """

    @staticmethod
    def from_prefix_search(ps: _torrelm.PrefixSearch) -> Index:
        """An Index answering as ps does, made through ps.to_bytes()."""

    def to_prefix_search(self) -> _torrelm.PrefixSearch:
        """The same index as a _torrelm.PrefixSearch, through its stored form."""

    def memory_bytes(self) -> int:
        """The heap bytes the index holds."""

    def __repr__(self) -> str: ...

    def __len__(self) -> int:
        """The number of terms: as many as iter() yields."""

    def __contains__(self, term: str, /) -> bool:
        """
        Whether term is one of the indexed terms (exactly). Anything but a str raises TypeError.
        """

    def __iter__(self) -> IndexIterator:
        """
        The terms one at a time, in trie order: the order of fuzzy_match('', 65535), which leaves out terms longer than 65535 characters; these come too.
        """

    def __getstate__(self) -> bytes:
        """The stored form, for pickle."""

    def __setstate__(self, state: Buffer, /) -> None:
        """Restores a pickled index from its stored form."""

class IndexIterator:
    """
    An iterator over the terms of an Index, made by iter(index). It keeps the index's data alive by itself.
    """

    def __iter__(self) -> IndexIterator: ...

    def __next__(self) -> str: ...

class RowTable:
    """
    Click rows gathered in native memory, then built into an Index; the engine behind torrelm.build and IndexBuilder.
    """

    def __init__(self) -> None: ...

    @property
    def rows(self) -> int:
        """Rows added so far."""

    @property
    def terms(self) -> int:
        """Distinct terms so far."""

    @property
    def videos(self) -> int:
        """Distinct videos so far."""

    def add_arrow_stream(self, stream: object, term: str, video: str, count: str, totals: str | None, progress: object | None) -> None:
        """
        Adds every row of an Arrow stream (the capsule of __arrow_c_stream__()).
        """

    def add_arrow_array(self, schema: object, array: object, term: str, video: str, count: str, totals: str | None) -> None:
        """
        Adds every row of an Arrow record batch (the capsules of __arrow_c_array__()).
        """

    def add_columns(self, terms: object, videos: object, counts: object, totals: object | None, term_name: str = 'term', video_name: str = 'video', count_name: str = 'count', totals_name: str = 'totals') -> None:
        """
        Adds rows given as columns: sequences, or integer arrays read in place. A total of None gives no total for its row.
        """

    def build(self, video_top_n: int, progress: Callable[[str, int, int], object] | None) -> Index:
        """The Index of every row added; the table is left empty."""

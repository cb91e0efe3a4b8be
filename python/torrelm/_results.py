"""The named tuples the search-box queries of torrelm.Index answer with."""

from __future__ import annotations

from typing import NamedTuple, Union

# Half-open [begin, end) code point ranges of a shown term, sorted and disjoint.
Highlight = tuple[tuple[int, int], ...]


class _Completion(NamedTuple):
    term: str
    count: int  # type: ignore[assignment]  # the field, not tuple.count


class Completion(_Completion):
    """A term that completes the typed prefix, and how often it was searched.

    `highlight` holds the code point ranges of `term` that match what was typed (the typed
    prefix, a later word's start, or the words a slip was corrected in): an attribute beside the
    fields, so that a Completion still compares and unpacks as (term, count)."""

    highlight: Highlight = ()


class _Suggestion(NamedTuple):
    term: str
    distance: int
    count: int  # type: ignore[assignment]  # the field, not tuple.count


class Suggestion(_Suggestion):
    """A term within a few edits of the typed text: its edits away, and how often it was
    searched. `highlight` holds the code point ranges of `term` that match what was typed, each
    typed word's as typed or corrected (see Completion)."""

    highlight: Highlight = ()


class Video(NamedTuple):
    """A video matching the typed text: its id as the index was given it, and its share of the
    weighted clicks (0 to 1)."""

    id: Union[str, int]
    share: float


class Typeahead(NamedTuple):
    """What a search box shows for the typed text: the completions to offer, likeliest first,
    the top videos, and, only when nothing completes within the typo budget, the corrections of
    the whole text (what suggest() finds) to offer instead."""

    completions: list[Completion]
    videos: list[Video]
    corrections: list[Suggestion] = []

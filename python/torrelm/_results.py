"""The named tuples the search-box queries of torrelm.Index answer with."""

from __future__ import annotations

from typing import NamedTuple, Union


class Completion(NamedTuple):
    """A term that completes the typed prefix, and how often it was searched."""

    term: str
    count: int  # type: ignore[assignment]  # the field, not tuple.count


class Suggestion(NamedTuple):
    """A term within a few edits of the typed text: its edits away, and how often it was
    searched."""

    term: str
    distance: int
    count: int  # type: ignore[assignment]  # the field, not tuple.count


class Video(NamedTuple):
    """A video matching the typed text: its id as the index was given it, and its share of the
    weighted clicks (0 to 1)."""

    id: Union[str, int]
    share: float


class Typeahead(NamedTuple):
    """What a search box shows for the typed text: the completions to offer, likeliest first,
    and the top videos for the text itself."""

    completions: list[Completion]
    videos: list[Video]
